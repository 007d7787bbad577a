"""The analysis record through tesmor-host and real masters: each master's new-data flag and
acknowledge, and a sequence that survives the host being killed."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from labkit import (AREA, HOLDING, SOURCE_PEAK, Host, Lab, free_port, wait_until)  # noqa: E402
from pymodbus.client import ModbusTcpClient  # noqa: E402

HOST = os.environ["TESMOR_HOST"]
BLOCK = 480
METHANE = {"name": "Метан", "channel": 1, "time": 1.5, "area": 1234.0, "concentration": 93.4}


class Record(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.lab = Lab(self.dir.name)
        self.port = free_port()
        self.state = os.path.join(self.dir.name, "state", "analyses.sqlite")
        self.settings = {"isTCP": 1, "localPort": self.port, "maxMasters": 4, "recordAddress": BLOCK,
                         "historyDepth": 100, "stateFile": self.state}
        self.lab.write_profile(self.settings, [dict(source=SOURCE_PEAK, component="метан", item=AREA,
                                                    table=HOLDING, type="INT", address=0)])
        self.host = Host(HOST, self.lab)
        self.masters = []

    def tearDown(self):
        for m in self.masters:
            m.close()
        self.host.quit()
        self.dir.cleanup()

    def master(self, source):
        m = ModbusTcpClient("127.0.0.1", port=self.port, timeout=2, source_address=(source, 0))
        self.assertTrue(wait_until(m.connect, timeout=10), f"no connection from {source}")
        self.masters.append(m)
        return m

    def block(self, m):
        r = m.read_holding_registers(BLOCK, 16, slave=1)
        self.assertFalse(r.isError(), r)
        return r.registers

    def publish(self, area):
        assay = self.lab.add_assay([dict(METHANE, area=area)], date=1720000000, uuid=f"u{area}",
                                   filename="", method="", mixture="", iscalibration=0)
        self.host.command(f"update {assay}")
        self.host.wait_for(f"document update {assay} raised")
        return assay

    def test_each_master_acknowledges_only_its_own(self):
        a, b = self.master("127.0.0.1"), self.master("127.0.0.2")
        self.assertEqual(self.block(a)[0:2], [0, 0])
        assay = self.publish(10)
        block = self.block(a)
        self.assertEqual(block[0:2], [0, 1])
        self.assertEqual(block[2] & 1, 1, "published")
        self.assertEqual(block[4:6], [assay >> 16, assay & 0xFFFF])
        self.assertEqual(self.block(a)[6], 1)
        self.assertEqual(self.block(b)[6], 1)
        self.assertFalse(a.write_registers(BLOCK + 7, [0, 1], slave=1).isError())
        self.assertEqual(self.block(a)[6], 0)
        self.assertEqual(self.block(b)[6], 1, "the other master's flag stays")
        r = b.write_registers(BLOCK + 7, [0, 2], slave=1)
        self.assertTrue(r.isError())
        self.assertEqual(r.exception_code, 3, "above the latest")
        self.assertEqual(self.block(b)[11:14], [0, 1, 1], "one analysis held")

    def test_the_sequence_survives_a_killed_host(self):
        a = self.master("127.0.0.1")
        for area in (1, 2, 3):
            self.publish(area)
        self.assertEqual(self.block(a)[0:2], [0, 3])
        a.close()
        self.masters.clear()
        self.host.process.kill()
        self.host.process.wait()
        self.host.quit()
        self.host = Host(HOST, self.lab)
        a = self.master("127.0.0.1")
        self.assertEqual(self.block(a)[0:2], [0, 3], "the latest number read back from the state file")
        self.publish(4)
        self.assertEqual(self.block(a)[0:2], [0, 4], "no number lost or reused")
        self.assertEqual(self.block(a)[11:14], [0, 1, 4])


if __name__ == "__main__":
    unittest.main(verbosity=2)
