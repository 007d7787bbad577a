"""Helpers for end-to-end tests: a host database, a profile, and tesmor-host as a process."""
import json
import os
import queue
import re
import socket
import sqlite3
import subprocess
import threading
import time

SCHEMA = """
CREATE TABLE IF NOT EXISTS assay(
  id INTEGER PRIMARY KEY, date INTEGER, uuid TEXT, filename TEXT, sample TEXT, method TEXT,
  mixture TEXT, iscalibration INTEGER, atmpressure REAL, airtemp REAL,
  ishidden INTEGER NOT NULL DEFAULT 0, isdeleted INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS peak(
  id INTEGER PRIMARY KEY, assayid INTEGER, nameid TEXT, name TEXT, area REAL, time REAL,
  height REAL, channel INTEGER, front REAL, back REAL, concentration REAL);
CREATE TABLE IF NOT EXISTS method(name TEXT);
CREATE TABLE IF NOT EXISTS mixture(name TEXT);
"""

SOURCE_DEVICE, SOURCE_CHROM, SOURCE_PEAK = "Устройство", "Хроматограмма", "Пик хроматограммы"
MODE, LAST_ERROR = "Режим устройства", "Код последней ошибки"
SAMPLE_TIME, SAMPLE_NUMBER, SERIES = "Время отбора пробы", "Номер пробы", "Номер в серии"
CONCENTRATION, AREA, RETENTION = "Концентрация пика", "Площадь пика", "Время выхода пика"
COILS, INPUTS = "Coil Status (0x)", "Input Status (1x)"
INPUT_REGS, HOLDING = "Input Registers (3x)", "Holding Registers (4x)"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def crc16_umts(data: bytes) -> int:
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


class Lab:
    def __init__(self, folder):
        self.folder = folder
        self.db_path = os.path.join(folder, "lab.db")
        self.profile_path = os.path.join(folder, "profile.json")
        with sqlite3.connect(self.db_path) as db:
            db.executescript(SCHEMA)

    def add_assay(self, peaks, **row):
        with sqlite3.connect(self.db_path) as db:
            columns = ", ".join(row)
            marks = ", ".join("?" for _ in row)
            cursor = db.execute(f"INSERT INTO assay({columns}) VALUES({marks})", list(row.values()))
            assay_id = cursor.lastrowid
            for p in peaks:
                db.execute("INSERT INTO peak(assayid, nameid, name, area, time, height, channel, front, back,"
                           " concentration) VALUES(?,?,?,?,?,?,?,?,?,?)",
                           (assay_id, p["name"], p["name"], p.get("area", 0), p.get("time", 0), 0,
                            p.get("channel", 0), 0, 0, p.get("concentration", 0)))
            return assay_id

    def write_profile(self, settings, entries, filters=None):
        folder = {"Settings": settings}
        mapping = {}
        for i, e in enumerate(entries):
            mapping[f"regVelmarData_{i}"] = e.get("source", "")
            mapping[f"regDeviceName_{i}"] = e.get("device", "")
            mapping[f"regComponent_{i}"] = e.get("component", "")
            mapping[f"regAddress_{i}"] = e["address"]
            mapping[f"regType_{i}"] = e["table"]
            mapping[f"regDataType_{i}"] = e["type"]
            mapping[f"regFloatOrder_{i}"] = e.get("order", "")
            mapping[f"regData_{i}"] = e["item"]
        folder["MapSettings"] = mapping
        if filters:
            folder["Filters"] = filters
        with open(self.profile_path, "w", encoding="utf-8") as f:
            json.dump({"plugins": {"tesmor": folder}}, f, ensure_ascii=False, indent=2)


class Host:
    """tesmor-host as a child process; lines of its standard output arrive in a queue."""

    def __init__(self, binary, lab, extra=(), env=None):
        self.lines = queue.Queue()
        self.output = []
        self.process = subprocess.Popen(
            [binary, "--headless", "--profile", lab.profile_path, "--database", lab.db_path, *extra],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            env={**os.environ, **(env or {})})
        threading.Thread(target=self._read, daemon=True).start()
        self.wait_for("ready")

    def _read(self):
        for line in self.process.stdout:
            self.output.append(line)
            self.lines.put(line)

    def wait_for(self, text, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                line = self.lines.get(timeout=0.1)
            except queue.Empty:
                if self.process.poll() is not None:
                    break
                continue
            if text in line:
                return line
        raise AssertionError(f"no line with {text!r}; output:\n" + "".join(self.output))

    def text(self):
        """Everything the host printed so far."""
        return "".join(self.output)

    def command(self, line):
        if self.process.stdin.closed:
            return
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def quit(self, timeout=10):
        if self.process.poll() is None:
            self.command("quit")
            try:
                self.process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdin.close()
        self.process.stdout.close()
        return self.process.returncode


def sample_number(port, address=5):
    """The sample number a TCP slave on port publishes in a holding register, as mbpoll reads it."""
    out = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(port), "-a", "1", "-0", "-1", "-t", "4", "-r",
                          str(address), "-c", "1", "127.0.0.1"], capture_output=True, text=True, timeout=20)
    found = re.search(r"\[%d\]:\s+(\d+)" % address, out.stdout)
    return int(found.group(1)) if out.returncode == 0 and found else None


def wait_until(predicate, timeout=10, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()
