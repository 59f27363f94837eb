"""A certificate authority made for one test run with the openssl command,
and a server certificate it signed for 127.0.0.1 and localhost.

    ca = TestCA(directory)
    ca.server_context()        # ssl.SSLContext for a loopback HTTPS server
    ca.trust_in(bed, tool)     # import the CA into the test prefix's Root store
    signer = ca.code_signer("Publisher")   # a code-signing certificate
    signer.sign(unsigned_exe, signed_exe)  # Authenticode-signed copy (osslsigncode)
    signer.thumbprint          # SHA-256 of the certificate, upper-case hex

The CA is trusted only inside the test prefix, never on the host.
"""

import hashlib
import os
import shutil
import ssl
import subprocess


class TestCA:
    def __init__(self, directory, name="Launcher Test CA"):
        self.dir = directory
        os.makedirs(directory, exist_ok=True)
        self.ca_key = os.path.join(directory, "ca.key")
        self.ca_pem = os.path.join(directory, "ca.pem")
        self.ca_der = os.path.join(directory, "ca.der")
        self.server_key = os.path.join(directory, "server.key")
        self.server_pem = os.path.join(directory, "server.pem")
        self._make(name)

    def _openssl(self, *args):
        subprocess.run(["openssl", *args], check=True, capture_output=True)

    def _make(self, name):
        self._openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256",
                      "-keyout", self.ca_key, "-out", self.ca_pem, "-days", "30",
                      "-subj", f"/CN={name}",
                      "-addext", "basicConstraints=critical,CA:TRUE",
                      "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        self._openssl("x509", "-in", self.ca_pem, "-outform", "DER", "-out", self.ca_der)
        csr = os.path.join(self.dir, "server.csr")
        self._openssl("req", "-newkey", "rsa:2048", "-nodes", "-sha256",
                      "-keyout", self.server_key, "-out", csr, "-subj", "/CN=127.0.0.1")
        # The address is named as a DNS entry too: not every verifier (Wine's
        # among them) compares a numeric host with the IP entries.
        ext = os.path.join(self.dir, "server.ext")
        with open(ext, "w", encoding="ascii") as f:
            f.write("basicConstraints=CA:FALSE\n"
                    "keyUsage=critical,digitalSignature,keyEncipherment\n"
                    "extendedKeyUsage=serverAuth\n"
                    "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost\n")
        self._openssl("x509", "-req", "-in", csr, "-CA", self.ca_pem, "-CAkey", self.ca_key,
                      "-CAcreateserial", "-out", self.server_pem, "-days", "30", "-sha256",
                      "-extfile", ext)

    def code_signer(self, name):
        """A code-signing certificate (extendedKeyUsage codeSigning) issued by
        this CA to CN=name, with a key of its own."""
        base = os.path.join(self.dir, "signer-" + "".join(c if c.isalnum() else "_" for c in name))
        key, csr, ext, pem = (base + s for s in (".key", ".csr", ".ext", ".pem"))
        self._openssl("req", "-newkey", "rsa:2048", "-nodes", "-sha256",
                      "-keyout", key, "-out", csr, "-subj", f"/CN={name}")
        with open(ext, "w", encoding="ascii") as f:
            f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=codeSigning\n")
        self._openssl("x509", "-req", "-in", csr, "-CA", self.ca_pem, "-CAkey", self.ca_key,
                      "-CAcreateserial", "-out", pem, "-days", "30", "-sha256", "-extfile", ext)
        der = subprocess.run(["openssl", "x509", "-in", pem, "-outform", "DER"], check=True,
                             capture_output=True).stdout
        # The signature carries the CA too, as a real publisher's carries its chain.
        with open(base + ".chain.pem", "wb") as out, open(pem, "rb") as a, open(self.ca_pem, "rb") as b:
            out.write(a.read() + b.read())
        return CodeSigner(base + ".chain.pem", key, hashlib.sha256(der).hexdigest().upper())

    def server_context(self):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(self.server_pem, self.server_key)
        return context

    def context_for_address(self, address):
        """An SSLContext with a certificate of this CA for another numeric
        address (a network test bed's), named as IP and as DNS entry."""
        name = "addr-" + address.replace(".", "-").replace(":", "-")
        key = os.path.join(self.dir, name + ".key")
        pem = os.path.join(self.dir, name + ".pem")
        csr = os.path.join(self.dir, name + ".csr")
        ext = os.path.join(self.dir, name + ".ext")
        self._openssl("req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", key,
                      "-out", csr, "-subj", f"/CN={address}")
        with open(ext, "w", encoding="ascii") as f:
            f.write("basicConstraints=CA:FALSE\n"
                    "keyUsage=critical,digitalSignature,keyEncipherment\n"
                    "extendedKeyUsage=serverAuth\n"
                    f"subjectAltName=IP:{address},DNS:{address}\n")
        self._openssl("x509", "-req", "-in", csr, "-CA", self.ca_pem, "-CAkey", self.ca_key,
                      "-CAcreateserial", "-out", pem, "-days", "30", "-sha256", "-extfile", ext)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(pem, key)
        return context

    def trust_in(self, bed, import_tool):
        """Adds the CA to the local machine's Root store of the bed's prefix
        with the import helper program."""
        result = bed.run(import_tool, [bed.to_windows_path(self.ca_der)], timeout=120)
        if result.code != 0:
            raise RuntimeError(f"importing the test CA failed: {result.stdout} {result.stderr[-2000:]}")
        return result

    # -- certificates that must be refused --------------------------------

    def bad_server_context(self, kind):
        """A server context whose certificate a client must refuse:
        "expired" (signed by this CA, valid only in 2020), "wrong_name"
        (signed by this CA for another host) or "untrusted" (self-signed for
        127.0.0.1, unknown to the prefix)."""
        key = os.path.join(self.dir, f"{kind}.key")
        pem = os.path.join(self.dir, f"{kind}.pem")
        if not os.path.exists(pem):
            self._make_bad(kind, key, pem)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(pem, key)
        return context

    def _make_bad(self, kind, key, pem):
        names = "IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost"
        if kind == "wrong_name":
            names = "DNS:wrong.example"
        ext = os.path.join(self.dir, f"{kind}.ext")
        with open(ext, "w", encoding="ascii") as f:
            f.write("basicConstraints=CA:FALSE\n"
                    "keyUsage=critical,digitalSignature,keyEncipherment\n"
                    "extendedKeyUsage=serverAuth\n"
                    f"subjectAltName={names}\n")
        subject = "/CN=wrong.example" if kind == "wrong_name" else "/CN=127.0.0.1"
        if kind == "untrusted":
            self._openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256",
                          "-keyout", key, "-out", pem, "-days", "30", "-subj", subject,
                          "-addext", f"subjectAltName={names}")
            return
        csr = os.path.join(self.dir, f"{kind}.csr")
        self._openssl("req", "-newkey", "rsa:2048", "-nodes", "-sha256",
                      "-keyout", key, "-out", csr, "-subj", subject)
        if kind == "wrong_name":
            self._openssl("x509", "-req", "-in", csr, "-CA", self.ca_pem, "-CAkey", self.ca_key,
                          "-CAcreateserial", "-out", pem, "-days", "30", "-sha256",
                          "-extfile", ext)
            return
        # Dates in the past need "openssl ca", which keeps a small database.
        db = os.path.join(self.dir, f"{kind}-db")
        os.makedirs(db, exist_ok=True)
        open(os.path.join(db, "index.txt"), "w").close()
        with open(os.path.join(db, "serial"), "w", encoding="ascii") as f:
            f.write("1000\n")
        config = os.path.join(db, "ca.cnf")
        with open(config, "w", encoding="ascii") as f:
            f.write("[ca]\ndefault_ca = test\n"
                    f"[test]\ndir = {db}\ndatabase = $dir/index.txt\n"
                    "new_certs_dir = $dir\nserial = $dir/serial\ndefault_md = sha256\n"
                    "policy = any\n[any]\ncommonName = supplied\n")
        self._openssl("ca", "-batch", "-config", config, "-cert", self.ca_pem,
                      "-keyfile", self.ca_key, "-in", csr, "-out", pem, "-notext",
                      "-startdate", "20200101000000Z", "-enddate", "20200201000000Z",
                      "-extfile", ext)

class CodeSigner:
    def __init__(self, chain_pem, key, thumbprint):
        self.chain_pem, self.key, self.thumbprint = chain_pem, key, thumbprint

    @staticmethod
    def available():
        return shutil.which("osslsigncode") is not None

    def sign(self, program, signed):
        """Writes an Authenticode-signed (SHA-256, no time stamp) copy of
        program; returns its bytes."""
        subprocess.run(["osslsigncode", "sign", "-certs", self.chain_pem, "-key", self.key,
                        "-h", "sha256", "-in", program, "-out", signed],
                       check=True, capture_output=True)
        with open(signed, "rb") as f:
            return f.read()
