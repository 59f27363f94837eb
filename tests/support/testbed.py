#!/usr/bin/env python3
"""The Wine test bed: per-run prefixes, the CTest emulator, Xvfb and helpers
that run a Windows program and collect its debugger output.

Command line (used by CTest):
  testbed.py --dir D make-prefix [--arch win32|win64]
  testbed.py --dir D run [--arch win32|win64] -- PROGRAM ARGS...
  testbed.py --dir D xvfb-start | xvfb-stop
  testbed.py --dir D shutdown
"""

import argparse
import functools
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

PROXY_VARS = ("http_proxy", "https_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY",
              "NO_PROXY", "all_proxy", "ALL_PROXY")

INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"

# Debugger output of OutputDebugString arrives on stderr with this channel.
DEBUG_CHANNELS = "-all,warn+seh,warn+debugstr"

# Wine's client code (ntdll) ends a process with exit code 1 before the
# program runs when it cannot reach or talk to the prefix's server: Debian runs
# the server with -p0, so it leaves with a prefix's last program, and a program
# started just as it leaves now and then meets it closing. Most often the
# client says so ("wine client error:0: recvmsg: Connection reset by peer");
# when the server it started for the prefix failed, it ends with the server's
# code and says nothing. The test bed starts such a program again: none of the
# programs it runs ends with 1 in silence (the launcher and the drivers always
# write their debugger lines or values first, unit programs gtest's banner,
# reg its message).
WINE_CLIENT_ERROR = "wine client error"
WINE_CLIENT_ATTEMPTS = 3
# Each new start is noted here, in the bed's folder, for tools/test to count.
WINE_RESTARTS_LOG = "wine-restarts.log"


def wine_client_failed(code, stdout, stderr):
    """True when Wine ended the process before the program said anything:
    exit code 1, and stderr opens with Wine's client error or the process
    wrote nothing at all."""
    if code != 1:
        return False
    return stderr.lstrip().startswith(WINE_CLIENT_ERROR) or not (stdout.strip() or stderr.strip())


def again_while_wine_client_failed(attempt, what, bed_dir):
    """Calls attempt() -> (code, stdout, stderr, value) once more, up to
    WINE_CLIENT_ATTEMPTS times in all, while Wine ended the process before its
    program ran (each time said on stderr and noted in the bed's folder);
    returns the last value."""
    for n in range(1, WINE_CLIENT_ATTEMPTS + 1):
        code, stdout, stderr, value = attempt()
        if n == WINE_CLIENT_ATTEMPTS or not wine_client_failed(code, stdout, stderr):
            return value
        said = stderr.strip()[:300] or "nothing"
        note = f"testbed: {what} never ran, exit code 1, Wine said {said!r}; started again"
        print(note, file=sys.stderr, flush=True)
        if os.path.isdir(bed_dir):
            with open(os.path.join(bed_dir, WINE_RESTARTS_LOG), "a", encoding="utf-8") as log:
                log.write(f"{time.strftime('%H:%M:%S')} {note}\n")


PROXY_TYPE_DIRECT = 0x1
PROXY_TYPE_PROXY = 0x2
PROXY_TYPE_AUTO_PROXY_URL = 0x4
PROXY_TYPE_AUTO_DETECT = 0x8


@functools.lru_cache(maxsize=None)
def _host_runs_32bit():
    probe = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                         "host-arch")
    try:
        return subprocess.run([sys.executable, probe], capture_output=True, text=True,
                              timeout=30).stdout.strip() != "win64"
    except (OSError, subprocess.SubprocessError):
        return True


class TestBed:
    def __init__(self, directory, arch="win32"):
        self.dir = os.path.abspath(directory)
        self.arch = arch

    @property
    def only64(self):
        """True on a machine that runs no 32-bit code: the build under test is
        64-bit and the main prefix ("win32") is a 64-bit one (the build
        writes the architecture into the folder)."""
        # A test that makes a bed of its own asks the build's main bed; a
        # tool's bed (the demo's, a benchmark's) asks the machine.
        for folder in (self.dir, os.environ.get("TESTBED_DIR")):
            try:
                with open(os.path.join(folder or "", "winearch"), encoding="ascii") as f:
                    return f.read().strip() == "win64"
            except OSError:
                continue
        return not _host_runs_32bit()

    def _wine_shims(self):
        """A folder whose wine and wine-stable start the 64-bit loader, ahead
        of the system's (which starts the 32-bit one when it is installed)."""
        folder = os.path.join(self.dir, "wine64-bin")
        os.makedirs(folder, exist_ok=True)
        for name in ("wine", "wine-stable"):
            path = os.path.join(folder, name)
            if not os.path.exists(path):
                with open(path, "w", encoding="ascii") as f:
                    f.write('#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n')
                os.chmod(path, 0o755)
        return folder

    @property
    def prefix(self):
        return os.path.join(self.dir, "prefix32" if self.arch == "win32" else "prefix64")

    def display(self):
        try:
            with open(os.path.join(self.dir, "display"), encoding="ascii") as f:
                return f.read().strip()
        except OSError:
            return None

    def env(self, debug=None, extra=None):
        env = dict(os.environ)
        for name in PROXY_VARS:
            env.pop(name, None)
        env["WINEPREFIX"] = self.prefix
        env["WINEARCH"] = self.arch
        if self.only64:
            env["WINEARCH"] = "win64"
            env["WINELOADER"] = "/usr/lib/wine/wine64"
            env["PATH"] = self._wine_shims() + os.pathsep + env.get("PATH", "")
        env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
        env["WINEDEBUG"] = debug if debug is not None else env.get("LAUNCHER_WINEDEBUG", "-all")
        # Retries wait 1, 2 and 4 ms instead of seconds unless a test asks for
        # the real waits (test builds only honour it).
        env.setdefault("LAUNCHER_TEST_BACKOFF_UNIT_MS", "1")
        display = self.display()
        if display:
            env["DISPLAY"] = display
        else:
            env.pop("DISPLAY", None)
        # An extra value of None keeps the variable from the program.
        for name, value in (extra or {}).items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        return env

    # -- prefix -----------------------------------------------------------

    def make_prefix(self):
        if os.path.isdir(self.prefix):
            subprocess.run(["wineserver", "-k"], env=self.env(), stderr=subprocess.DEVNULL)
            shutil.rmtree(self.prefix)
        os.makedirs(self.dir, exist_ok=True)
        started = time.monotonic()
        subprocess.run(["wineboot", "-i"], env=self.env(), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.seed_connection_settings(PROXY_TYPE_DIRECT)
        subprocess.run(["wineserver", "-w"], env=self.env(), check=True)
        print(f"prefix {self.prefix} ready in {time.monotonic() - started:.1f} s")

    def programs(self):
        """The command lines of the Windows programs running in this prefix."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/environ", "rb") as f:
                    environ = f.read().split(b"\0")
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    cmdline = f.read().replace(b"\0", b" ").decode("utf-8", "replace").strip()
            except OSError:
                continue
            if f"WINEPREFIX={self.prefix}".encode() in environ and "wineserver" not in cmdline:
                found.append(cmdline)
        return found

    def wait_idle(self, timeout=60):
        """Waits for the prefix's server to end; programs still running after
        timeout seconds (left by an earlier test) are named on stderr and
        ended with the server."""
        try:
            subprocess.run(["wineserver", "-w"], env=self.env(), timeout=timeout)
        except subprocess.TimeoutExpired:
            print(f"testbed: still running in {self.prefix} after {timeout} s, ended: "
                  f"{self.programs()}", file=sys.stderr)
            subprocess.run(["wineserver", "-k"], env=self.env(), stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=self.env(), timeout=timeout)

    def reg(self, *args, check=True):
        def attempt():
            done = subprocess.run(["wine", "reg", *args], env=self.env(), capture_output=True,
                                  text=True)
            return done.returncode, done.stdout, done.stderr, done
        done = again_while_wine_client_failed(attempt, "wine reg " + " ".join(args), self.dir)
        if check:
            done.check_returncode()
        return done

    def seed_connection_settings(self, flags, proxy="", bypass="", autoconfig_url=""):
        """Writes the binary DefaultConnectionSettings value that WinHTTP reads."""
        def counted(text):
            data = text.encode("ascii")
            return len(data).to_bytes(4, "little") + data

        blob = (0x46).to_bytes(4, "little") + (0).to_bytes(4, "little")
        blob += flags.to_bytes(4, "little")
        blob += counted(proxy) + counted(bypass) + counted(autoconfig_url)
        blob += bytes(32)
        self.reg("add", INTERNET_SETTINGS + r"\Connections", "/v", "DefaultConnectionSettings",
                 "/t", "REG_BINARY", "/d", blob.hex(), "/f")

    # -- running programs -------------------------------------------------

    def command(self, program, args=()):
        return ["wine", program, *args]

    def run(self, program, args=(), timeout=60, extra_env=None, cwd=None):
        """Runs a program to its end; returns a Result with the exit code, the
        debugger output lines and the rest of stderr."""
        def attempt():
            result = self.collect(self.start(program, args, extra_env, cwd), timeout)
            return result.code, result.stdout, result.stderr, result
        return again_while_wine_client_failed(attempt, program, self.dir)

    def start(self, program, args=(), extra_env=None, cwd=None, preexec_fn=None):
        """Starts a program in the background; finish it with collect().

        Its output goes to files, not pipes: the wineserver and the system
        processes that a first program of a prefix starts inherit its handles,
        and a pipe would stay open until they end."""
        os.makedirs(os.path.join(self.dir, "output"), exist_ok=True)
        files = [tempfile.TemporaryFile(dir=os.path.join(self.dir, "output")) for _ in range(2)]
        proc = subprocess.Popen(self.command(program, [str(a) for a in args]),
                                env=self.env(DEBUG_CHANNELS, extra_env), stdin=subprocess.DEVNULL,
                                stdout=files[0], stderr=files[1], cwd=cwd,
                                preexec_fn=preexec_fn)
        proc.output_files = files
        return proc

    @staticmethod
    def collect(proc, timeout=60):
        """Waits for a started program (killing it after timeout seconds,
        then raising subprocess.TimeoutExpired) and returns its Result."""
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            raise
        finally:
            outputs = []
            for f in proc.output_files:
                f.seek(0)
                outputs.append(f.read())
                f.close()
        return Result(proc.returncode, *outputs)

    def run_forwarding(self, argv):
        """Runs a program for CTest and passes its output and exit code on.

        The output goes through files, as in start(): the Wine session's
        server and desktop, which the first program of a session starts,
        would otherwise hold CTest's pipes until the session ends."""
        def attempt():
            files = [tempfile.TemporaryFile() for _ in range(2)]
            proc = subprocess.Popen(["wine", *argv], env=self.env(), stdin=subprocess.DEVNULL,
                                    stdout=files[0], stderr=files[1])
            # CTest ends a test that ran out of time with SIGTERM: end the program too.
            signal.signal(signal.SIGTERM, lambda *_: proc.kill())
            code = proc.wait()
            heads = []
            for f in files:
                f.seek(0)
                heads.append(f.read(len(WINE_CLIENT_ERROR) + 64).decode("utf-8", "replace"))
            return code, heads[0], heads[1], (code, files)

        code, files = again_while_wine_client_failed(attempt, argv[0] if argv else "wine",
                                                     self.dir)
        for f, out in zip(files, (sys.stdout.buffer, sys.stderr.buffer)):
            f.seek(0)
            shutil.copyfileobj(f, out)
            out.flush()
        return code if code >= 0 else 128 - code

    def to_windows_path(self, path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def shutdown(self):
        for arch in ("win32", "win64"):
            bed = TestBed(self.dir, arch)
            if os.path.isdir(bed.prefix):
                subprocess.run(["wineserver", "-k"], env=bed.env(), stderr=subprocess.DEVNULL)

    # -- display ----------------------------------------------------------

    def xvfb_start(self):
        self.xvfb_stop()
        # The display is noted in the bed's folder, which may not exist yet.
        os.makedirs(self.dir, exist_ok=True)
        # Xvfb picks a free display itself and names it once it accepts
        # clients: another bed starting a server at the same moment can
        # neither take the same number nor be mistaken for ours.
        read_end, write_end = os.pipe()
        try:
            proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                                     "-nolisten", "tcp"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    pass_fds=(write_end,), start_new_session=True)
            os.close(write_end)
            write_end = -1
            number = b""
            deadline = time.monotonic() + 10
            while not number.endswith(b"\n") and time.monotonic() < deadline:
                ready, _, _ = select.select([read_end], [], [], 0.2)
                if ready:
                    chunk = os.read(read_end, 16)
                    if not chunk:
                        break
                    number += chunk
        finally:
            os.close(read_end)
            if write_end >= 0:
                os.close(write_end)
        if proc.poll() is not None or not number.strip().isdigit():
            proc.kill()
            raise RuntimeError("Xvfb did not start")
        display = f":{int(number)}"
        with open(os.path.join(self.dir, "display"), "w", encoding="ascii") as f:
            f.write(display + "\n")
        with open(os.path.join(self.dir, "xvfb.pid"), "w", encoding="ascii") as f:
            f.write(f"{proc.pid}\n")
        print(f"Xvfb on {display}")

    def xvfb_stop(self):
        pid_file = os.path.join(self.dir, "xvfb.pid")
        try:
            with open(pid_file, encoding="ascii") as f:
                os.kill(int(f.read().strip()), signal.SIGTERM)
        except (OSError, ValueError):
            pass
        for name in ("xvfb.pid", "display"):
            try:
                os.remove(os.path.join(self.dir, name))
            except OSError:
                pass


# Wine shortens long messages, ending the quoted text with "... instead of ".
_DEBUG_LINE = re.compile(r'^(?:[0-9a-f]+:)?(?:[0-9a-f]+:)?warn:(?:seh|debugstr):OutputDebugString[AW] "(.*?)("|"\.\.\.)\s*$')


def _unescape(text):
    """Undoes Wine's debugstr escaping of a debugger message."""
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c != "\\" or i + 1 == len(text):
            out.append(c)
            i += 1
            continue
        n = text[i + 1]
        simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}
        if n in simple:
            out.append(simple[n])
            i += 2
        elif n == "x":
            out.append(chr(int(text[i + 2:i + 4], 16)))
            i += 4
        elif n == "u":
            out.append(chr(int(text[i + 2:i + 6], 16)))
            i += 6
        elif n.isdigit():
            j = i + 1
            while j < len(text) and j < i + 4 and text[j] in "01234567":
                j += 1
            out.append(chr(int(text[i + 1:j], 8)))
            i = j
        else:
            out.append(n)
            i += 2
    return "".join(out)


class Result:
    def __init__(self, code, stdout, stderr):
        self.code = code
        self.stdout = stdout.decode("utf-8", "replace")
        self.stderr = stderr.decode("utf-8", "replace")
        self.debug = []
        self.shortened = []  # indexes of messages that Wine cut short
        for line in self.stderr.splitlines():
            m = _DEBUG_LINE.match(line)
            if m:
                if m.group(2) != '"':
                    self.shortened.append(len(self.debug))
                self.debug.append(_unescape(m.group(1)))

    def said(self, lines=None):
        """The last debugger lines (all with no count), or with none at all
        what Wine itself said on stderr."""
        if self.debug:
            return repr(self.debug[-lines:] if lines else self.debug)
        return f"no debugger line, stderr={self.stderr[-1000:]!r}"

    def __repr__(self):
        return f"Result(code={self.code}, {self.said()})"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    sub = parser.add_subparsers(dest="cmd", required=True)
    p = sub.add_parser("make-prefix")
    p.add_argument("--arch", default="win32", choices=("win32", "win64"))
    p = sub.add_parser("run")
    p.add_argument("--arch", default="win32", choices=("win32", "win64"))
    p.add_argument("argv", nargs=argparse.REMAINDER)
    sub.add_parser("xvfb-start")
    sub.add_parser("xvfb-stop")
    sub.add_parser("shutdown")
    args = parser.parse_args()

    if args.cmd == "make-prefix":
        TestBed(args.dir, args.arch).make_prefix()
    elif args.cmd == "run":
        argv = args.argv[1:] if args.argv[:1] == ["--"] else args.argv
        return TestBed(args.dir, args.arch).run_forwarding(argv)
    elif args.cmd == "xvfb-start":
        TestBed(args.dir).xvfb_start()
    elif args.cmd == "xvfb-stop":
        TestBed(args.dir).xvfb_stop()
    elif args.cmd == "shutdown":
        TestBed(args.dir).shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
