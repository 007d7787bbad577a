"""The commands and worked examples of README.md and docs/, run as a reader would run them, so
that they cannot go stale. Ports, device names and folders are the only things changed: the
documented ports 1502 and 8802 become free ones, the serial device a pseudo-terminal, the master's
address 127.0.0.1, the certificates' folder a temporary one."""
import json
import os
import re
import shlex
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import types
import unittest
from ast import literal_eval

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from labkit import Host, crc16_umts, free_port, sample_number, wait_until  # noqa: E402

SOURCE = os.environ["TESMOR_SOURCE"]
BUILD = os.environ["TESMOR_BUILD"]
HOST = os.path.join(BUILD, "bin", "tesmor-host")
PYTHON = "/usr/bin/python3"  # Debian's, which has pymodbus


def read(name):
    with open(os.path.join(SOURCE, name), encoding="utf-8") as f:
        return f.read()


def indented_commands(text, program):
    """Commands in indented code blocks that start with the program's name, comments removed."""
    return [line.strip().split("  #")[0].strip() for line in text.splitlines()
            if line.startswith("    ") and line.strip().startswith(program + " ")]


def fenced(text, language):
    return re.findall(r"```" + language + r"\n(.*?)```", text, re.S)


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, timeout=60, **kwargs)


def values_read(output):
    """mbpoll's "[address]: value" lines."""
    return re.findall(r"^\[(\d+)\]:\s+(\S+)", output, re.M)


class SerialPair:
    """Two linked pseudo-terminals from socat: the slave opens one end, the master the other."""

    def __init__(self, folder):
        self.slave, self.master = os.path.join(folder, "slave"), os.path.join(folder, "master")
        self.process = subprocess.Popen(["socat", f"pty,raw,echo=0,link={self.slave}",
                                         f"pty,raw,echo=0,link={self.master}"])
        if not wait_until(lambda: os.path.exists(self.slave) and os.path.exists(self.master), timeout=10):
            raise AssertionError("socat made no pseudo-terminal pair")

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)


def listening(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


class UserGuideAgainstTheDemo(unittest.TestCase):
    """The demo lab, with its RTU slave switched on, read with the guide's and the demo's commands."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.port, cls.tls_port = free_port(), free_port()
        cls.guide = read("docs/user-guide.md")
        cls.certs = os.path.join(cls.folder.name, "certs")
        made = run([os.path.join(SOURCE, "tools", "make-certs.sh"), cls.certs])
        if made.returncode != 0:
            raise AssertionError("make-certs.sh failed:\n" + made.stderr)
        lab = os.path.join(cls.folder.name, "demo")
        paths = types.SimpleNamespace(profile_path=os.path.join(lab, "profile.json"),
                                      db_path=os.path.join(lab, "lab.db"))
        demo = ["--demo", lab, "--port", str(cls.port)]
        # A first run creates the lab; the RTU slave is then switched on as the settings dialog would.
        Host(HOST, paths, demo).quit()
        with open(paths.profile_path, encoding="utf-8") as f:
            profile = json.load(f)
        cls.serial = SerialPair(cls.folder.name)
        profile["plugins"]["tesmor"]["Settings"].update({"isRTU": 1, "portName": cls.serial.slave})
        # The TLS server as the guide's example profile sets it up.
        (tls,) = [block for block in fenced(cls.guide, "json") if '"isTLS"' in block]
        profile["plugins"]["tesmor"]["Settings"].update(json.loads(cls.tls_local(tls))["plugins"]["tesmor"]["Settings"])
        with open(paths.profile_path, "w", encoding="utf-8") as f:
            json.dump(profile, f, ensure_ascii=False, indent=2)
        cls.host = Host(HOST, paths, demo)
        # The first analysis of a run arrives within ten seconds.
        if not wait_until(lambda: sample_number(cls.port), timeout=25, step=0.5):
            raise AssertionError("the demo published no analysis:\n" + cls.host.text())

    @classmethod
    def tearDownClass(cls):
        cls.host.quit()
        cls.serial.close()
        cls.folder.cleanup()

    def local(self, command):
        command = command.replace("-p 1502 ", f"-p {self.port} ").replace("/dev/ttyUSB0", self.serial.master)
        return shlex.split(command)

    @classmethod
    def tls_local(cls, text):
        return (text.replace("/tmp/tesmor-certs", cls.certs).replace(":8802", f":{cls.tls_port}")
                .replace("port=8802", f"port={cls.tls_port}").replace('"tlsPort": 8802', f'"tlsPort": {cls.tls_port}'))

    def check_reads(self, commands):
        self.assertTrue(commands)
        for command in commands:
            with self.subTest(command=command):
                out = run(self.local(command))
                self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
                count = int(re.search(r"-c (\d+)", command).group(1))
                self.assertEqual(len(values_read(out.stdout)), count, out.stdout)

    def test_the_guides_mbpoll_commands_read_tcp_and_rtu(self):
        commands = indented_commands(self.guide, "mbpoll")
        self.assertTrue(any("-m rtu" in c for c in commands) and any("-m tcp" in c for c in commands))
        self.check_reads(commands)

    def test_the_demos_printed_commands_read_what_they_say(self):
        printed = indented_commands(self.host.text(), "mbpoll")
        self.assertGreaterEqual(len(printed), 5, self.host.text())
        self.check_reads(printed)

    def test_the_guides_pymodbus_example_reads_the_float_mbpoll_reads(self):
        # The float example; the troubleshooting section has another one for the counters.
        example = next(block for block in fenced(self.guide, "python") if "struct" in block)
        example = example.replace('"192.168.0.10"', '"127.0.0.1"').replace("port=502", f"port={self.port}")
        big_endian = self.local(next(c for c in indented_commands(self.guide, "mbpoll") if "4:float -B" in c))
        # An analysis may arrive between the two reads: then read both again.
        for _ in range(3):
            before = sample_number(self.port)
            python = run([PYTHON, "-c", example])
            self.assertEqual(python.returncode, 0, python.stderr)
            mbpoll = run(big_endian)
            if before == sample_number(self.port):
                break
        self.assertAlmostEqual(float(python.stdout), float(values_read(mbpoll.stdout)[0][1]), places=3)
        self.assertTrue(85 < float(python.stdout) < 99, "methane, in percent")

    def test_the_guides_tls_example_reads_what_plain_tcp_reads(self):
        self.assertTrue(wait_until(lambda: listening(self.tls_port), timeout=10), self.host.text())
        example = self.tls_local(next(b for b in fenced(self.guide, "python") if "AsyncModbusTlsClient" in b))
        plain = self.local(next(c for c in indented_commands(self.guide, "mbpoll") if "-r 0 -c 7 " in c))
        for _ in range(3):
            before = sample_number(self.port)
            python = run([PYTHON, "-c", example])
            mbpoll = run(plain)
            if before == sample_number(self.port):
                break
        self.assertEqual(python.returncode, 0, python.stdout + python.stderr)
        self.assertEqual(literal_eval(python.stdout.strip()), [int(v) for _, v in values_read(mbpoll.stdout)])

    def test_the_guides_certificate_commands_make_a_master_the_server_accepts(self):
        self.assertTrue(wait_until(lambda: listening(self.tls_port), timeout=10), self.host.text())
        commands = indented_commands(self.guide, "openssl")
        (handshake,) = [c for c in commands if c.startswith("openssl s_client ")]

        def s_client(certificate, key):
            command = self.tls_local(handshake).replace(" </dev/null", "")
            command = command.replace(f"{self.certs}/operator.pem", certificate).replace(f"{self.certs}/operator.key", key)
            return run(shlex.split(command), stdin=subprocess.DEVNULL)

        out = s_client(f"{self.certs}/operator.pem", f"{self.certs}/operator.key")
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertIn("Verification: OK", out.stdout + out.stderr)
        # The plant's authority is the test authority here, so the server trusts what it issues.
        with tempfile.TemporaryDirectory() as folder:
            shutil.copy(os.path.join(self.certs, "ca.pem"), os.path.join(folder, "plant-ca.pem"))
            shutil.copy(os.path.join(self.certs, "ca.key"), os.path.join(folder, "plant-ca.key"))
            (config,) = fenced(self.guide, "ini")
            with open(os.path.join(folder, "tesmor-tls.cnf"), "w", encoding="utf-8") as f:
                f.write(config)
            issuing = [c for c in commands if c != handshake]
            self.assertIn("-text", issuing[-1], "the last command shows the issued certificate")
            for command in issuing:
                out = run(shlex.split(command), cwd=folder)
                self.assertEqual(out.returncode, 0, command + "\n" + out.stderr)
            self.assertRegex(out.stdout, r"1\.3\.6\.1\.4\.1\.50316\.802\.1: *\n *\.\.operator\n")
            der = subprocess.run(["openssl", "x509", "-in", os.path.join(folder, "scada1.pem"), "-outform", "DER"],
                                 capture_output=True, check=True).stdout
            self.assertTrue(b"\x0c\x08operator" in der, "the role as an ASN.1 UTF8String")
            out = s_client(os.path.join(folder, "scada1.pem"), os.path.join(folder, "scada1.key"))
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)


class WorkedExamples(unittest.TestCase):
    def test_the_float_byte_order_table(self):
        guide = read("docs/user-guide.md")
        orders = {"Big-endian": "ABCD", "Little-endian": "DCBA", "Big-endian byte swap": "BADC",
                  "Little-endian byte swap": "CDAB"}
        header = re.search(r"^\| byte order \| registers \| (\S+) \((.*?)\) \| (\S+) \((.*?)\) \|$", guide, re.M)
        examples = [(float(header.group(1)), header.group(2)), (float(header.group(3)), header.group(4))]
        for value, bytes_text in examples:
            self.assertEqual(struct.pack(">f", value).hex(" ").upper(), bytes_text)
        for name, order in orders.items():
            with self.subTest(order=name):
                row = re.search(r"^\| " + re.escape(name) + r" \| [^|]+\| ([0-9A-F ]+) \| ([0-9A-F ]+) \|$", guide, re.M)
                self.assertTrue(row, name)
                for (value, _), documented in zip(examples, row.groups()):
                    abcd = struct.pack(">f", value)
                    arranged = bytes(abcd["ABCD".index(letter)] for letter in order)
                    self.assertEqual(f"{arranged[:2].hex().upper()} {arranged[2:].hex().upper()}", documented)

    def test_the_sample_number_examples(self):
        guide = read("docs/user-guide.md")
        uuid, number, hexadecimal = re.search(r"UUID `([0-9a-f-]{36})` gives (\d+) \(0x([0-9A-F]+)\)", guide).groups()
        self.assertEqual(crc16_umts(uuid.encode()), int(number))
        self.assertEqual(int(number), int(hexadecimal, 16))
        check = re.search(r"`123456789` → 0x([0-9A-F]+)", guide).group(1)
        self.assertEqual(crc16_umts(b"123456789"), int(check, 16))


class ProfileKeys(unittest.TestCase):
    def test_every_documented_key_is_one_the_plug_in_uses(self):
        page = read("docs/profile-keys.md")
        keys = re.findall(r"^\| `([A-Za-z_]+)(?:%d)?` \|", page, re.M)
        self.assertGreaterEqual(len(keys), 20)
        code = ""
        for folder in ("modbus", "results", "shell", "ui"):
            for root, _, files in os.walk(os.path.join(SOURCE, folder)):
                for name in files:
                    if name.endswith((".cpp", ".h")):
                        with open(os.path.join(root, name), encoding="utf-8") as f:
                            code += f.read()
        for key in keys:
            with self.subTest(key=key):
                self.assertIn(f'"{key}', code)

    def test_the_example_profile_starts_the_tcp_server(self):
        (example,) = fenced(read("docs/profile-keys.md"), "json")
        port = free_port()
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "profile.json"), "w", encoding="utf-8") as f:
                f.write(example.replace("1502", str(port)))
            paths = types.SimpleNamespace(profile_path=os.path.join(folder, "profile.json"),
                                          db_path=os.path.join(folder, "lab.db"))
            host = Host(HOST, paths)
            try:
                self.assertTrue(wait_until(lambda: listening(port), timeout=10), host.text())
                out = run(["mbpoll", "-m", "tcp", "-p", str(port), "-a", "1", "-0", "-1", "-t", "4", "-r", "0",
                           "-c", "3", "127.0.0.1"])
                self.assertEqual(out.returncode, 0, out.stdout)
            finally:
                self.assertEqual(host.quit(), 0)


class Readme(unittest.TestCase):
    def setUp(self):
        self.readme = read("README.md")

    def test_the_stand_in_host_command(self):
        (command,) = indented_commands(self.readme, "./build/bin/tesmor-host")
        with tempfile.TemporaryDirectory() as folder:
            args = shlex.split(command.replace("/tmp/lab", folder).replace("./build", BUILD))
            out = subprocess.run(args, input="profile\nquit\n", capture_output=True, text=True, timeout=30)
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
            self.assertIn('menu item "Data/Calculations/Velmar: Modbus"', out.stdout)
            self.assertIn("trace: ", out.stderr)

    def test_installing_under_a_prefix(self):
        self.assertIn("cmake --install build", self.readme)
        with tempfile.TemporaryDirectory() as prefix:
            out = run(["cmake", "--install", BUILD, "--prefix", prefix])
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
            version = run([os.path.join(prefix, "bin", "tesmor-host"), "--version"])
            self.assertEqual(version.returncode, 0, version.stderr)
            self.assertRegex(version.stdout, r"plug-in .*/tesmor/tesmor\.so: ")
            chrom = run([os.path.join(prefix, "bin", "tesmor-chrom"), "--help"])
            self.assertEqual(chrom.returncode, 0, chrom.stderr)
            self.assertTrue(os.path.exists(os.path.join(prefix, "share", "doc", "tesmor", "user-guide.md")))

    def test_the_screenshot_commands(self):
        env = {**os.environ, "QT_QPA_PLATFORM": "offscreen"}
        with tempfile.TemporaryDirectory() as folder:
            for program in ("tesmor-screenshots", "ui_dialog_screenshots"):
                self.assertIn(f"./build/bin/{program}", self.readme + read("tools/screenshots.sh"))
                out = run([os.path.join(BUILD, "bin", program), folder], env=env)
                self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
            made = {name for name in os.listdir(folder) if name.endswith(".png")}
            documented = set(re.findall(r"screenshots/([\w-]+\.png)", read("docs/user-guide.md")))
            self.assertTrue(documented)
            self.assertLessEqual(documented, made)
            self.assertTrue({n.replace("-ru.", "-en.") for n in documented} <= made, sorted(made))


class PerformanceReport(unittest.TestCase):
    def test_the_benchmark_commands_name_benchmarks_that_exist(self):
        page = read("docs/performance.md")
        commands = [c for c in (line.strip() for line in page.splitlines() if line.startswith("    "))
                    if "build/bin/bench_" in c]
        self.assertGreaterEqual(len(commands), 4)
        for command in commands:
            with self.subTest(command=command):
                args = shlex.split(command)
                if args[0] == "taskset":
                    args = args[3:]
                args[0] = os.path.join(BUILD, "bin", os.path.basename(args[0]))
                if not os.path.exists(args[0]):
                    self.skipTest("benchmarks not built (TESMOR_BUILD_BENCH=OFF)")
                out = run(args + ["--benchmark_list_tests"])
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertTrue(out.stdout.strip(), "the filter matches no benchmark")


if __name__ == "__main__":
    unittest.main(verbosity=2)
