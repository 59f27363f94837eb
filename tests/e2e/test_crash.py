"""The crash handler under Wine: the dump file's place, name and contents,
the debugger messages in order, the election between faulting threads, the
completion event and the exit code, driven through tests/helpers/crash_host.

Every faulting run goes through the host's "spawn" mode, which reports the
child's whole 32-bit exit code (a Unix parent of Wine sees only its low byte)."""

import datetime
import os
import re
import shutil
import struct
import tempfile
import time
import unittest
import uuid

import testbed
from launcher_run import LAUNCHER, copy_launcher
from testbed import TestBed

HOST = os.environ.get("LAUNCHER_BIN_crash_host")
READER = os.environ.get("LAUNCHER_BIN_dump_reader")

DUMP_SUBFOLDER = ("Corvane", "Lumenscan", "dump")
INIT_OK = "InitCrashHandler success!"
FILTER = "#################### CrashHandlerExceptionFilter"
HANDLER = "#################### CrashHandler"
PRE_DUMP = "crash_host: pre-dump"  # the host's pre-dump callback
WRITER = "Test _ProcessDumpWriter"
SUCCEEDED = "Crash dump generation succeed at path: "
ROW = "!" * 33 + "\n"
OVERFLOW = [ROW, "EXCEPTION_STACK_OVERFLOW occurred\n", ROW]
CREATE_FAILED = "failed to create dump file at path: "
TOO_LONG = "dump file name too long for folder: "
# The host's own marks around faults at exit (tests/helpers/crash_host.cpp).
DISPATCHER_STOPPED = "crash_host: dispatcher stopped"
STATIC_FAULT = "crash_host: faulting in a static destructor"
EXIT_HANDLER_FAULT = "crash_host: faulting in an exit handler"
MAIN_RETURNS = "crash_host: main returns"
# Exit codes: the exception code; these two for faults without a record of
# their own (util_CrashHandler.h).
INVALID_PARAMETER = "c0000417"
FATAL_EXIT = "c0000409"
FAST_FAIL_FATAL_APP_EXIT = "7"
HOST_VERSION = "3.14.159.2653"  # the host's version resource (tests/unit/crash.cmake)
DUMP_NAME_CHARS = 520


# Wine cuts long debugger messages to their first 300 or so characters and
# marks the cut with "..." after the closing quote.
_DEBUG_LINE = re.compile(r'warn:(?:seh|debugstr):OutputDebugString[AW] "(.*)"(\.\.\.)?\s*$')


def debug_messages(result):
    """The debugger messages of a run as (text, whole) pairs; whole is False
    for a message Wine cut short."""
    messages = []
    for line in result.stderr.splitlines():
        m = _DEBUG_LINE.search(line)
        if m:
            messages.append((testbed._unescape(m.group(1)), m.group(2) is None))
    return messages


def pe_header(path):
    """TimeDateStamp and SizeOfImage from a PE file's headers."""
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    timestamp = struct.unpack_from("<I", data, pe + 8)[0]
    size_of_image = struct.unpack_from("<I", data, pe + 24 + 56)[0]
    return timestamp, size_of_image


class DumpReading:
    def __init__(self, result):
        self.code = result.code
        self.directory_streams = 0
        self.streams = {}
        self.exception = None
        for line in result.stdout.splitlines():
            if line.startswith("directory"):
                self.directory_streams = int(line.split("=", 1)[1])
            elif line.startswith("streams"):
                self.streams = {k: v == "1" for k, v in (p.split("=") for p in line.split()[1:])}
            elif line.startswith("exception"):
                self.exception = dict(p.split("=") for p in line.split()[1:])


class CrashTestBase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bed = TestBed(os.environ["TESTBED_DIR"])
        # Offsets are written with the width of a pointer.
        cls.pointer_digits = 16 if cls.bed.only64 else 8

    def assertMessages(self, result, expected):
        """The run's debugger messages are expected, in order; a message that
        Wine cut short only has to begin the expected text."""
        actual = debug_messages(result)
        self.assertEqual(len(actual), len(expected), (actual, expected))
        for (text, whole), wanted in zip(actual, expected):
            if whole:
                self.assertEqual(text, wanted)
            else:
                self.assertGreater(len(text), 100)
                self.assertTrue(wanted.startswith(text), (text, wanted))

    def make_dir(self):
        path = tempfile.mkdtemp(prefix="crash-", dir=os.environ["TESTBED_DIR"])
        self.addCleanup(shutil.rmtree, path, ignore_errors=True)
        return path

    @staticmethod
    def app_name():
        return "CrashApp" + uuid.uuid4().hex[:8]

    def dump_files(self, folder):
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

    def check_dump_name(self, name, app, started, ended, crt_marker):
        m = re.fullmatch(re.escape(app) + r"(\d{8}_\d{6})(_SE_CRT_)?Full\.dmp", name)
        self.assertIsNotNone(m, name)
        self.assertEqual(bool(m.group(2)), crt_marker, name)
        when = datetime.datetime.strptime(m.group(1), "%Y%m%d_%H%M%S")
        slack = datetime.timedelta(seconds=2)
        self.assertTrue(started - slack <= when <= ended + slack, f"{when} not in {started}..{ended}")


@unittest.skipUnless(HOST and READER, "needs crash_host and dump_reader (CTest test crash.host)")
class CrashHostTest(CrashTestBase):
    def crash(self, mode, app, base, event="-", timeout=120):
        """Runs the host in mode; the result's exit_code is the host's whole
        exit code as 8 hex digits."""
        started = datetime.datetime.now().replace(microsecond=0)
        result = self.bed.run(HOST, ["spawn", mode, app, event, base], timeout=timeout)
        ended = datetime.datetime.now()
        self.assertEqual(result.code, 0, result)
        codes = [line.split("=", 1)[1] for line in result.stdout.splitlines() if line.startswith("exit=")]
        self.assertEqual(len(codes), 1, result.stdout)
        result.exit_code = codes[0]
        return result, started, ended

    def read_dump(self, path):
        return DumpReading(self.bed.run(READER, [self.bed.to_windows_path(path)]))

    @staticmethod
    def faulting_threads(result):
        return [line.split("=", 1)[1] for line in result.stdout.splitlines() if line.startswith("thread=")]

    def test_faults_write_one_readable_dump_and_exit_with_the_exception_code(self):
        cases = [
            # mode, exception code in the dump (None: no exception stream),
            # messages before the writer's mark
            ("av", "c0000005", [FILTER, HANDLER, PRE_DUMP]),
            ("overflow", "c00000fd", [FILTER, *OVERFLOW, HANDLER, PRE_DUMP]),
            # A real check of a C runtime that lets the handler in; its
            # handler writes its own mark before the handler's.
            ("crt-ucrt", None, [HANDLER, HANDLER, PRE_DUMP]),
            # Late faults: after the static dispatcher-like object is gone,
            # in an exit handler registered before the entry point, and on a
            # worker while the main thread returns 0.
            ("exit-static", "c0000005", [DISPATCHER_STOPPED, STATIC_FAULT, FILTER, HANDLER, PRE_DUMP]),
            ("exit-atexit", "c0000005", [EXIT_HANDLER_FAULT, FILTER, HANDLER, PRE_DUMP]),
            ("exit-worker", "c0000005", [FILTER, HANDLER, PRE_DUMP, MAIN_RETURNS]),
            # Through std::terminate and SIGABRT: a record made by the handler.
            ("throw-main", FATAL_EXIT, [HANDLER, HANDLER, PRE_DUMP]),
            ("throw-thread", FATAL_EXIT, [HANDLER, HANDLER, PRE_DUMP]),
            ("purecall", FATAL_EXIT, [HANDLER, HANDLER, PRE_DUMP]),
            ("abort", FATAL_EXIT, [HANDLER, HANDLER, PRE_DUMP]),
        ]
        for mode, code, messages in cases:
            with self.subTest(mode=mode):
                if mode == "overflow" and self.bed.only64:
                    self.skipTest("on the 64-bit test build under 64-bit Wine a stack overflow ends the process with code 3 and no dump; the shipped 32-bit build is tested on machines that run it")
                base, app = self.make_dir(), self.app_name()
                result, started, ended = self.crash(mode, app, self.bed.to_windows_path(base))
                self.assertEqual(result.exit_code, code or INVALID_PARAMETER, result)
                folder = os.path.join(base, *DUMP_SUBFOLDER)
                files = self.dump_files(folder)
                self.assertEqual(len(files), 1, files)
                self.check_dump_name(files[0], app, started, ended, crt_marker=code is None)
                dump_path = os.path.join(folder, files[0])
                self.assertGreater(os.path.getsize(dump_path), 0)
                self.assertMessages(result, [INIT_OK, *messages, WRITER, SUCCEEDED,
                                             self.bed.to_windows_path(dump_path)])

                reading = self.read_dump(dump_path)
                self.assertEqual(reading.code, 0, "not a readable minidump")
                self.assertGreater(reading.directory_streams, 0)
                for stream in ("ThreadList", "ModuleList", "SystemInfo"):
                    self.assertTrue(reading.streams.get(stream), reading.streams)
                self.assertEqual(reading.streams.get("Exception"), code is not None, reading.streams)
                if code is not None:
                    self.assertEqual(reading.exception["code"], code)
                    self.assertEqual([reading.exception["thread"]], self.faulting_threads(result))
                if code == FATAL_EXIT:
                    self.assertEqual(reading.exception["first"], FAST_FAIL_FATAL_APP_EXIT)
                    # The handler took std::terminate itself: the runtime's
                    # default (message, then abort) never ran.
                    self.assertNotIn("terminate called", result.stderr)

    def test_invalid_argument_to_the_linked_runtime(self):
        # wcscpy_s without a buffer, called in the C runtime DLL the host
        # really uses. msvcrt.dll (Wine's, and Windows') has no setter for the
        # handler: the call then only returns EINVAL and nothing is dumped.
        # Where the DLL has the setter the same call must end in the dump.
        base, app = self.make_dir(), self.app_name()
        result, started, ended = self.crash("crt", app, self.bed.to_windows_path(base))
        lines = dict(line.split("=", 1) for line in result.stdout.splitlines()
                     if line.startswith(("crt=", "returned=")))
        self.assertEqual(lines.get("crt", "").lower(), "msvcrt.dll", result.stdout)
        routed = "routes invalid-parameter=1" in result.stdout
        files = self.dump_files(os.path.join(base, *DUMP_SUBFOLDER))
        if routed:
            self.assertEqual(result.exit_code, INVALID_PARAMETER, result)
            self.assertEqual(len(files), 1, files)
            self.check_dump_name(files[0], app, started, ended, crt_marker=True)
        else:
            self.assertIn("routes invalid-parameter=0", result.stdout)
            self.assertEqual((lines.get("returned"), result.exit_code, files), ("22", "00000004", []))
            self.assertMessages(result, [INIT_OK])

    def test_two_faulting_threads_give_one_dump(self):
        base, app = self.make_dir(), self.app_name()
        result, started, ended = self.crash("two-threads", app, self.bed.to_windows_path(base))
        self.assertEqual(result.exit_code, "c0000005", result)
        # Both threads reached the handler (the host holds each in the pre-dump
        # callback until both are there); only one of them wrote.
        for message, count in ((FILTER, 2), (HANDLER, 2), (PRE_DUMP, 2), (WRITER, 1), (SUCCEEDED, 1)):
            self.assertEqual(result.debug.count(message), count, (message, result.debug))
        folder = os.path.join(base, *DUMP_SUBFOLDER)
        files = self.dump_files(folder)
        self.assertEqual(len(files), 1, files)
        self.check_dump_name(files[0], app, started, ended, crt_marker=False)
        reading = self.read_dump(os.path.join(folder, files[0]))
        self.assertIn(reading.exception["thread"], self.faulting_threads(result))

    def test_completion_event(self):
        # An event nobody created: the sequence still ends with the dump and
        # the exception code.
        base, app = self.make_dir(), self.app_name()
        result, _, _ = self.crash("av", app, self.bed.to_windows_path(base),
                                  event=f"crash-nobody-{uuid.uuid4().hex}")
        self.assertEqual(result.exit_code, "c0000005", result)
        self.assertEqual(len(self.dump_files(os.path.join(base, *DUMP_SUBFOLDER))), 1)

        # An event a watcher waits for is signalled.
        name = f"crash-watch-{uuid.uuid4().hex}"
        status = os.path.join(self.make_dir(), "ready.txt")
        watcher = self.bed.start(HOST, ["wait-event", name, self.bed.to_windows_path(status)])
        deadline = time.monotonic() + 30
        while not os.path.exists(status) and time.monotonic() < deadline and watcher.poll() is None:
            time.sleep(0.1)
        self.assertTrue(os.path.exists(status), "the watcher never created its event")
        result, _, _ = self.crash("av", app, self.bed.to_windows_path(base), event=name)
        self.assertEqual(result.exit_code, "c0000005", result)
        watched = TestBed.collect(watcher, timeout=60)
        self.assertEqual((watched.code, watched.stdout.strip()), (0, "signalled"))

    def test_default_base_folder_is_all_users_application_data(self):
        app = self.app_name()
        folder = os.path.join(self.bed.prefix, "drive_c", "ProgramData", *DUMP_SUBFOLDER)
        self.addCleanup(lambda: [os.remove(os.path.join(folder, f))
                                 for f in self.dump_files(folder) if f.startswith(app)])
        result, started, ended = self.crash("av", app, "-")
        self.assertEqual(result.exit_code, "c0000005", result)
        files = [f for f in self.dump_files(folder) if f.startswith(app)]
        self.assertEqual(len(files), 1, files)
        self.check_dump_name(files[0], app, started, ended, crt_marker=False)
        self.assertEqual(result.debug[-1], "C:\\ProgramData\\Corvane\\Lumenscan\\dump\\" + files[0])

    def long_base(self, total_chars, app):
        """A base folder that makes the dump path exactly total_chars long."""
        prefix = self.bed.to_windows_path(self.make_dir())
        tail = len("\\Corvane\\Lumenscan\\dump") + 1 + len(app) + len("yyyymmdd_hhmmss") + len("Full.dmp")
        wanted = total_chars - tail - len(prefix)
        parts = []
        while wanted > 0:  # folder names of at most 100 characters
            chunk = wanted if wanted <= 101 else min(101, wanted - 2)
            parts.append("\\" + "d" * (chunk - 1))
            wanted -= chunk
        base = prefix + "".join(parts)
        self.assertEqual(len(base) + tail, total_chars)
        return base

    def test_dump_file_problems_still_end_with_the_exception_code(self):
        blocker = os.path.join(self.make_dir(), "a-file")
        open(blocker, "w").close()
        app = self.app_name()
        cases = [
            # base folder, first message after the writer's mark (None: not a refusal)
            ("a file", self.bed.to_windows_path(blocker), CREATE_FAILED),
            ("name one too long", self.long_base(DUMP_NAME_CHARS, app), TOO_LONG),
            ("longest name", self.long_base(DUMP_NAME_CHARS - 1, app), None),
        ]
        for label, base, expected in cases:
            with self.subTest(label):
                result, _, _ = self.crash("av", app, base)
                self.assertEqual(result.exit_code, "c0000005", result)
                folder = base + "\\Corvane\\Lumenscan\\dump"
                texts = [text for text, _ in debug_messages(result)]
                after = texts[texts.index(WRITER) + 1:]
                if expected == CREATE_FAILED:
                    self.assertEqual(len(after), 4, after)
                    path = after[1]
                    self.assertRegex(path, re.escape(f"{folder}\\{app}") + r"\d{8}_\d{6}Full\.dmp$")
                    self.assertMessages(result, [INIT_OK, FILTER, HANDLER, PRE_DUMP, WRITER,
                                                 CREATE_FAILED, path, "GetLastError() = ", after[3]])
                    self.assertRegex(after[3], r"^[1-9]\d*$")
                elif expected == TOO_LONG:
                    self.assertMessages(result, [INIT_OK, FILTER, HANDLER, PRE_DUMP, WRITER,
                                                 TOO_LONG, folder])
                else:
                    # Accepted: whatever the file system then says, the message
                    # names the whole path.
                    self.assertIn(after[0], (SUCCEEDED, CREATE_FAILED))
                    self.assertTrue(after[1].startswith(folder[:100]), after)

    def test_install_and_uninstall(self):
        base = self.make_dir()
        result, _, _ = self.crash("init", self.app_name(), self.bed.to_windows_path(base))
        self.assertEqual((result.exit_code, result.stdout.splitlines()[0]),
                         ("00000000", "installed=1 refused=1 restored=1"))
        self.assertMessages(result, [INIT_OK])
        self.assertTrue(os.path.isdir(os.path.join(base, *DUMP_SUBFOLDER)))

    def test_error_report_values(self):
        result, _, _ = self.crash("report", self.app_name(), self.bed.to_windows_path(self.make_dir()))
        self.assertEqual(result.exit_code, "00000000", result)
        values = {}
        for line in result.stdout.splitlines():
            if line.startswith("exit="):
                continue
            case, name, value = line.split("|")
            values.setdefault(case, {})[name] = value
        timestamp, size_of_image = pe_header(HOST)
        for case in ("host", "kernel32", "none"):
            with self.subTest(case):
                v = values[case]
                self.assertEqual(v["Application Name"], "crash_host.exe")
                self.assertEqual(v["Application Version"], HOST_VERSION)
                self.assertEqual(v["Application Timestamp"], f"{timestamp:x}")
                self.assertEqual(v["Exception Code"], "c0000005")
                self.assertRegex(v["Exception Offset"], rf"^[0-9A-Fa-f]{{{self.pointer_digits}}}$")
        host, kernel32, none = values["host"], values["kernel32"], values["none"]
        self.assertEqual((host["Fault Module Name"], host["Fault Module Version"],
                          host["Fault Module Timestamp"]),
                         ("crash_host.exe", HOST_VERSION, f"{timestamp:x}"))
        self.assertLess(int(host["Exception Offset"], 16), size_of_image)
        self.assertEqual(kernel32["Fault Module Name"].lower(), "kernel32.dll")
        self.assertRegex(kernel32["Fault Module Version"], r"^\d+\.\d+\.\d+\.\d+$")
        self.assertNotEqual(kernel32["Fault Module Version"], "0.0.0.0")
        self.assertRegex(kernel32["Fault Module Timestamp"], r"^[1-9a-f][0-9a-f]*$")
        self.assertEqual((none["Fault Module Name"], none["Fault Module Version"],
                          none["Fault Module Timestamp"], none["Exception Offset"]),
                         ("", "0.0.0.0", "0", "10".rjust(self.pointer_digits, "0")))

    def test_module_version_text(self):
        cases = [
            # path, buffer size in characters, expected (read, text)
            (HOST, 64, ("1", HOST_VERSION)),
            (HOST, len(HOST_VERSION) + 1, ("1", HOST_VERSION)),
            (HOST, len(HOST_VERSION), ("0", "0.0.0.0")),
            (HOST, len("0.0.0.0"), ("0", "")),
            (READER, 64, ("0", "0.0.0.0")),  # no version resource
            (os.path.join(os.path.dirname(HOST), "missing.exe"), 64, ("0", "0.0.0.0")),
        ]
        for path, chars, expected in cases:
            with self.subTest(path=os.path.basename(path), chars=chars):
                result = self.bed.run(HOST, ["version", self.bed.to_windows_path(path), str(chars)])
                self.assertEqual(result.code, 0, result)
                m = re.fullmatch(r"read=(\d) text=(.*)", result.stdout.strip())
                self.assertIsNotNone(m, result.stdout)
                self.assertEqual(m.groups(), expected)


@unittest.skipUnless(LAUNCHER, "needs the launcher (CTest test crash.launcher)")
class LauncherInstallTest(CrashTestBase):
    def test_handler_is_installed_first(self):
        folder = tempfile.mkdtemp(prefix="launcher-", dir=os.environ["TESTBED_DIR"])
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        result = self.bed.run(copy_launcher(folder), ["-s"], timeout=300)
        self.assertTrue(result.debug, result)
        self.assertEqual(result.debug[0], INIT_OK, result.debug)
        dump_folder = os.path.join(self.bed.prefix, "drive_c", "ProgramData", *DUMP_SUBFOLDER)
        self.assertTrue(os.path.isdir(dump_folder))


if __name__ == "__main__":
    unittest.main()
