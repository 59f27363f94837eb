"""The publisher pin through the launcher's whole run under Wine. Test builds
take the pinned thumbprints from LAUNCHER_TEST_SETUP_PUBLISHER (the keys are
made at test time). Wine does not hold the signer's chain to a trusted root,
so these runs show the signature's presence and digest and the thumbprint
comparison; the chain check itself can only be seen on Windows."""

import hashlib
import io
import os
import shutil
import tempfile
import unittest
import zipfile

from launcher_run import (IMPORT_CA, LAUNCHER, REGISTRY_KEY, Services, copy_launcher,
                          event_query, launcher_config, md5, setup_record)
from testbed import TestBed
from testca import CodeSigner

SETUP = os.environ.get("LAUNCHER_BIN_test_setup")
HOOKS_BUILT = os.environ.get("PUBLISHER_TEST_HOOKS_BUILT") == "1"
# Stand-ins of the DLLs the check binds late: each records its own loading.
# crypt32 has no stand-in here: Wine's own winhttp binds it through the
# program's folder when a native override asks for that, which Windows does not
# do for a DLL loaded from System32 with the DLL directories restricted.
STANDINS = [os.environ.get(f"LAUNCHER_BIN_standin_{n}") for n in ("wintrust",)]
STARTED = ["Start_Download", "Download_Succeed", "LaunchExe_Succeed"]
REFUSED = ["Start_Download", "Download_Succeed", "CheckMd5_Fail"]


@unittest.skipUnless(LAUNCHER and SETUP and IMPORT_CA and all(STANDINS), "run through CTest")
@unittest.skipUnless(HOOKS_BUILT and CodeSigner.available(), "needs test hooks and osslsigncode")
class PublisherPinTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bed = TestBed(os.environ["TESTBED_DIR"])
        cls.dir = tempfile.mkdtemp(prefix="publisher-", dir=os.environ["TESTBED_DIR"])
        cls.services = Services(cls.bed, os.path.join(cls.dir, "ca"))
        cls.pinned = cls.services.ca.code_signer("Pinned Publisher")
        cls.other = cls.services.ca.code_signer("Other Publisher")

    @classmethod
    def tearDownClass(cls):
        cls.services.stop()
        cls.bed.reg("delete", REGISTRY_KEY, "/f", check=False)
        shutil.rmtree(cls.dir, True)

    def run_once(self, setup, in_zip, pin):
        """One silent run of a fresh launcher whose package is setup (alone or
        in a zip); its actions, its result and whether the setup started."""
        self.services.reset()
        work = tempfile.mkdtemp(prefix="run-", dir=self.dir)
        base = os.path.join(work, "base")
        exe = copy_launcher(work, launcher_config(self.bed, base, "pin"), companions=STANDINS)
        name, data = "setup.exe", setup
        if in_zip:
            archive = io.BytesIO()
            with zipfile.ZipFile(archive, "w") as z:
                z.writestr("setup.exe", setup)
            name, data = "pkg.zip", archive.getvalue()
        self.services.redirect_to(self.services.publish(name, data, sidecar=md5(setup)))

        log = os.path.join(work, "loaded.txt")
        env = {"WINEDLLOVERRIDES": "mscoree,mshtml=;wintrust=n,b",
               "STANDIN_DLL_LOG": self.bed.to_windows_path(log)}
        if pin:
            env["LAUNCHER_TEST_SETUP_PUBLISHER"] = pin
        result = self.services.run(exe, ["-s"], extra_env=env)
        self.assertEqual(result.code, 0, result)
        # It comes from System32 only, never from beside the launcher.
        self.assertFalse(os.path.exists(log), "a stand-in beside the launcher was loaded")
        actions = [event_query(h)["ea"][0].replace("SilentDownloader_", "")
                   for h in sorted(result.hits, key=lambda h: h.start)]
        record = setup_record(os.path.join(base, "Package", "Build" if in_zip else ""),
                              wait=actions == STARTED)
        return actions, result, record is not None

    def test_only_a_setup_signed_by_a_pinned_certificate_starts(self):
        with open(SETUP, "rb") as f:
            unsigned = f.read()
        signed = self.pinned.sign(SETUP, os.path.join(self.dir, "pinned.exe"))
        other_signed = self.other.sign(SETUP, os.path.join(self.dir, "other.exe"))
        # One byte of the DOS stub, which the signature's digest covers.
        tampered = bytearray(signed)
        tampered[0x60] ^= 0x20
        pinned, other = self.pinned.thumbprint, self.other.thumbprint
        # Another thumbprint first, the signer's in lower case with a space.
        pin = f"{hashlib.sha256(b'nobody').hexdigest()}, {pinned[:20].lower()} {pinned[20:]};"
        is_pinned = f"publisher check: signer thumbprint {pinned} is pinned"
        unsigned_line = "publisher check: the launch file has no signature (0x800B0100)"
        cases = [
            ("pinned signer", signed, False, pin, is_pinned),
            ("pinned signer in a zip", signed, True, pin, is_pinned),
            ("unsigned", unsigned, False, pin, unsigned_line),
            ("unsigned in a zip", unsigned, True, pin, unsigned_line),
            ("another signer", other_signed, False, pin,
             f"publisher check: signer thumbprint {other} is not pinned"),
            ("changed after signing", bytes(tampered), False, pin,
             "publisher check: bad digest 0x80096010"),
            ("pin list that cannot be read", signed, False, pinned + "0",
             "publisher check: the pinned thumbprint list cannot be read"),
            ("nothing pinned", unsigned, False, None, None),
        ]
        for case, setup, in_zip, pin_text, line in cases:
            with self.subTest(case):
                actions, result, started = self.run_once(setup, in_zip, pin_text)
                checks = [d for d in result.debug if d.startswith("publisher check:")]
                self.assertEqual(checks, [line] if line else [], result)
                accepted = line in (None, is_pinned)
                # A refusal ends the run the way a failed integrity check does.
                self.assertEqual(actions, STARTED if accepted else REFUSED, result)
                self.assertEqual(started, accepted)
                if not accepted:
                    self.assertIn("check md5 failed!", result.debug)
                    self.assertIn("run result E0FF0012", result.debug)


if __name__ == "__main__":
    unittest.main()
