"""End to end: a lab database and chromatogram files, tesmor-host with the plug-in, real masters.

Every expected register value is computed here, independently of the plug-in.
"""
import math
import os
import sqlite3
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from labkit import (AREA, COILS, CONCENTRATION, HOLDING, INPUT_REGS, INPUTS, LAST_ERROR, MODE,  # noqa: E402
                    RETENTION, SAMPLE_NUMBER, SAMPLE_TIME, SERIES, SOURCE_CHROM, SOURCE_DEVICE, SOURCE_PEAK,
                    Host, Lab, crc16_umts, free_port, wait_until)

from pymodbus.client import ModbusTcpClient  # noqa: E402

HOST = os.environ["TESMOR_HOST"]
CHROM = os.environ["TESMOR_CHROM"]
# A fixed POSIX zone with summer time, so no zoneinfo files are needed.
ZONE = "EST5EDT,M3.2.0,M11.1.0"
SUMMER_DATE = 1720000000  # 2024-07-03 09:46:40 UTC, summer time in ZONE


def local_fields(seconds):
    os.environ["TZ"] = ZONE
    time.tzset()
    t = time.localtime(seconds)
    return [t.tm_mday, t.tm_mon, t.tm_year, t.tm_hour, t.tm_min]


def float_registers(value, order):
    a, b, c, d = struct.pack(">f", value)
    arrangement = {"Big-endian": (a, b, c, d), "Little-endian": (d, c, b, a),
                   "Big-endian byte swap": (b, a, d, c), "Little-endian byte swap": (c, d, a, b)}[order]
    w = arrangement
    return [(w[0] << 8) | w[1], (w[2] << 8) | w[3]]


def rounded_low16(value):
    r = math.floor(abs(value) + 0.5) * (1 if value >= 0 else -1)
    return int(r) & 0xFFFF


def single(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


UUID = "123e4567-e89b-12d3-a456-426614174000"
METHANE = {"name": "МЕТАН", "channel": 1, "time": 1.5, "area": 12345.678, "concentration": 93.456}
ETHANE = {"name": "Этан", "channel": 1, "time": 2.7, "area": 2.5, "concentration": 0.0}
NITROGEN = {"name": "N2", "channel": 2, "time": 0.9, "area": -2.5, "concentration": 1.25}

ORDERS = ["Big-endian", "Little-endian", "Big-endian byte swap", "Little-endian byte swap"]


def entries():
    e = [
        dict(source=SOURCE_CHROM, item=SAMPLE_TIME, table=HOLDING, type="INT", address=0),
        dict(source=SOURCE_CHROM, item=SAMPLE_NUMBER, table=HOLDING, type="INT", address=5),
        dict(source=SOURCE_CHROM, item=SERIES, table=HOLDING, type="INT", address=6),
        dict(source=SOURCE_PEAK, component="метан", item=AREA, table=HOLDING, type="INT", address=18),
        dict(source=SOURCE_PEAK, component="метан", item=RETENTION, table=HOLDING, type="BOOL", address=19),
        dict(source=SOURCE_PEAK, component="Этан", item=CONCENTRATION, table=HOLDING, type="BOOL", address=20),
        dict(source=SOURCE_PEAK, component="Этан", item=AREA, table=HOLDING, type="INT", address=21),
        dict(source=SOURCE_PEAK, component="n2", item=AREA, table=HOLDING, type="INT", address=22),
        dict(source=SOURCE_PEAK, component="n2", item=RETENTION, table=HOLDING, type="FLOAT",
             order="Big-endian", address=23),
        dict(source=SOURCE_CHROM, item=SAMPLE_TIME, table=INPUT_REGS, type="INT", address=0),
        dict(source=SOURCE_PEAK, component="МЕТАН", item=AREA, table=INPUT_REGS, type="FLOAT",
             order="Little-endian", address=5),
        dict(source=SOURCE_CHROM, item=SAMPLE_NUMBER, table=INPUT_REGS, type="INT", address=7),
        dict(source=SOURCE_PEAK, component="метан", item=CONCENTRATION, table=COILS, type="BOOL", address=0),
        dict(source=SOURCE_PEAK, component="этан", item=CONCENTRATION, table=COILS, type="INT", address=1),
        dict(source=SOURCE_PEAK, component="метан", item=RETENTION, table=INPUTS, type="FLOAT", address=3),
        dict(source=SOURCE_DEVICE, device="GC-1", item=MODE, table=HOLDING, type="INT", address=40),
        dict(source=SOURCE_DEVICE, device="GC-1", item=LAST_ERROR, table=INPUT_REGS, type="INT", address=40),
        # Combinations that write nothing: their registers keep what a master put there.
        dict(source=SOURCE_CHROM, item=SAMPLE_NUMBER, table=HOLDING, type="FLOAT", order="Big-endian", address=30),
        dict(source=SOURCE_CHROM, item=SAMPLE_TIME, table=COILS, type="INT", address=30),
        dict(source=SOURCE_PEAK, component="метан", item=AREA, table=HOLDING, type="FLOAT", order="middle",
             address=32),
        dict(source=SOURCE_PEAK, component="метан", item=AREA, table=HOLDING, type="FLOAT",
             order="Big-endian", address=499),
    ]
    for i, order in enumerate(ORDERS):
        e.append(dict(source=SOURCE_PEAK, component="Метан", item=CONCENTRATION, table=HOLDING, type="FLOAT",
                      order=order, address=10 + 2 * i))
    return e


class Publishing(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.lab = Lab(self.dir.name)
        self.port = free_port()
        self.chromatogram = os.path.join(self.dir.name, "a.chr")
        subprocess.run([CHROM, "synth", self.chromatogram, "--samples", "300", "--numinseria", "12"], check=True,
                       stdout=subprocess.DEVNULL)
        devices = os.path.join(self.dir.name, "devices.json")
        with open(devices, "w") as f:
            f.write('[{"name": "GC-1", "mode": 3, "lastError": -1}]')
        self.settings = {"isTCP": 1, "localPort": self.port, "TCPId": 1}
        self.lab.write_profile(self.settings, entries())
        self.host = Host(HOST, self.lab, ["--devices", devices], env={"TZ": ZONE})
        self.client = ModbusTcpClient("127.0.0.1", port=self.port, timeout=2)
        self.assertTrue(wait_until(self.client.connect, timeout=10), "the plug-in does not listen")

    def tearDown(self):
        self.client.close()
        self.assertEqual(self.host.quit(), 0)
        self.dir.cleanup()

    def restart_host(self, extra=(), filters=None):
        self.client.close()
        self.assertEqual(self.host.quit(), 0)
        self.lab.write_profile(self.settings, entries(), filters=filters)
        self.host = Host(HOST, self.lab, extra, env={"TZ": ZONE})
        self.assertTrue(wait_until(self.client.connect, timeout=10))

    def holding(self, address, count=1):
        r = self.client.read_holding_registers(address, count, slave=1)
        self.assertFalse(r.isError(), r)
        return r.registers

    def inputs(self, address, count=1):
        r = self.client.read_input_registers(address, count, slave=1)
        self.assertFalse(r.isError(), r)
        return r.registers

    def publish(self, assay_id):
        self.host.command(f"update {assay_id}")
        self.host.wait_for(f"document update {assay_id} raised")

    def add_gas_assay(self, **row):
        values = dict(date=SUMMER_DATE, uuid=UUID, filename=self.chromatogram, method="Природный газ",
                      mixture="", iscalibration=0)
        values.update(row)
        return self.lab.add_assay([METHANE, ETHANE, NITROGEN], **values)

    def test_every_item_lands_where_the_map_says(self):
        self.client.write_register(30, 0xBEEF, slave=1)
        self.client.write_register(32, 0x1234, slave=1)
        self.client.write_coil(30, True, slave=1)
        self.publish(self.add_gas_assay())

        when = local_fields(SUMMER_DATE)
        self.assertEqual(when[3], 5, "summer time applies")  # 09:46 UTC is 05:46 EDT
        self.assertEqual(self.holding(0, 5), when)
        self.assertEqual(self.inputs(0, 5), when)
        self.assertEqual(self.holding(5), [crc16_umts(UUID.encode())])
        self.assertEqual(self.inputs(7), [crc16_umts(UUID.encode())])
        self.assertEqual(self.holding(6), [12])
        for i, order in enumerate(ORDERS):
            self.assertEqual(self.holding(10 + 2 * i, 2), float_registers(METHANE["concentration"], order), order)
        self.assertEqual(self.holding(18), [rounded_low16(single(METHANE["area"]))])
        self.assertEqual(self.holding(19, 3), [1, 0, 3])
        self.assertEqual(self.holding(22), [rounded_low16(-2.5)])
        self.assertEqual(self.holding(23, 2), float_registers(NITROGEN["time"], "Big-endian"))
        self.assertEqual(self.inputs(5, 2), float_registers(METHANE["area"], "Little-endian"))
        self.assertEqual(self.client.read_coils(0, 2, slave=1).bits[:2], [True, False])
        self.assertEqual(self.client.read_discrete_inputs(3, 1, slave=1).bits[0], True)
        # The device monitor's values.
        self.assertEqual(wait_until(lambda: self.holding(40) == [3]), True)
        self.assertEqual(wait_until(lambda: self.inputs(40) == [65535]), True)
        # Nothing written where nothing applies.
        self.assertEqual(self.holding(30), [0xBEEF])
        self.assertEqual(self.holding(32), [0x1234])
        self.assertEqual(self.client.read_coils(30, 1, slave=1).bits[0], True)
        self.assertEqual(self.holding(498, 2), [0, 0])

    def image(self):
        return (self.holding(0, 60), self.inputs(0, 60), self.client.read_coils(0, 8, slave=1).bits[:8],
                self.client.read_discrete_inputs(0, 8, slave=1).bits[:8])

    def test_a_map_saved_in_russian_publishes_the_same_in_english(self):
        assay = self.add_gas_assay()
        self.publish(assay)
        self.assertTrue(wait_until(lambda: self.holding(40) == [3]))
        russian = self.image()
        self.restart_host(["--devices", os.path.join(self.dir.name, "devices.json"), "--language", "1033"])
        self.publish(assay)
        self.assertTrue(wait_until(lambda: self.holding(40) == [3]))
        self.assertEqual(self.image(), russian)

    def test_rejected_and_invisible_assays_change_nothing(self):
        self.restart_host(filters={"method_0": "Природный газ", "chrmType": -1})
        self.publish(self.add_gas_assay())
        before = self.holding(0, 40)
        self.assertNotEqual(before, [0] * 40)
        other = self.add_gas_assay(uuid="ffffffff-0000-0000-0000-000000000000", method="Воздух")
        self.publish(other)
        self.assertEqual(self.host.text().count("Метод хроматограммы не соответствует заданным фильтрам!"), 1)
        hidden = self.add_gas_assay(uuid="eeeeeeee-0000-0000-0000-000000000000", ishidden=1)
        self.publish(hidden)
        self.assertIn(f"assay {hidden} is not visible", self.host.text())
        self.assertEqual(self.holding(0, 40), before)

    def test_unreadable_file_counts_as_analysis_with_series_zero(self):
        self.restart_host(filters={"chrmType": 0})
        self.publish(self.add_gas_assay(filename=os.path.join(self.dir.name, "missing.chr"), iscalibration=1))
        self.assertEqual(self.holding(6), [0])
        self.assertEqual(self.holding(5), [crc16_umts(UUID.encode())])

    def test_locked_database_leaves_registers_and_host_alone(self):
        first = self.add_gas_assay()
        self.publish(first)
        before = self.holding(0, 40)
        second = self.add_gas_assay(uuid="dddddddd-0000-0000-0000-000000000000")
        locker = sqlite3.connect(self.lab.db_path, isolation_level=None)
        locker.execute("BEGIN EXCLUSIVE")
        self.publish(second)
        self.assertIn(f"assay {second} not published: database error 5", self.host.text())
        self.assertEqual(self.holding(0, 40), before)
        locker.execute("ROLLBACK")
        locker.close()
        self.publish(second)
        self.assertEqual(self.holding(5), [crc16_umts(b"dddddddd-0000-0000-0000-000000000000")])
        self.assertIsNone(self.host.process.poll())

    def test_unit_id_two_gets_no_answer(self):
        self.publish(self.add_gas_assay())
        r = self.client.read_holding_registers(5, 1, slave=2)
        self.assertTrue(r.isError(), "a request for unit 2 must not be answered")

    def test_mbpoll_reads_the_published_sample_number(self):
        self.publish(self.add_gas_assay())
        self.client.close()  # one master at a time
        expected = crc16_umts(UUID.encode())
        signed = expected - 65536 if expected > 32767 else expected
        # The server opens its listening socket anew after a master leaves; a master that connects
        # in that moment is dropped and tries again, as a real one would.
        for _ in range(10):
            out = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(self.port), "-a", "1", "-t", "4", "-r", "6",
                                  "-c", "1", "-1", "127.0.0.1"], capture_output=True, text=True, timeout=20)
            if out.returncode == 0:
                break
            time.sleep(0.3)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertIn(f"[6]: \t{signed}", out.stdout)

    def test_watch_publishes_new_assays(self):
        self.restart_host(extra=["--watch"])
        uuid = "00000000-1111-2222-3333-444444444444"
        self.add_gas_assay(uuid=uuid)
        self.assertTrue(wait_until(lambda: self.holding(5) == [crc16_umts(uuid.encode())], timeout=10),
                        "".join(self.host.output))


if __name__ == "__main__":
    unittest.main(verbosity=2)
