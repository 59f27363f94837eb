"""tools/release as a user runs it: two releases of one tree, built in folders
of different names, one signed with a certificate of a CA the test made and
one with no certificate given. Their unsigned exes must be the same bytes;
the signed exe must verify, carry its version block and fit the size goal;
SHA256SUMS must name both files; and a build naming .example hosts is refused
without --trial."""
import hashlib
import os
import re
import shutil
import subprocess
import unittest

from pe_version import read_version
from testca import TestCA

ROOT = os.environ.get("LAUNCHER_SOURCE_DIR")
WORK = os.environ.get("LAUNCHER_RELEASE_WORK")
SIZE_GOAL = 800 * 1024


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        m = re.search(r"project\(\w+ VERSION (\d+)\.(\d+)\.(\d+)", f.read())
    return tuple(int(n) for n in m.groups())


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


@unittest.skipUnless(ROOT and WORK and shutil.which("osslsigncode"), "run through CTest")
class ReleaseTest(unittest.TestCase):
    @classmethod
    def release(cls, name, *args, out_name=None):
        build = os.path.join(WORK, "build-" + name)
        out = os.path.join(WORK, "out-" + (out_name or name))
        proc = subprocess.run([os.path.join(ROOT, "tools", "release"), "--build", build,
                               "--out", out, *args], capture_output=True, text=True, timeout=1200)
        return proc, out

    @classmethod
    def setUpClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)
        ca = TestCA(os.path.join(WORK, "ca"))
        cls.ca_pem = ca.ca_pem
        signer = ca.code_signer("Release Test Publisher")
        cls.throwaway = cls.release("a", "--trial")
        cls.signed = cls.release("bb", "--trial", "--cert", signer.chain_pem, "--key", signer.key,
                                 "--verify-ca", ca.ca_pem)

    def verify(self, exe):
        return subprocess.run(["osslsigncode", "verify", "-CAfile", self.ca_pem, "-in", exe],
                              capture_output=True, text=True)

    def test_each_release_ends_with_its_signed_exe(self):
        for (proc, out), warned in ((self.throwaway, True), (self.signed, False)):
            with self.subTest(out=out):
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertEqual(proc.stdout.strip().splitlines()[-1],
                                 os.path.join(out, "LumenscanLauncher.exe"))
                # Without a certificate the run says plainly what it signed with.
                self.assertEqual("NO CERTIFICATE GIVEN" in proc.stderr, warned, proc.stderr)

    def test_two_builds_give_the_same_unsigned_bytes(self):
        a, b = (os.path.join(out, "LumenscanLauncher-unsigned.exe")
                for _, out in (self.throwaway, self.signed))
        self.assertEqual(sha256(a), sha256(b))

    def test_signature_verifies_and_breaks_with_one_byte(self):
        exe = os.path.join(self.signed[1], "LumenscanLauncher.exe")
        good = self.verify(exe)
        self.assertEqual(good.returncode, 0, good.stdout + good.stderr)
        self.assertIn("Subject: /CN=Release Test Publisher", good.stdout)
        self.assertRegex(good.stdout, r"Message digest algorithm\s*: SHA256")
        changed = os.path.join(WORK, "changed.exe")
        with open(exe, "rb") as f:
            data = bytearray(f.read())
        data[0x1000] ^= 0xFF  # inside the code
        with open(changed, "wb") as f:
            f.write(data)
        self.assertNotEqual(self.verify(changed).returncode, 0)

    def test_checksums_name_both_files(self):
        for _, out in (self.throwaway, self.signed):
            with open(os.path.join(out, "SHA256SUMS"), encoding="ascii") as f:
                listed = dict(reversed(line.split()) for line in f if line.strip())
            self.assertEqual(set(listed), {"LumenscanLauncher.exe", "LumenscanLauncher-unsigned.exe"})
            for name, digest in listed.items():
                self.assertEqual(digest, sha256(os.path.join(out, name)), name)

    def test_signed_exe_shows_its_version_and_fits_the_size_goal(self):
        exe = os.path.join(self.signed[1], "LumenscanLauncher.exe")
        info = read_version(exe)
        version = project_version()
        self.assertEqual(info.file_version, version + (0,))
        self.assertEqual(info.product_version, version + (0,))
        self.assertEqual(info.strings.get("FileDescription"), "Lumenscan Launcher")
        self.assertEqual(info.strings.get("ProductName"), "Lumenscan")
        self.assertTrue(info.strings.get("FileVersion", "").startswith("%d.%d.%d" % version))
        self.assertLessEqual(os.path.getsize(exe), SIZE_GOAL)

    def test_example_hosts_are_refused_without_trial(self):
        # The first release's tree still names the .example hosts.
        proc, out = self.release("a", out_name="refused")
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn(".example hosts", proc.stderr)
        self.assertFalse(os.path.exists(out))


if __name__ == "__main__":
    unittest.main()
