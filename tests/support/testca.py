"""A certificate authority made for one test run with the openssl command,
and a server certificate it signed for 127.0.0.1 and localhost.

    ca = TestCA(directory)
    ca.server_context()        # ssl.SSLContext for a loopback HTTPS server
    ca.trust_in(bed, tool)     # import the CA into the test prefix's Root store

The CA is trusted only inside the test prefix, never on the host.
"""

import os
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
