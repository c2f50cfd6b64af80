"""An https server whose certificate the system does not trust is refused
like any transport failure, and nothing is stored. The certificate is made
here with openssl and names 127.0.0.1, so only the trust check can fail."""
import os
import shutil
import ssl
import subprocess
import unittest
import urllib.request

from tests.e2e.harness import VERSION_LINE
from tests.e2e.server_support import SN, ServerTestCase


@unittest.skipIf(shutil.which("openssl") is None, "openssl is needed to make a certificate")
class UntrustedCertificate(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.cert = os.path.join(self.scratch, "cert.pem")
        self.key = os.path.join(self.scratch, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", self.key, "-out", self.cert],
                       check=True, capture_output=True)
        self.start_server(tls=(self.cert, self.key))
        self.assertTrue(self.url.startswith("https://127.0.0.1:"))

    def test_stand_in_serves_https_to_a_client_that_trusts_it(self):
        context = ssl.create_default_context(cafile=self.cert)
        with urllib.request.urlopen(self.url + "?op=hi&rv=2&", context=context, timeout=10) as reply:
            self.assertTrue(reply.read().startswith(b"ok"))
        self.assertEqual(self.ops(), ["hi"])

    def test_download_refused(self):
        os.makedirs(self.store)
        result = self.cli("-G", "-d", SN, "-X", "0x20")
        self.assertEqual(result.status, 1, result)
        self.assertIn("Server request failed for %s\n" % self.url, result.err)
        # The refusal is the certificate check, reported by the transport.
        self.assertIn("ping ==> [SSL peer certificate or SSH remote key was not OK]\n", result.err)
        self.assertEqual(self.requests(), [])
        self.assertEqual(self.snapshot(), {"./": None})

    def test_build_list_and_token_refused(self):
        self.assertOutput(self.cli("-B", "-d", SN), 1, VERSION_LINE + "No builds found for device [%s]\n" % SN,
                          "Server request failed for %s\n" % self.url)
        self.assertOutput(self.cli("-J", "-d", SN), 1, VERSION_LINE + "\n",
                          "Server request failed for %s\n" % self.url)
        self.assertEqual(self.requests(), [])


if __name__ == "__main__":
    unittest.main()
