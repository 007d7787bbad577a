"""End to end: a master commissioning the link through tesmor-host: pymodbus's device
identification, server id and diagnostics requests and raw frames over TCP and over a socat pty
pair, the `stats` command and the frame trace."""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from labkit import Host, Lab, free_port, wait_until  # noqa: E402

from pymodbus.client import ModbusSerialClient, ModbusTcpClient  # noqa: E402
from pymodbus.diag_message import (ClearCountersRequest, ReturnBusExceptionErrorCountRequest,  # noqa: E402
                                   ReturnQueryDataRequest, ReturnSlaveMessageCountRequest)
from pymodbus.mei_message import ReadDeviceInformationRequest  # noqa: E402
from pymodbus.other_message import ReportSlaveIdRequest  # noqa: E402

HOST = os.environ["TESMOR_HOST"]


def crc(frame: bytes) -> bytes:
    value = 0xFFFF
    for b in frame:
        value ^= b
        for _ in range(8):
            value = (value >> 1) ^ 0xA001 if value & 1 else value >> 1
    return frame + bytes([value & 0xFF, value >> 8])


def host_version():
    out = subprocess.run([HOST, "--version"], capture_output=True, text=True, timeout=20).stdout
    return re.search(r"Modbus (\d+\.\d+\.\d+\.\d+)", out).group(1)


def host_release():
    out = subprocess.run([HOST, "--version"], capture_output=True, text=True, timeout=20).stdout
    return re.search(r"^tesmor-host (\S+)$", out, re.M).group(1)


class Diagnostics(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.lab = Lab(self.dir.name)
        self.port = free_port()
        self.socat = None
        self.host = None

    def tearDown(self):
        if self.host:
            self.assertEqual(self.host.quit(), 0, self.host.text())
        if self.socat:
            self.socat.terminate()
            self.socat.wait()
        self.dir.cleanup()

    def test_the_host_and_the_plug_in_name_one_release(self):
        # The plug-in's version is the release, not the host interface's word (PluginInfo::version).
        self.assertEqual(host_version(), host_release())

    def start(self, settings, extra=(), env=None):
        self.lab.write_profile(settings, [])
        self.host = Host(HOST, self.lab, extra=extra, env=env)

    def test_tcp_identification_server_id_diagnostics_stats_and_trace(self):
        self.start({"isTCP": 1, "localPort": self.port, "TCPId": 3}, extra=["--language", "1033", "--trace-modbus"])
        client = ModbusTcpClient("127.0.0.1", port=self.port, timeout=2)
        self.assertTrue(wait_until(client.connect))
        try:
            basic = client.execute(ReadDeviceInformationRequest(read_code=1, object_id=0, unit=3))
            self.assertFalse(basic.isError(), basic)
            self.assertEqual(basic.conformity, 0x82)
            self.assertEqual(basic.information, {0: b"tesmor developers", 1: b"tesmor",
                                                 2: host_version().encode()})
            regular = client.execute(ReadDeviceInformationRequest(read_code=2, object_id=0, unit=3))
            self.assertEqual(sorted(regular.information), list(range(7)))
            for value in regular.information.values():
                self.assertTrue(value and all(0x20 <= b < 0x7F for b in value), value)
            one = client.execute(ReadDeviceInformationRequest(read_code=4, object_id=4, unit=3))
            self.assertEqual(list(one.information), [4])
            unknown = client.execute(ReadDeviceInformationRequest(read_code=4, object_id=0x20, unit=3))
            self.assertTrue(unknown.isError())
            self.assertEqual(unknown.exception_code, 2)

            server_id = client.execute(ReportSlaveIdRequest(unit=3))
            self.assertFalse(server_id.isError(), server_id)
            # Server id, run indicator, then the text (pymodbus reads the run indicator from the end).
            self.assertEqual(server_id.identifier, b"\x03\xffVelmar Modbus " + host_version().encode())

            echo = client.execute(ReturnQueryDataRequest(0xA537, unit=3))
            self.assertFalse(echo.isError(), echo)
            self.assertEqual(list(echo.message), [0xA537])
            client.execute(ClearCountersRequest(unit=3))
            client.read_holding_registers(0, 1, slave=3)
            client.read_holding_registers(600, 1, slave=3)  # exception 02
            self.assertEqual(client.execute(ReturnSlaveMessageCountRequest(unit=3)).message, (3,))
            self.assertEqual(client.execute(ReturnBusExceptionErrorCountRequest(unit=3)).message, (1,))

        finally:
            client.close()
        # Raw frames: a bad read device id code, another unit.
        def bad_code():  # the listener is reopened after a master leaves; a master may meet the gap
            try:
                raw = socket.create_connection(("127.0.0.1", self.port), timeout=2)
                raw.sendall(bytes([0, 9, 0, 0, 0, 5, 3, 0x2B, 0x0E, 0x05, 0x00]))
                if raw.recv(64) == bytes([0, 9, 0, 0, 0, 3, 3, 0xAB, 0x03]):
                    return raw
                raw.close()
            except OSError:
                pass
            return None
        raw = wait_until(bad_code)
        self.assertTrue(raw, "no exception 03 for read device id code 5")
        with raw:
            raw.sendall(bytes([0, 10, 0, 0, 0, 6, 9, 0x03, 0, 0, 0, 1]))
            raw.settimeout(0.5)
            self.assertRaises(socket.timeout, raw.recv, 64)

        self.host.command("stats")
        tcp = self.host.wait_for("tcp masters=")
        self.assertRegex(tcp, r"^tcp masters=\d requests=\d+ exceptions=\d+ dropped=1 "
                              r"last=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d$")
        self.assertRegex(self.host.wait_for("rtu requests="), r"^rtu requests=0 exceptions=0 dropped=0 last=-$")
        # The trace shows the echo request byte for byte, and its reply.
        text = self.host.text()
        self.assertRegex(text, r"modbus trace \S+ tcp 127\.0\.0\.1:\d+ -> .. .. 00 00 00 06 03 08 00 00 A5 37")
        self.assertRegex(text, r"modbus trace \S+ tcp 127\.0\.0\.1:\d+ <- .. .. 00 00 00 06 03 08 00 00 A5 37")

    def test_rtu_over_a_pty_pair(self):
        if not shutil.which("socat"):
            self.skipTest("socat is missing")
        a, b = os.path.join(self.dir.name, "A"), os.path.join(self.dir.name, "B")
        self.socat = subprocess.Popen(["socat", f"pty,raw,echo=0,link={a}", f"pty,raw,echo=0,link={b}"],
                                      stderr=subprocess.DEVNULL)
        self.assertTrue(wait_until(lambda: os.path.exists(a) and os.path.exists(b)))
        self.start({"isTCP": 0, "isRTU": 1, "portName": a, "RTUId": 7, "baudRate": 19200})
        client = ModbusSerialClient(method="rtu", port=b, baudrate=19200, timeout=1)
        self.assertTrue(client.connect())
        try:
            time.sleep(0.5)
            regular = wait_until(lambda: (lambda r: r if not r.isError() else None)(
                client.execute(ReadDeviceInformationRequest(read_code=2, object_id=0x05, unit=7))))
            self.assertTrue(regular, "no answer over RTU")
            self.assertEqual(sorted(regular.information), [5, 6])
            bad_code = client.execute(ReadDeviceInformationRequest(read_code=3, object_id=0, unit=7))
            self.assertTrue(bad_code.isError())
            self.assertEqual(bad_code.exception_code, 3)
            echo = client.execute(ReturnQueryDataRequest(0x1234, unit=7))
            self.assertEqual(list(echo.message), [0x1234])
        finally:
            client.close()
        # Raw frames: one with a bad CRC and one for another slave are dropped and counted.
        with open(b, "r+b", buffering=0) as line:
            damaged = bytearray(crc(bytes([7, 3, 0, 0, 0, 1])))
            damaged[-1] ^= 1
            for frame in (bytes(damaged), crc(bytes([8, 3, 0, 0, 0, 1]))):
                line.write(frame)
                time.sleep(0.3)
        self.host.command("stats")
        self.assertRegex(self.host.wait_for("rtu requests="), r"^rtu requests=3 exceptions=1 dropped=2 last=\S+$")


if __name__ == "__main__":
    unittest.main()
