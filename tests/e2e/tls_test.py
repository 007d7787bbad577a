"""End to end: Modbus/TCP Security through tesmor-host, with certificates from tools/make-certs.sh:
handshakes with `openssl s_client`, reads and writes with pymodbus's TLS client, plain TCP beside
it on the same registers, `stats`, bad files, and a quit with a TLS master connected."""
import asyncio
import os
import select
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from labkit import Host, Lab, free_port, sample_number, wait_until  # noqa: E402

from pymodbus.client import AsyncModbusTlsClient  # noqa: E402
from pymodbus.framer.socket_framer import ModbusSocketFramer  # noqa: E402

HOST = os.environ["TESMOR_HOST"]
MAKE_CERTS = os.environ["TESMOR_MAKE_CERTS"]
READ_REGISTER_0 = bytes([0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1])


def s_client(port, ca, cert=None, key=None, request=READ_REGISTER_0, timeout=5):
    """What `openssl s_client` receives for `request`; b"" when the server ends the connection."""
    command = ["openssl", "s_client", "-quiet", "-connect", f"127.0.0.1:{port}", "-CAfile", ca,
               "-verify_return_error", "-verify_hostname", "localhost"]
    if cert:
        command += ["-cert", cert, "-key", key]
    client = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        client.stdin.write(request)
        client.stdin.flush()
        reply = b""
        deadline = time.monotonic() + timeout
        while len(reply) < 11 and time.monotonic() < deadline:
            ready, _, _ = select.select([client.stdout], [], [], 0.1)
            if ready:
                chunk = os.read(client.stdout.fileno(), 64)
                if not chunk:
                    break
                reply += chunk
        return reply
    finally:
        client.kill()
        client.communicate()


def tls_master(port, ca, cert, key, write_value=None):
    """Reads holding register 0 (and first writes `write_value` into it) as pymodbus 3.0 does over
    TLS; returns (value or exception code, write result or None)."""
    async def run():
        context = ssl.create_default_context(ssl.Purpose.SERVER_AUTH, cafile=ca)
        context.load_cert_chain(cert, key)
        client = AsyncModbusTlsClient("127.0.0.1", port=port, framer=ModbusSocketFramer, sslctx=context,
                                      server_hostname="localhost", timeout=3, retries=0)
        await client.connect()
        try:
            written = None
            if write_value is not None:
                w = await client.write_register(0, write_value, slave=1)
                written = getattr(w, "exception_code", "ok")
            r = await client.read_holding_registers(0, 1, slave=1)
            return (r.exception_code if r.isError() else r.registers[0]), written
        finally:
            closing = client.close()
            if asyncio.iscoroutine(closing):
                await closing
    return asyncio.run(run())


class Tls(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.TemporaryDirectory()
        for authority in ("trusted", "stranger"):
            subprocess.run([MAKE_CERTS, os.path.join(cls.certs.name, authority)], check=True,
                           stdout=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        cls.certs.cleanup()

    def file(self, name, authority="trusted"):
        return os.path.join(self.certs.name, authority, name)

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.lab = Lab(self.dir.name)
        self.tcp_port, self.tls_port = free_port(), free_port()
        self.host = None

    def tearDown(self):
        if self.host:
            self.host.quit()
        self.dir.cleanup()

    def start(self, **changes):
        settings = {"isTCP": 1, "localPort": self.tcp_port, "TCPId": 1, "isTLS": 1, "tlsPort": self.tls_port,
                    "tlsCertificate": self.file("server.pem"), "tlsKey": self.file("server.key"),
                    "tlsCA": self.file("ca.pem"), "tlsWriteRoles": "operator"}
        settings.update(changes)
        self.lab.write_profile(settings, [])
        self.host = Host(HOST, self.lab)

    def test_handshakes_roles_and_plain_tcp_beside(self):
        self.start()
        ca = self.file("ca.pem")
        self.assertTrue(wait_until(lambda: _listening(self.tls_port)))
        answer = s_client(self.tls_port, ca, self.file("operator.pem"), self.file("operator.key"), timeout=15)
        self.assertEqual(answer, bytes([0, 1, 0, 0, 0, 5, 1, 3, 2, 0, 0]), "a trusted master reads")
        self.assertEqual(s_client(self.tls_port, ca), b"", "no certificate: refused")
        self.assertEqual(s_client(self.tls_port, ca, self.file("operator.pem", "stranger"),
                                  self.file("operator.key", "stranger")), b"", "untrusted authority: refused")

        self.assertEqual(tls_master(self.tls_port, ca, self.file("operator.pem"), self.file("operator.key"),
                                    write_value=4321), (4321, "ok"))
        self.assertEqual(tls_master(self.tls_port, ca, self.file("norole.pem"), self.file("norole.key"),
                                    write_value=1), (4321, 1), "no role: exception 01 on writes, reads go on")
        self.assertEqual(sample_number(self.tcp_port, address=0), 4321, "plain TCP reads the same register")

        self.host.command("stats")
        self.assertRegex(self.host.wait_for("tls masters="),
                         r"^tls masters=0 requests=5 exceptions=1 dropped=0 last=\d{4}-")
        self.assertIn("Modbus TLS: master 127.0.0.1 refused:", self.host.text())

    def test_bad_key_leaves_plain_tcp_running(self):
        self.start(tlsKey=self.file("operator.key"))
        line = self.host.wait_for("Modbus TLS:")
        self.assertIn(self.file("operator.key"), line)
        self.assertIn("not started", line)
        self.assertIsNotNone(wait_until(lambda: sample_number(self.tcp_port) is not None))
        self.assertEqual(s_client(self.tls_port, self.file("ca.pem"), self.file("operator.pem"),
                                  self.file("operator.key")), b"")

    def test_masters_that_keep_their_session_are_served_on_every_reconnect(self):
        self.start(maxMasters=2)
        ca, cert, key = self.file("ca.pem"), self.file("operator.pem"), self.file("operator.key")
        self.assertTrue(wait_until(lambda: _listening(self.tls_port)))
        for version in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
            with self.subTest(version=version.name):
                context = ssl.create_default_context(ssl.Purpose.SERVER_AUTH, cafile=ca)
                context.load_cert_chain(cert, key)
                context.minimum_version = context.maximum_version = version
                session, reused = None, []
                for value in range(1, 5):
                    with context.wrap_socket(_connect(self.tls_port), server_hostname="localhost",
                                             session=session) as master:
                        # Write register 0, as only the operator's role may.
                        master.sendall(bytes([0, 9, 0, 0, 0, 6, 1, 6, 0, 0, 0, value]))
                        self.assertEqual(master.recv(64)[7], 6, "the write role holds")
                        reused.append(master.session_reused)
                        session = master.session
                self.assertEqual(reused, [False, True, True, True])
        # openssl s_client resumes five times after its first handshake.
        out = subprocess.run(["openssl", "s_client", "-connect", f"127.0.0.1:{self.tls_port}", "-CAfile", ca,
                              "-cert", cert, "-key", key, "-reconnect", "-tls1_2"],
                             input=b"", capture_output=True, timeout=30).stdout.decode()
        self.assertEqual(out.count("Reused, TLSv1.2"), 5, out)
        self.assertNotIn("Modbus TLS: master 127.0.0.1 refused", self.host.text())

    def test_quit_with_a_tls_master_connected(self):
        self.start()
        context = ssl.create_default_context(ssl.Purpose.SERVER_AUTH, cafile=self.file("ca.pem"))
        context.load_cert_chain(self.file("operator.pem"), self.file("operator.key"))
        raw = wait_until(lambda: _connect(self.tls_port))
        self.assertTrue(raw)
        with context.wrap_socket(raw, server_hostname="localhost") as master:
            master.sendall(READ_REGISTER_0)
            self.assertEqual(len(master.recv(64)), 11)
            started = time.monotonic()
            self.assertEqual(self.host.quit(), 0)
            self.assertLess(time.monotonic() - started, 5)
            self.host = None
            master.settimeout(5)
            try:
                self.assertEqual(master.recv(64), b"", "the server closed the connection")
            except (ssl.SSLError, ConnectionError):
                pass


def _listening(port):
    connection = _connect(port)
    if connection:
        connection.close()
    return connection is not None


def _connect(port):
    try:
        return socket.create_connection(("127.0.0.1", port), timeout=2)
    except OSError:
        return None


if __name__ == "__main__":
    unittest.main()
