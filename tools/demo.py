#!/usr/bin/env python3
"""Runs the launcher's whole job under Wine against the local test bed: the
loopback redirect service, package store and analytics collector, with the
test setup program as the package. Prints what happened, then shows the
progress window in two windowed runs (on a virtual display when there is no
display) and saves screenshots of the running and the failed window."""
import hashlib
import os
import shutil
import subprocess
import sys
import time
import urllib.parse

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import deployment  # noqa: E402
from collector import Collector  # noqa: E402
from package_store import PackageStore  # noqa: E402
from testbed import TestBed  # noqa: E402
from testca import TestCA  # noqa: E402

BUILD = os.path.join(ROOT, "build")
DEMO = os.path.join(BUILD, "demo")


def after(lines, label):
    """The debugger message that follows a label message."""
    for i, line in enumerate(lines[:-1]):
        if line == label:
            return lines[i + 1]
    return "(none)"


def window_state(bed, name):
    probe = subprocess.run(["wine", os.path.join(BUILD, "tests", "window_probe.exe"), "state", name],
                           env=bed.env(), capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if probe.returncode != 0:
        return None
    return dict(line.split("=", 1) for line in probe.stdout.splitlines() if "=" in line)


def screenshot(bed, state, path):
    x, y, width, height = (int(v) for v in state["window"].split(","))
    subprocess.run(["import", "-display", bed.display(), "-window", "root",
                    "-crop", f"{width}x{height}+{x}+{y}", "+repage", path], check=True)


def windowed_runs(bed, exe, redirect, store, package):
    """A run that downloads slowly (screenshot while the bar moves) and a run
    with no address (screenshot of the failure, then Esc)."""
    artifacts = os.path.join(BUILD, "artifacts")
    os.makedirs(artifacts, exist_ok=True)
    name = "LumenscanLauncherDemo"
    url = store.route("/1.1/en-us/lumenscan/setup.exe", body=package,
                      drip=(len(package) // 30, 0.2), drip_after=len(package) // 4)
    redirect.route("/GREntry/NonPayment", status=302, location=url)
    proc = bed.start(exe, ["-funid=DemoFun"])
    shot = None
    while proc.poll() is None and not shot:
        state = window_state(bed, name)
        if state and state.get("visible") == "1" and 25 <= int(state.get("bar_pos", 0)) < 70:
            shot = os.path.join(artifacts, "running.png")
            screenshot(bed, state, shot)
        time.sleep(0.2)
    code = TestBed.collect(proc, timeout=180).code
    print(f"\nwindowed run (slow download): exit code {code}, screenshot {shot}")
    ok = code == 1

    redirect.route("/GREntry/NonPayment", status=404)
    proc = bed.start(exe, ["-funid=DemoFun"])
    shot, deadline = None, time.monotonic() + 60
    while proc.poll() is None and time.monotonic() < deadline:
        state = window_state(bed, name)
        if state and state.get("error_text"):
            shot = os.path.join(artifacts, "failed.png")
            screenshot(bed, state, shot)
            subprocess.run(["wine", os.path.join(BUILD, "tests", "window_probe.exe"), "key", name, "27"],
                           env=bed.env(), capture_output=True, stdin=subprocess.DEVNULL)
            break
        time.sleep(0.2)
    code = TestBed.collect(proc, timeout=60).code
    print(f"windowed run (no address): shows {state.get('error_text') if state else '?'}, "
          f"closed with Esc, exit code {code}, screenshot {shot}")
    return ok and code == 2 and shot is not None


def main():
    shutil.rmtree(os.path.join(DEMO, "app"), ignore_errors=True)
    shutil.rmtree(os.path.join(DEMO, "ProgramData"), ignore_errors=True)
    bed = TestBed(os.path.join(DEMO, "testbed"))
    # The display comes first: Wine's desktop process, started with the
    # prefix's server, keeps the display it was started with.
    bed.shutdown()
    own_display = not os.environ.get("DISPLAY")
    if own_display:
        bed.xvfb_start()
    try:
        return demo(bed)
    finally:
        # Whatever happened, nothing the demo started is left running.
        bed.shutdown()
        if own_display:
            bed.xvfb_stop()


def demo(bed):
    if not os.path.isdir(bed.prefix):
        print("creating the Wine prefix for the demo ...")
        bed.make_prefix()
    ca = TestCA(os.path.join(DEMO, "ca"))
    ca.trust_in(bed, os.path.join(BUILD, "tests", "import_root_ca.exe"))

    with open(os.path.join(BUILD, "tests", "test_setup.exe"), "rb") as f:
        package = f.read()
    digest = hashlib.md5(package).hexdigest()
    redirect = PackageStore(ca.server_context(), port=deployment.port("LAUNCHER_REDIRECT_HOST", BUILD))
    store = PackageStore(ca.server_context(), port=deployment.port("LAUNCHER_PACKAGE_STORE_HOST", BUILD))
    try:
        url = store.route("/1.1/en-us/lumenscan/setup.exe", body=package)
        store.route("/1.1/en-us/lumenscan/setup.exe_MD5.txt", body=f"{digest}  setup.exe\r\n".encode())
        redirect.route("/GREntry/NonPayment", status=302, location=url)

        app = os.path.join(DEMO, "app")
        os.makedirs(app)
        exe = os.path.join(app, "LumenscanLauncher.exe")
        shutil.copy(os.path.join(BUILD, "launcher", "LumenscanLauncher.exe"), exe)
        base = os.path.join(DEMO, "ProgramData", "Corvane", "Temp")
        config = ("[instance]\ngolbalMutexName=LumenscanLauncherDemo\n"
                  f"[build]\nlocalTempPath={bed.to_windows_path(base)}\ntype=exe\n"
                  "[ER]\ntarget=lumenscan\npId=1001\nsp=2\nfunId=demo\n")
        with open(os.path.join(app, "CorvaneLauncherConfig.ini"), "w", newline="\r\n") as f:
            f.write(config)

        print(f"launcher:  {exe}")
        print("configuration:\n   " + config.strip().replace("\n", "\n   "))
        print(f"package:   {url} ({len(package)} bytes, MD5 {digest})")
        with Collector(port=deployment.port("LAUNCHER_COLLECTOR_HOST", BUILD)) as collector:
            result = bed.run(exe, ["-s", "-funid=DemoFun", "-vid=V2"], timeout=180)
            hits = sorted(collector.snapshot(), key=lambda h: h.start)
            started = report(bed, result, redirect, base, hits)
            windowed_ok = windowed_runs(bed, exe, redirect, store, package)
    finally:
        redirect.stop()
        store.stop()
    ok = result.code == 0 and started and len(hits) == 3 and windowed_ok
    print("\ndemo: " + ("every run did what it should" if ok else "a run did not do what it should"))
    return 0 if ok else 1


def report(bed, result, redirect, base, hits):
    (query,) = [r.target for r in redirect.requests] or ["(no request)"]
    package_dir = os.path.join(base, "Package")
    record = os.path.join(package_dir, "setup.exe.record.txt")
    # The started setup writes its record on its own time.
    deadline = time.monotonic() + 15
    while result.code == 0 and not os.path.exists(record) and time.monotonic() < deadline:
        time.sleep(0.1)
    print(f"\nlauncher exit code: {result.code}")
    print(f"redirect request:   {query}")
    print(f"address learned:    {after(result.debug, 'ErUrl for this downloader is:')}")
    print(f"files saved:        {sorted(os.listdir(package_dir)) if os.path.isdir(package_dir) else []}")
    checked = [line for line in result.debug if line.endswith("setup.exe") and line.startswith("Z:")]
    print(f"digest checked for: {checked[-1] if checked else '(none)'}")
    if os.path.exists(record):
        with open(record, encoding="utf-8") as f:
            print(f"setup started:      {f.read().strip()}   (show=0 is SW_HIDE)")
    else:
        print("setup started:      no")
    print(f"collector hits ({len(hits)}):")
    for hit in hits:
        q = urllib.parse.parse_qs(urllib.parse.urlsplit(hit.path).query)
        print(f"   ea={q.get('ea', [''])[0]:38} el={q.get('el', [''])[0]:10} ul={q.get('ul', [''])[0]}")
    return os.path.exists(record)


if __name__ == "__main__":
    sys.exit(main())
