"""The README's folder table against the code: every folder includes only from itself and from the
folders its row says it uses, so the table cannot drift from the layering the build enforces."""
import os
import re
import sys
import unittest

SOURCE = os.environ.get("TESMOR_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
ROW = re.compile(r"^\| `([a-z]+)/` \|[^|]*\|\s*(.*?)\s*\|$")
FOLDER = re.compile(r"`([a-z]+)/`")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/', re.M)
# host_api.h is reached by its bare name through include/'s directory; it is include/'s.
BARE_API = re.compile(r'^\s*#\s*include\s+"host_api\.h"', re.M)


def table():
    """{folder: set of folders it may use} from the README."""
    rows = {}
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
        for line in f:
            match = ROW.match(line.strip())
            if match:
                rows[match.group(1)] = set(FOLDER.findall(match.group(2)))
    return rows


def used(folder):
    """{folder included: first file that includes it} for the sources of `folder`."""
    found = {}
    for root, _, files in os.walk(os.path.join(SOURCE, folder)):
        for name in files:
            if not name.endswith((".h", ".cpp", ".c")):
                continue
            path = os.path.join(root, name)
            with open(path, encoding="utf-8") as f:
                text = f.read()
            for other in INCLUDE.findall(text) + (["include"] if BARE_API.search(text) else []):
                found.setdefault(other, os.path.relpath(path, SOURCE))
    return found


class FolderTable(unittest.TestCase):
    def test_every_include_is_allowed_by_the_table(self):
        rows = table()
        self.assertGreaterEqual(set(rows), {"tools", "host", "shell", "ui", "publish", "modbus", "results",
                                            "platform", "include"}, "the README's folder table was not found")
        known = set(rows)
        for folder, uses in rows.items():
            for other, where in used(folder).items():
                if other == folder or other not in known:
                    continue
                with self.subTest(folder=folder, uses=other):
                    self.assertIn(other, uses, f"{where} includes {other}/, which the README's row of "
                                               f"{folder}/ does not list")


if __name__ == "__main__":
    sys.exit(unittest.main())
