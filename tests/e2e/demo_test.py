"""The demo lab, headless and bounded in time: mbpoll reads a new sample number after the next analysis,
also while another master stays connected."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from labkit import free_port, sample_number, wait_until  # noqa: E402
from pymodbus.client import ModbusTcpClient  # noqa: E402

HOST = os.environ["TESMOR_HOST"]


def mbpoll(port, *args):
    out = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(port), "-a", "1", "-0", "-1", *args, "127.0.0.1"],
                         capture_output=True, text=True, timeout=20)
    return out.returncode, out.stdout


class Demo(unittest.TestCase):
    def test_a_new_analysis_reaches_the_master(self):
        with tempfile.TemporaryDirectory() as folder:
            port = free_port()
            lab = os.path.join(folder, "lab")
            host = subprocess.Popen([HOST, "--demo", lab, "--port", str(port), "--headless"], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            try:
                first = host.stdout.readline()
                self.assertIn("Read what the demo publishes", first, "the mbpoll commands come first")
                # The first analysis of the run arrives within ten seconds of the start.
                before = wait_until(lambda: sample_number(port), timeout=25, step=0.5)
                self.assertTrue(before, "no sample number published")
                after = wait_until(lambda: (n := sample_number(port)) and n != before and n, timeout=25, step=0.5)
                self.assertTrue(after, "no new sample number after the next analysis")
                # The demo serves several masters: mbpoll is answered while another one stays connected.
                other = ModbusTcpClient("127.0.0.1", port=port, timeout=2)
                self.assertTrue(other.connect())
                try:
                    self.assertFalse(other.read_holding_registers(0, 7, slave=1).isError())
                    code, out = mbpoll(port, "-t", "4:float", "-B", "-r", "10", "-c", "1")
                    self.assertFalse(other.read_holding_registers(0, 7, slave=1).isError())
                finally:
                    other.close()
                self.assertEqual(code, 0, out)
                methane = float(re.search(r"\[10\]:\s+([\d.]+)", out).group(1))
                self.assertTrue(85 < methane < 99, out)
            finally:
                host.communicate("quit\n", timeout=15)
            self.assertEqual(host.returncode, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
