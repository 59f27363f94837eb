"""Times the launcher's end under Wine: setup start to process exit with a
normal, a refusing and a hanging collector (silent runs), and a close (Esc)
during a slow download to process exit (windowed run)."""
import hashlib
import os
import shutil
import subprocess
import sys
import time

ROOT = sys.argv[1]
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import deployment  # noqa: E402
from collector import Collector  # noqa: E402
from package_store import PackageStore  # noqa: E402
from testbed import TestBed  # noqa: E402
from testca import TestCA  # noqa: E402

BUILD = os.path.join(ROOT, "build")
WORK = os.path.join(BUILD, "bench", "exit")
ROUNDS = 3
HANGING_BOUND_S, CLOSE_BOUND_S = 10.0, 2.0


def silent_exit_after_setup(bed, exe, app, collector_kind, attempt):
    base = os.path.join(WORK, f"{collector_kind}{attempt}")
    with open(os.path.join(app, "CorvaneLauncherConfig.ini"), "w", newline="\r\n") as f:
        f.write(f"[build]\nlocalTempPath={bed.to_windows_path(base)}\ntype=exe\n[ER]\nfunId=bench\n")
    record = os.path.join(base, "Package", "setup.exe.record.txt")
    port = deployment.port("LAUNCHER_COLLECTOR_HOST", BUILD)
    mode = {"normal": "answer", "refusing": "refuse", "hanging": "hang"}[collector_kind]
    collector = Collector(port=port, mode=mode).__enter__()
    try:
        proc = bed.start(exe, ["-s"])
        seen = None
        deadline = time.time() + 120
        while proc.poll() is None and time.time() < deadline:
            if seen is None and os.path.exists(record):
                seen = os.stat(record).st_mtime
            time.sleep(0.01)
        result = TestBed.collect(proc, timeout=120)
        ended = time.time()
        # The launcher does not wait for the setup: its record may come later.
        late = time.time() + 30
        while seen is None and time.time() < late:
            if os.path.exists(record):
                seen = os.stat(record).st_mtime
            time.sleep(0.05)
        if result.code != 0 or seen is None:
            sys.exit(f"{collector_kind}: the run failed ({result.code}, setup started: {seen is not None}): "
                     f"{result.debug[-6:]}")
        return ended - seen
    finally:
        collector.__exit__(None, None, None)


def close_during_download(bed, exe, app, store, redirect, package, attempt):
    name = f"LumenscanBenchExit{attempt}"
    base = os.path.join(WORK, f"close{attempt}")
    with open(os.path.join(app, "CorvaneLauncherConfig.ini"), "w", newline="\r\n") as f:
        f.write(f"[instance]\ngolbalMutexName={name}\n"
                f"[build]\nlocalTempPath={bed.to_windows_path(base)}\ntype=exe\n[ER]\nfunId=bench\n")
    url = store.route("/pkg/slow.exe", body=package, drip=(len(package) // 400, 0.25),
                      drip_after=len(package) // 10)
    redirect.route("/GREntry/NonPayment", status=302, location=url)
    probe = os.path.join(BUILD, "tests", "window_probe.exe")
    with Collector(port=deployment.port("LAUNCHER_COLLECTOR_HOST", BUILD)):
        proc = bed.start(exe, ["-funid=bench"])
        deadline = time.time() + 120
        while proc.poll() is None and time.time() < deadline:
            out = subprocess.run(["wine", probe, "state", name], env=bed.env(), capture_output=True,
                                 text=True, stdin=subprocess.DEVNULL).stdout
            state = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
            if 10 < int(state.get("bar_pos", 0)) < 70:
                break
            time.sleep(0.2)
        subprocess.run(["wine", probe, "key", name, "27"], env=bed.env(), capture_output=True,
                       stdin=subprocess.DEVNULL)
        closed = time.time()
        # When the run's last line comes: the part of the exit that is the
        # launcher's own. What follows it is the window's end, which under a
        # bare Xvfb (no window manager) takes about 2 s inside Wine's dialog
        # code after EndDialog.
        err, run_ended = proc.output_files[-1], None
        while proc.poll() is None and time.time() < closed + 60:
            if run_ended is None and b"run result" in os.pread(err.fileno(), 1 << 22, 0):
                run_ended = time.time() - closed
            time.sleep(0.01)
        result = TestBed.collect(proc, timeout=60)
        took = time.time() - closed
    if result.code != 2:
        sys.exit(f"close: the launcher ended with {result.code}, not 2")
    if run_ended is None:
        run_ended = took if "run result" in "\n".join(result.debug) else float("nan")
    return took, run_ended


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    bed = TestBed(os.path.join(BUILD, "bench", "testbed"))
    bed.shutdown()
    own_display = not os.environ.get("DISPLAY")
    if own_display:
        bed.xvfb_start()
    try:
        if not os.path.isdir(bed.prefix):
            bed.make_prefix()
        ca = TestCA(os.path.join(WORK, "ca"))
        ca.trust_in(bed, os.path.join(BUILD, "tests", "import_root_ca.exe"))
        with open(os.path.join(BUILD, "tests", "test_setup.exe"), "rb") as f:
            package = f.read()
        redirect = PackageStore(ca.server_context(), port=deployment.port("LAUNCHER_REDIRECT_HOST", BUILD))
        store = PackageStore(ca.server_context(), port=deployment.port("LAUNCHER_PACKAGE_STORE_HOST", BUILD))
        try:
            app = os.path.join(WORK, "app")
            os.makedirs(app)
            exe = os.path.join(app, "LumenscanLauncher.exe")
            shutil.copy(os.path.join(BUILD, "launcher", "LumenscanLauncher.exe"), exe)
            figures = {}
            for kind in ("normal", "refusing", "hanging"):
                url = store.route("/pkg/setup.exe", body=package)
                store.route("/pkg/setup.exe_MD5.txt",
                            body=f"{hashlib.md5(package).hexdigest()}  setup.exe\n".encode())
                redirect.route("/GREntry/NonPayment", status=302, location=url)
                figures[kind] = [silent_exit_after_setup(bed, exe, app, kind, i) for i in range(ROUNDS)]
            closes = [close_during_download(bed, exe, app, store, redirect, package, i)
                      for i in range(ROUNDS)]
            figures["close"] = [c[0] for c in closes]
            figures["run end"] = [c[1] for c in closes]
        finally:
            redirect.stop()
            store.stop()
    finally:
        bed.shutdown()
        if own_display:
            bed.xvfb_stop()

    for kind, label in [("normal", "setup start to exit, normal collector"),
                        ("refusing", "setup start to exit, refusing collector"),
                        ("hanging", "setup start to exit, hanging collector"),
                        ("close", "close (Esc) during a download to exit"),
                        ("run end", "close (Esc) to the run's end")]:
        runs = "  ".join(f"{v:5.2f}" for v in figures[kind])
        print(f"{label:42} worst {max(figures[kind]):5.2f} s   (runs: {runs})")
    print(f"exit: normal {max(figures['normal']):.2f} s, refusing {max(figures['refusing']):.2f} s, "
          f"hanging {max(figures['hanging']):.2f} s (bound {HANGING_BOUND_S:.0f}), "
          f"close {max(figures['close']):.2f} s (bound {CLOSE_BOUND_S:.0f}; "
          f"run ended {max(figures['run end']):.2f} s after the close)")


if __name__ == "__main__":
    main()
