"""Times a whole silent launcher run (process start to the setup's start)
against curl downloading the same package plus md5sum, side by side."""
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
WORK = os.path.join(BUILD, "bench", "run")
PACKAGE_MIB = 64


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    bed = TestBed(os.path.join(BUILD, "bench", "testbed"))
    if not os.path.isdir(bed.prefix):
        bed.make_prefix()
    ca = TestCA(os.path.join(WORK, "ca"))
    ca.trust_in(bed, os.path.join(BUILD, "tests", "import_root_ca.exe"))

    # The stand-in setup with 64 MiB of data appended: still a program.
    with open(os.path.join(BUILD, "tests", "test_setup.exe"), "rb") as f:
        program = f.read()
    package = os.path.join(WORK, "package.exe")
    with open(package, "wb") as f:
        f.write(program + os.urandom(PACKAGE_MIB << 20))
    with open(package, "rb") as f:
        digest = hashlib.md5(f.read()).hexdigest()

    redirect = PackageStore(ca.server_context(), port=deployment.port("LAUNCHER_REDIRECT_HOST", BUILD))
    store = PackageStore(ca.server_context(), port=deployment.port("LAUNCHER_PACKAGE_STORE_HOST", BUILD))
    url = store.route("/pkg/setup.exe", file=package)
    store.route("/pkg/setup.exe_MD5.txt", body=f"{digest}  setup.exe\n".encode())
    redirect.route("/GREntry/NonPayment", status=302, location=url)

    app = os.path.join(WORK, "app")
    os.makedirs(app)
    exe = os.path.join(app, "LumenscanLauncher.exe")
    shutil.copy(os.path.join(BUILD, "launcher", "LumenscanLauncher.exe"), exe)
    with Collector(port=deployment.port("LAUNCHER_COLLECTOR_HOST", BUILD)):
        rows = []
        for attempt in range(3):
            base = os.path.join(WORK, f"base{attempt}")
            with open(os.path.join(app, "CorvaneLauncherConfig.ini"), "w", newline="\r\n") as f:
                f.write(f"[build]\nlocalTempPath={bed.to_windows_path(base)}\n")
            record = os.path.join(base, "Package", "setup.exe.record.txt")
            started = time.time()
            proc = bed.start(exe, ["-s"])
            # The launcher does not wait for the setup: the record may come
            # after the launcher has ended.
            deadline = time.time() + 300
            while not os.path.exists(record) and time.time() < deadline:
                time.sleep(0.005)
            launcher_s = os.stat(record).st_mtime - started if os.path.exists(record) else None
            TestBed.collect(proc, timeout=300)
            if launcher_s is None:
                sys.exit("the setup was not started")

            target = os.path.join(WORK, "curl.bin")
            started = time.time()
            subprocess.run(["curl", "-s", "--cacert", ca.ca_pem, "-o", target, url], check=True)
            subprocess.run(["md5sum", target], check=True, capture_output=True)
            reference_s = time.time() - started
            rows.append((launcher_s, reference_s))
    redirect.stop()
    store.stop()
    bed.shutdown()

    best_launcher = min(r[0] for r in rows)
    best_reference = min(r[1] for r in rows)
    print(f"package: {PACKAGE_MIB} MiB over HTTPS on loopback")
    for i, (a, b) in enumerate(rows, 1):
        print(f"  run {i}: launcher {a:6.2f} s   curl + md5sum {b:6.2f} s")
    print(f"launcher, process start to setup start: {best_launcher:6.2f} s (best of 3, Wine start-up included)")
    print(f"curl download + md5sum:                 {best_reference:6.2f} s (best of 3)")
    print(f"ratio launcher / reference:             {best_launcher / best_reference:6.2f}")


if __name__ == "__main__":
    main()
