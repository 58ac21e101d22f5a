"""What the tests of the loading recipes share: the data file decoded with numpy from its layout
(the tests' own decoding, not the converter's), the programs under test, and the recipes of a
documentation page."""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import unittest

import numpy as np

HEADER_SIZE = 23344
VALID_MIN, VALID_MAX = 1500000, 1650000

# The programs under test, set by each test's main().
PROGRAMS = {"measconv": None, "measgen": None}

# Sensor 2 (the third column) has invalid readings: 0 and 1650001; its other value is below 5e-5.
RECIPE_RECORDS = ["5,7,1.25:1550000,2.5:1500000,0.00004:1650001",
                  "6,8,-1.5:1650000,3.25:1600000,2.125:0",
                  "7,9,1234.5678:1500001,-0.75:1549999,0.00004:1500000"]
RECIPE_OPTIONS = ["--sensors", "3", "--records", "0", "--start", "1700000000"] + [
    option for record in RECIPE_RECORDS for option in ("--record", record)]


# --- The data file, decoded with numpy ---

def text_field(header, offset, width):
    return header[offset:offset + width].split(b"\0", 1)[0]


def decode(path):
    """Header fields and the whole records of a data file."""
    with open(path, "rb") as file:
        data = file.read()
    header = data[:HEADER_SIZE]
    sensors = int(np.int8(header[97]))
    record = np.dtype([("offset", "<i4"), ("counter", "<i4"), ("readings", [("value", "<u4"), ("wavelength", "<i4")],
                        (sensors,))])
    body = data[HEADER_SIZE:]
    count = len(body) // record.itemsize
    records = np.frombuffer(body[:count * record.itemsize], dtype=record)
    table = [header[104 + 32 * i:136 + 32 * i] for i in range(sensors)]
    return {
        "title": text_field(header, 5, 30), "company": text_field(header, 37, 20), "idn": text_field(header, 57, 20),
        "unit_serial": text_field(header, 77, 20),
        "start_time": int(np.frombuffer(header[23336:23340], "<i4")[0]),
        "sensor_id": np.array([entry[0] for entry in table], dtype=np.uint8),
        "sensor_serial": [text_field(entry, 1, 31) for entry in table],
        "sensors": sensors, "records": records,
    }


def wrapped_times(start, offsets):
    """Start plus offset, wrapping around in 32 bits, as seconds since 1970."""
    return ((start + offsets.astype(np.int64) + 2**31) % 2**32) - 2**31


def readings(data):
    """The physical values (as their bits, uint32) and the wavelengths, records x sensors."""
    n, s = len(data["records"]), data["sensors"]
    return (data["records"]["readings"]["value"].reshape(n, s), data["records"]["readings"]["wavelength"].reshape(n, s))


def valid(wavelengths):
    return (wavelengths >= VALID_MIN) & (wavelengths <= VALID_MAX)


# --- Running the programs ---

def measgen(path, *options):
    subprocess.run([PROGRAMS["measgen"], path] + list(options), check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def measconv(cwd, *args, tz="Europe/Berlin"):
    env = dict(os.environ, TZ=tz, LC_ALL="C")
    run = subprocess.run([PROGRAMS["measconv"]] + list(args), cwd=cwd, env=env, capture_output=True, check=True)
    return run.stdout.decode("latin-1")


# --- The recipes of a page ---

def recipe_blocks(page, language):
    """The code blocks of a language in a page, by their first line (a comment naming what they load)."""
    with open(page, encoding="utf-8") as file:
        text = file.read()
    blocks = {}
    for block in re.findall(r"```" + language + r"\n(.*?)```", text, re.S):
        blocks[block.split("\n", 1)[0]] = block
    return blocks


def recipe(page, language, name):
    blocks = recipe_blocks(page, language)
    if name not in blocks:
        raise AssertionError(f"no recipe '{name}' in {page} (found: {list(blocks)})")
    return blocks[name]


def run_python_recipe(page, name, cwd):
    """Runs the Python recipe of that name in cwd; returns its variables."""
    variables = {}
    here = os.getcwd()
    os.chdir(cwd)
    try:
        exec(compile(recipe(page, "python", name), f"{os.path.basename(page)}: {name}", "exec"), variables)
    finally:
        os.chdir(here)
    return variables


class RecipeFileTest(unittest.TestCase):
    """Tests on the recipe file (RECIPE_OPTIONS) converted with LETTERS into out* in a folder of
    its own, cls.cwd; cls.data is the data file decoded. (Subclass it through the module, so
    that the test modules do not run it on its own.)"""
    LETTERS = "h"

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.cwd = cls.dir.name
        measgen(os.path.join(cls.cwd, "in.dat"), *RECIPE_OPTIONS)
        cls.data = decode(os.path.join(cls.cwd, "in.dat"))
        cls.message = measconv(cls.cwd, cls.LETTERS, "in.dat", "out")

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def test_conversion_printed_nothing(self):
        self.assertEqual(self.message, "")


def main(test_module):
    """Reads --measconv, --measgen and --recipes (made absolute; the page into test_module.ARGS)
    and runs the tests of test_module with the other arguments."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--measconv", required=True)
    parser.add_argument("--measgen", required=True)
    parser.add_argument("--recipes", required=True)
    args, rest = parser.parse_known_args()
    for name in ("measconv", "measgen", "recipes"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    PROGRAMS.update(measconv=args.measconv, measgen=args.measgen)
    test_module.ARGS = args
    unittest.main(module=test_module, argv=[sys.argv[0]] + rest, verbosity=2)
