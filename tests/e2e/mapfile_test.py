"""tesmor-host's map file commands: the round trip in both languages, a refused file that leaves the
profile alone, a Russian-locale spreadsheet, and the demo lab's map file and tag list."""
import csv
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from labkit import (AREA, CONCENTRATION, COILS, HOLDING, INPUT_REGS, INPUTS, LAST_ERROR, MODE, RETENTION,  # noqa: E402
                    SAMPLE_NUMBER, SAMPLE_TIME, SERIES, SOURCE_CHROM, SOURCE_DEVICE, SOURCE_PEAK, Lab, free_port)

HOST = os.environ["TESMOR_HOST"]
HEADER = "source,device,component,address,register_type,data_type,byte_order,data_item"

RUSSIAN_MAP = [
    dict(source=SOURCE_CHROM, address=0, table=HOLDING, type="INT", item=SAMPLE_TIME),
    dict(source=SOURCE_CHROM, address=5, table=INPUT_REGS, type="INT", item=SAMPLE_NUMBER),
    dict(source=SOURCE_CHROM, address=6, table=HOLDING, type="INT", item=SERIES),
    dict(source=SOURCE_PEAK, component="Метан, сухой", address=10, table=HOLDING, type="FLOAT",
         order="Little-endian byte swap", item=CONCENTRATION),
    dict(source=SOURCE_PEAK, component='Азот "N2"', address=12, table=HOLDING, type="BOOL", item=AREA),
    dict(source=SOURCE_PEAK, component="CO2", address=0, table=COILS, type="BOOL", item=RETENTION),
    dict(source=SOURCE_PEAK, component="CO2", address=0, table=INPUTS, type="BOOL", item=CONCENTRATION),
    dict(source=SOURCE_DEVICE, device="Хроматограф-1", address=50, table=HOLDING, type="INT", item=MODE),
    dict(source=SOURCE_DEVICE, device="Хроматограф-1", address=51, table=HOLDING, type="INT", item=LAST_ERROR),
]
ENGLISH = {SOURCE_DEVICE: "Device", SOURCE_CHROM: "Chromatogram", SOURCE_PEAK: "Chromatogram peak",
           MODE: "Device mode", LAST_ERROR: "Last error code", SAMPLE_TIME: "Sampling time",
           SAMPLE_NUMBER: "Sample number", SERIES: "Number in series", CONCENTRATION: "Peak concentration",
           AREA: "Peak area", RETENTION: "Peak retention time"}


def in_english(entries):
    return [dict(e, source=ENGLISH[e["source"]], item=ENGLISH[e["item"]]) for e in entries]


def host(*args):
    return subprocess.run([HOST, *args], capture_output=True, text=True, timeout=60)


def map_section(folder):
    with open(os.path.join(folder, "profile.json"), encoding="utf-8") as f:
        return json.load(f)["plugins"]["tesmor"].get("MapSettings", {})


def read_csv(path):
    with open(path, encoding="utf-8-sig", newline="") as f:
        return list(csv.reader(f))


class MapFiles(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tesmor-mapfile-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def lab(self, name, entries):
        folder = os.path.join(self.tmp, name)
        os.makedirs(folder)
        Lab(folder).write_profile({"isTCP": 0}, entries)
        return folder

    def test_export_then_import_gives_the_keys_back_in_both_languages(self):
        for language, entries in (("1049", RUSSIAN_MAP), ("1033", in_english(RUSSIAN_MAP))):
            with self.subTest(language=language):
                source = self.lab("from-" + language, entries)
                target = self.lab("to-" + language, [])
                path = os.path.join(self.tmp, f"map-{language}.csv")
                out = host("--data-dir", source, "--language", language, "--export-map", path)
                self.assertEqual(out.returncode, 0, out.stderr)
                with open(path, "rb") as f:
                    self.assertTrue(f.read().startswith(b"\xef\xbb\xbf" + HEADER.encode() + b"\r\n"))
                out = host("--data-dir", target, "--language", language, "--import-map", path)
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertIn("imported 9 map entries", out.stdout)
                self.assertEqual(map_section(target), map_section(source))

    def test_a_refused_file_leaves_the_profile_untouched(self):
        folder = self.lab("lab", RUSSIAN_MAP)
        profile = os.path.join(folder, "profile.json")
        with open(profile, "rb") as f:
            before = f.read()
        path = os.path.join(self.tmp, "bad.csv")
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(HEADER + "\n"
                    "Хроматограмма,,,0,Holding Registers (4x),INT,,Номер пробы\n"
                    "Устройство,,,1,Holding Registers (4x),INT,,Режим устройства\n"
                    "Хроматограмма,,,0,Holding Registers (4x),INT,,Номер в серии\n")
        out = host("--data-dir", folder, "--import-map", path)
        self.assertEqual(out.returncode, 1)
        self.assertIn(f"{path}:3: Выберите устройство.\n", out.stderr)
        self.assertIn(f"{path}:4: Регистры пересекаются с регистрами строки 2.\n", out.stderr)
        with open(profile, "rb") as f:
            self.assertEqual(f.read(), before)

    def test_a_russian_locale_spreadsheet_with_semicolons(self):
        folder = self.lab("lab", [])
        path = os.path.join(self.tmp, "excel.csv")
        with open(path, "w", encoding="utf-8-sig", newline="") as f:
            f.write(HEADER.replace(",", ";") + "\r\n"
                    'Пик хроматограммы;;"Метан; сухой";10;Holding Registers (4x);FLOAT;Big-endian;'
                    "Концентрация пика\r\n")
        out = host("--data-dir", folder, "--language", "1033", "--import-map", path)
        self.assertEqual(out.returncode, 0, out.stderr)
        section = map_section(folder)
        self.assertEqual(section["regVelmarData_0"], "Chromatogram peak")
        self.assertEqual(section["regComponent_0"], "Метан; сухой")
        self.assertEqual(section["regData_0"], "Peak concentration")

    def test_the_demo_ships_its_map_and_its_tag_list_holds_the_references(self):
        demo = os.path.join(self.tmp, "demo")
        run = subprocess.run([HOST, "--demo", demo, "--port", str(free_port()), "--headless"], input="quit\n",
                             capture_output=True, text=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stderr)
        shipped = os.path.join(demo, "map.csv")
        self.assertEqual(read_csv(shipped)[0], HEADER.split(","))
        # The shipped file is the demo's map: importing it changes no key.
        copy = self.lab("copy", [])
        out = host("--data-dir", copy, "--import-map", shipped)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(map_section(copy), map_section(demo))

        tags = os.path.join(self.tmp, "tags.csv")
        out = host("--data-dir", demo, "--export-tags", tags)
        self.assertEqual(out.returncode, 0, out.stderr)
        rows = read_csv(tags)
        self.assertEqual(rows[0], "tag,reference,address,table,registers,data_type,byte_order,description".split(","))
        by_tag = {r[0]: r for r in rows[1:]}
        self.assertEqual(len(by_tag), len(rows) - 1, "tag names are unique")
        for r in rows[1:]:
            self.assertRegex(r[0], r"^[A-Za-z_][A-Za-z0-9_]*$")
        # Hand-computed: holding registers 40001 + address, input registers 30001 +, coils 00001 +,
        # discrete inputs 10001 +.
        expected = {
            "Khromatogramma_Vremya_otbora_proby": ["40001", "0", "Holding registers", "5", "INT", ""],
            "Khromatogramma_Nomer_proby": ["40006", "5", "Holding registers", "1", "INT", ""],
            "Metan_Kontsentratsiya_pika": ["40011", "10", "Holding registers", "2", "FLOAT", "Big-endian"],
            "Metan_Kontsentratsiya_pika_4": ["40017", "16", "Holding registers", "2", "FLOAT",
                                             "Little-endian byte swap"],
            "Dioksid_ugleroda_Kontsentratsiya_pika": ["40031", "30", "Holding registers", "2", "FLOAT", "Big-endian"],
            "Khromatograf_2_Kod_posledney_oshibki": ["40054", "53", "Holding registers", "1", "INT", ""],
            "Khromatogramma_Nomer_proby_2": ["30001", "0", "Input registers", "1", "INT", ""],
            "Dioksid_ugleroda_Kontsentratsiya_pika_2": ["30002", "1", "Input registers", "2", "FLOAT", "Big-endian"],
            "Metan_Kontsentratsiya_pika_5": ["00001", "0", "Coils", "1", "BOOL", ""],
            "Azot_Kontsentratsiya_pika_2": ["10001", "0", "Discrete inputs", "1", "BOOL", ""],
        }
        for tag, fields in expected.items():
            with self.subTest(tag=tag):
                self.assertIn(tag, by_tag)
                self.assertEqual(by_tag[tag][1:7], fields)
        self.assertEqual(by_tag["Khromatograf_2_Kod_posledney_oshibki"][7], "Код последней ошибки: Хроматограф-2")


if __name__ == "__main__":
    unittest.main(verbosity=2)
