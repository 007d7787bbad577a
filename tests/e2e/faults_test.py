"""End to end: faults around the plug-in in tesmor-host: a profile with values of the wrong type,
the host database deleted, a chromatogram path that is a FIFO. The host must keep running."""
import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from labkit import (AREA, HOLDING, SAMPLE_NUMBER, SERIES, SOURCE_CHROM, SOURCE_PEAK, Host, Lab,  # noqa: E402
                    crc16_umts, free_port, wait_until)

from pymodbus.client import ModbusTcpClient  # noqa: E402
from pymodbus.exceptions import ConnectionException  # noqa: E402

HOST = os.environ["TESMOR_HOST"]
UUID = "0f0f0f0f-1111-2222-3333-444444444444"
METHANE = {"name": "Метан", "channel": 1, "time": 1.5, "area": 321.0, "concentration": 90.0}

ENTRIES = [
    dict(source=SOURCE_CHROM, item=SAMPLE_NUMBER, table=HOLDING, type="INT", address=5),
    dict(source=SOURCE_CHROM, item=SERIES, table=HOLDING, type="INT", address=6),
    dict(source=SOURCE_PEAK, component="метан", item=AREA, table=HOLDING, type="INT", address=7),
    dict(source=SOURCE_PEAK, component="метан", item=AREA, table=HOLDING, type="INT", address=8),
    dict(source=SOURCE_PEAK, component="метан", item=AREA, table=HOLDING, type="INT", address=9),
]


class Faults(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.lab = Lab(self.dir.name)
        self.port = free_port()
        self.host = None
        self.client = ModbusTcpClient("127.0.0.1", port=self.port, timeout=2)

    def tearDown(self):
        self.client.close()
        if self.host:
            self.assertEqual(self.host.quit(), 0, self.host.text())
        self.dir.cleanup()

    def start(self, settings, change_map=None):
        self.lab.write_profile(settings, ENTRIES)
        if change_map:
            with open(self.lab.profile_path, encoding="utf-8") as f:
                profile = json.load(f)
            change_map(profile["plugins"]["tesmor"]["MapSettings"])
            with open(self.lab.profile_path, "w", encoding="utf-8") as f:
                json.dump(profile, f, ensure_ascii=False)
        self.host = Host(HOST, self.lab)

    def publish(self, assay_id):
        self.host.command(f"update {assay_id}")
        self.host.wait_for(f"document update {assay_id} raised")

    def holding(self, address, count=1, unit=1):
        self.assertTrue(wait_until(self.client.connect, timeout=10), "the plug-in does not listen")
        r = self.client.read_holding_registers(address, count, slave=unit)
        self.assertFalse(r.isError(), r)
        return r.registers

    def test_values_of_the_wrong_type_give_the_defaults(self):
        def wrong_types(m):
            m["regType_2"] = 4                # an integer where a text belongs: writes nothing
            m["regDataType_3"] = 1            # likewise
            m["regAddress_4"] = "nine"        # a word where an integer belongs: the map ends here
        # TCPId as a word: the default unit 1 is answered; portName as an integer: the default.
        self.start({"isTCP": 1, "localPort": self.port, "TCPId": "seven", "portName": 3}, wrong_types)
        self.publish(self.lab.add_assay([METHANE], uuid=UUID, date=1700000000))
        self.assertEqual(self.holding(5, 5), [crc16_umts(UUID.encode()), 0, 0, 0, 0])
        self.assertNotIn("Traceback", self.host.text())

    def test_numbers_written_as_text_are_those_numbers(self):
        # As in the host's text profiles: "1" is the flag 1, "7" the unit 7.
        self.start({"isTCP": "1", "localPort": str(self.port), "TCPId": " 7 "})
        self.publish(self.lab.add_assay([METHANE], uuid=UUID))
        self.assertEqual(self.holding(5, unit=7), [crc16_umts(UUID.encode())])

    def test_security_keys_of_the_wrong_type_lock_down(self):
        """Each access or TLS key stored as another type locks what it guards and is logged once."""
        unreadable = 'Settings: "{}" is stored in a form that cannot be read'
        rows = [
            ("writeAccess", "none", unreadable, "no writes"), ("writeAccess", [0], unreadable, "no writes"),
            ("writeAccess", {"any": 0}, unreadable, "no writes"), ("writeAccess", True, unreadable, "no writes"),
            ("isTLS", "on", unreadable, None), ("isTLS", [1], unreadable, None), ("isTLS", {"a": 1}, unreadable, None),
            ("tlsWriteRoles", 5, unreadable, None), ("tlsWriteRoles", ["operator"], unreadable, None),
            ("tlsWriteRoles", {"operator": 1}, unreadable, None),
            ("allowedMasters", 5, '"allowedMasters" holds', "nobody in"),
            ("allowedMasters", ["127.0.0.1"], '"allowedMasters" holds', "nobody in"),
            ("allowedMasters", {"127.0.0.1": 1}, '"allowedMasters" holds', "nobody in"),
            ("bindAddress", 5, '"bindAddress" "5" is not an IPv4 address', "not listening"),
            ("bindAddress", ["127.0.0.1"], 'is not an IPv4 address', "not listening"),
            ("bindAddress", {"lo": "127.0.0.1"}, 'is not an IPv4 address', "not listening"),
        ]
        for key, stored, line, lock in rows:
            with self.subTest(key=key, stored=stored):
                self.port = free_port()
                self.client = ModbusTcpClient("127.0.0.1", port=self.port, timeout=2)
                self.start({"isTCP": 1, "localPort": self.port, key: stored})
                self.assertTrue(wait_until(lambda: line.format(key) in self.host.text(), timeout=5),
                                self.host.text())
                if lock == "no writes":
                    self.assertTrue(wait_until(self.client.connect, timeout=10))
                    self.assertEqual(self.client.write_register(20, 1, slave=1).exception_code, 1)
                elif lock == "nobody in":
                    self.assertTrue(wait_until(self.client.connect, timeout=10))
                    try:
                        refused = self.client.read_holding_registers(0, 1, slave=1).isError()
                    except ConnectionException:  # closed before pymodbus turned it into an error reply
                        refused = True
                    self.assertTrue(refused)
                elif lock == "not listening":
                    self.assertFalse(self.client.connect())
                self.client.close()
                self.assertEqual(self.host.quit(), 0, self.host.text())
                self.assertEqual(self.host.text().count(line.format(key)), 1, self.host.text())
                self.host = None

    def test_deleted_database_leaves_registers_and_host_alone(self):
        self.start({"isTCP": 1, "localPort": self.port, "TCPId": 1})
        first = self.lab.add_assay([METHANE], uuid=UUID)
        self.publish(first)
        before = self.holding(5, 5)
        os.remove(self.lab.db_path)
        self.publish(first)
        self.assertIn(f"assay {first} not published: database error", self.host.text())
        self.assertEqual(self.holding(5, 5), before)
        self.assertIsNone(self.host.process.poll())

    def test_fifo_as_chromatogram_does_not_hang_the_host(self):
        self.start({"isTCP": 1, "localPort": self.port, "TCPId": 1})
        fifo = os.path.join(self.dir.name, "pipe.chr")
        os.mkfifo(fifo)
        self.publish(self.lab.add_assay([METHANE], uuid=UUID, filename=fifo))
        self.assertTrue(wait_until(lambda: self.holding(5, 2) == [crc16_umts(UUID.encode()), 0], timeout=5),
                        self.host.text())
        self.host.command("update 999")
        self.host.wait_for("document update 999 raised", timeout=5)


if __name__ == "__main__":
    unittest.main()
