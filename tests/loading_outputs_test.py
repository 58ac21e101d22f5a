#!/usr/bin/python3
"""The outputs as analysis tools load them: Debian's h5py and pandas under /usr/bin/python3.

Runs every Python recipe of doc/loading.md (the loading recipes) on files measconv wrote
and checks what each gives; checks that the names and shapes the MATLAB recipe uses exist; and
reads the .h5 file of data files of many shapes with h5py, every value compared bit for bit with
the data file (decoded here with numpy from the data file layout).

    loading_outputs_test.py --measconv PATH --measgen PATH --recipes doc/loading.md
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import unittest

import h5py
import numpy as np
import pandas as pd

ARGS = None
HEADER_SIZE = 23344
VALID_MIN, VALID_MAX = 1500000, 1650000


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


# --- Running the programs ---

def measgen(path, *options):
    subprocess.run([ARGS.measgen, path] + list(options), check=True, stdout=subprocess.DEVNULL)


def measconv(cwd, *args, tz="Europe/Berlin"):
    env = dict(os.environ, TZ=tz, LC_ALL="C")
    run = subprocess.run([ARGS.measconv] + list(args), cwd=cwd, env=env, capture_output=True, check=True)
    return run.stdout.decode("latin-1")


def recipe_blocks(language):
    """The code blocks of a language in the page of loading recipes, by their first line (a
    comment naming what they load)."""
    with open(ARGS.recipes, encoding="utf-8") as page:
        text = page.read()
    blocks = {}
    for block in re.findall(r"```" + language + r"\n(.*?)```", text, re.S):
        blocks[block.split("\n", 1)[0]] = block
    return blocks


def run_recipe(name, cwd):
    """Runs the Python recipe of that name in cwd; returns its variables."""
    blocks = recipe_blocks("python")
    if name not in blocks:
        raise AssertionError(f"no recipe '{name}' (found: {list(blocks)})")
    variables = {}
    here = os.getcwd()
    os.chdir(cwd)
    try:
        exec(compile(blocks[name], "doc/loading.md: " + name, "exec"), variables)
    finally:
        os.chdir(here)
    return variables


# Sensor 2 (the third column) has invalid readings: 0 and 1650001; its other value is below 5e-5.
RECIPE_RECORDS = ["5,7,1.25:1550000,2.5:1500000,0.00004:1650001",
                  "6,8,-1.5:1650000,3.25:1600000,2.125:0",
                  "7,9,1234.5678:1500001,-0.75:1549999,0.00004:1500000"]


class Recipes(unittest.TestCase):
    """The recipes, run for real on what measconv wrote."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.cwd = cls.dir.name
        options = ["--sensors", "3", "--records", "0", "--start", "1700000000"]
        for record in RECIPE_RECORDS:
            options += ["--record", record]
        measgen(os.path.join(cls.cwd, "in.dat"), *options)
        cls.data = decode(os.path.join(cls.cwd, "in.dat"))
        cls.message = measconv(cls.cwd, "tpwcsh", "in.dat", "out")
        cls.values = cls.data["records"]["readings"]["value"].view("<f4")
        cls.valid = ((cls.data["records"]["readings"]["wavelength"] >= VALID_MIN)
                     & (cls.data["records"]["readings"]["wavelength"] <= VALID_MAX))

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def test_conversion_printed_nothing(self):
        self.assertEqual(self.message, "")

    def test_combined_csv(self):
        pv = run_recipe("# combined CSV", self.cwd)["pv"]
        self.assertEqual(list(pv.columns), ["Datetime", "Counter", "01.SN0001", "02.SN0002", "03.SN0003"])
        self.assertEqual(str(pv["Datetime"].dtype), "datetime64[ns]")
        for i, column in enumerate(pv.columns[2:]):
            with self.subTest(column=column):
                self.assertEqual(pv[column].dtype, np.float64)
                self.assertEqual(list(pv[column].isna()), list(~self.valid[:, i]))
                expected = np.round(self.values[:, i].astype(np.float64), 4)
                np.testing.assert_array_equal(pv[column][self.valid[:, i]], expected[self.valid[:, i]])
        # Local time of the conversion (Europe/Berlin): 1700000000 + 5 s.
        self.assertEqual(pv["Datetime"][0], pd.Timestamp("2023-11-14 23:13:25"))
        # Without skipinitialspace the blank cell is " ": the column of sensor 3 is strings.
        plain = pd.read_csv(os.path.join(self.cwd, "out_pv.csv"))
        self.assertEqual(plain["03.SN0003"].dtype, object)
        self.assertEqual(plain["03.SN0003"][0], " ")

    def test_per_sensor_csv(self):
        sensor = run_recipe("# per-sensor CSV", self.cwd)["sensor"]
        self.assertEqual(list(sensor.columns), ["Datetime", "Counter", "Wavelength", "PhysicValue"])
        self.assertEqual(sensor["PhysicValue"].dtype, np.float64)
        self.assertEqual(list(sensor["Wavelength"]), [1550000, 1650000, 1500001])
        # The float nearest 1234.5678 is 1234.567749...: four decimals give 1234.5677.
        np.testing.assert_array_equal(sensor["PhysicValue"], [1.25, -1.5, 1234.5677])
        third = pd.read_csv(os.path.join(self.cwd, "out", "SN0003.csv"), parse_dates=["Datetime"], na_values="\t")
        self.assertEqual(list(third["PhysicValue"].isna()), [True, True, False])
        self.assertEqual(list(third["Wavelength"]), [1650001, 0, 1500000])

    def test_text(self):
        pv_text = run_recipe("# text", self.cwd)["pv_text"]
        self.assertEqual(list(pv_text.columns), ["Record Time", "Counter", "ID: 1, SN: SN0001", "ID: 2, SN: SN0002",
                                                 "ID: 3, SN: SN0003"])
        self.assertEqual(list(pv_text["Record Time"]), [5, 6, 7])
        self.assertEqual(list(pv_text["Counter"]), [7, 8, 9])
        for i, column in enumerate(pv_text.columns[2:]):
            with self.subTest(column=column):
                self.assertEqual(list(pv_text[column].isna()), list(~self.valid[:, i]))
        # Four decimals: a valid 0.00004 is 0.0 in the text, exact in the HDF5 file.
        self.assertEqual(pv_text["ID: 3, SN: SN0003"][2], 0.0)
        with h5py.File(os.path.join(self.cwd, "out.h5"), "r") as f:
            self.assertEqual(f["physical_value"][2, 2], np.float32(0.00004))

    def test_hdf5(self):
        pv = run_recipe("# HDF5 with h5py and pandas", self.cwd)["pv"]
        self.assertEqual(list(pv.columns), ["SN0001", "SN0002", "SN0003"])
        self.assertEqual(list(pv.index), list(pd.to_datetime([1700000005, 1700000006, 1700000007], unit="s", utc=True)))
        self.assertEqual(pv.dtypes.tolist(), [np.float32] * 3)
        self.assertEqual(pv.isna().values.tolist(), (~self.valid).tolist())
        # The valid values to the bit.
        got = pv.values.astype(np.float32).view("<u4")
        np.testing.assert_array_equal(got[self.valid], self.data["records"]["readings"]["value"][self.valid])

    def test_matlab_names_and_shapes(self):
        blocks = recipe_blocks("matlab")
        self.assertEqual(len(blocks), 1)
        block = next(iter(blocks.values()))
        read = re.findall(r"h5read\('out\.h5', '/([a-z_]+)'\)(')?", block)
        self.assertEqual(sorted(name for name, _ in read), ["physical_value", "time", "wavelength"])
        with h5py.File(os.path.join(self.cwd, "out.h5"), "r") as f:
            for name, transposed in read:
                # MATLAB lists the dimensions in reverse: a transposed [n, s] set is records x sensors.
                self.assertEqual(len(f[name].shape), 2 if transposed else 1, name)
                self.assertEqual(f[name].shape[0], 3, name)
            self.assertIn(f"wl < {f.attrs['valid_wavelength_min']} | wl > {f.attrs['valid_wavelength_max']}", block)
        self.assertIn("wl = h5read('out.h5', '/wavelength')'", block)
        self.assertIn("pv = h5read('out.h5', '/physical_value')'", block)


class DaylightSaving(unittest.TestCase):
    """Record times in the CSV files are whole seconds of local time: in the hour a change to
    winter time repeats, two instants an hour apart print alike. The HDF5 file keeps them apart."""

    def test_the_repeated_hour(self):
        with tempfile.TemporaryDirectory() as cwd:
            # 2023-10-29 00:30 UTC is 02:30 summer time in Berlin; an hour later it is 02:30 winter time.
            measgen(os.path.join(cwd, "in.dat"), "--sensors", "1", "--records", "0", "--start", "1698539400",
                    "--record", "0,1,1:1550000", "--record", "3600,2,2:1550000")
            self.assertEqual(measconv(cwd, "cph", "in.dat", "out", tz="Europe/Berlin"), "")
            pv = pd.read_csv(os.path.join(cwd, "out_pv.csv"), skipinitialspace=True, parse_dates=["Datetime"])
            self.assertEqual(list(pv["Datetime"]), [pd.Timestamp("2023-10-29 02:30:00")] * 2)
            with h5py.File(os.path.join(cwd, "out.h5"), "r") as f:
                self.assertEqual(list(f["time"][:]), [1698539400, 1698543000])


# measgen options of the data files whose .h5 files are compared value by value.
SHAPES = [
    ("special values", ["--sensors", "2", "--records", "0",
                        "--record", "5,7,nan(74565):0,-0:1", "--record", "-5,8,-inf:1650001,inf:-1",
                        "--record", "6,9,1e-45:2147483647,-nan:-2147483648", "--record", "0,0,3.4e38:1500000,-1.5:1650000"]),
    ("times wrapping at the top", ["--sensors", "2", "--records", "3", "--start", "2147483647",
                                   "--record", "2147483647,1", "--record", "-2147483648,2"]),
    ("times wrapping at the bottom", ["--sensors", "1", "--records", "4", "--start", "-2147483648", "--record", "-1,1"]),
    ("no sensors", ["--sensors", "0", "--records", "5"]),
    ("127 sensors", ["--sensors", "127", "--records", "3000", "--invalid-every", "7", "--rate", "100"]),
    ("no records", ["--sensors", "3", "--records", "0"]),
    ("a trailing partial record", ["--sensors", "2", "--records", "5", "--trailing-bytes", "9"]),
    ("one sensor, many chunks", ["--sensors", "1", "--records", "140000", "--rate", "3", "--start", "-5",
                                 "--invalid-every", "4"]),
    ("texts of full width", ["--serials", "a serial of thirty-one bytes!!!,,x", "--records", "2",
                             "--title", "a title of forty bytes without its nul", "--company", "",
                             "--idn", "idn without its nul!", "--unit-serial", "serial without nul!!"]),
]


class ExactValues(unittest.TestCase):
    """h5py reads every value as the data file holds it, in the documented types and shapes."""

    def check(self, data, f):
        n, s = len(data["records"]), data["sensors"]
        self.assertEqual(set(f.keys()), {"time_offset", "counter", "time", "wavelength", "physical_value",
                                         "sensor_id", "sensor_serial"})
        self.assertEqual(set(f.attrs.keys()), {"title", "company", "idn", "unit_serial", "version", "format",
                                               "start_time", "valid_wavelength_min", "valid_wavelength_max"})
        for name in ("title", "company", "idn", "unit_serial"):
            self.assertIsInstance(f.attrs[name], bytes, name)
            self.assertEqual(f.attrs[name], data[name], name)
        self.assertEqual(f.attrs["version"], b"1.3")
        self.assertEqual(f.attrs["format"], b"measconv-hdf5 1")
        for name, value in (("start_time", data["start_time"]), ("valid_wavelength_min", VALID_MIN),
                            ("valid_wavelength_max", VALID_MAX)):
            self.assertEqual(f.attrs[name].dtype, np.dtype("<i4"), name)
            self.assertEqual(f.attrs[name], value, name)
        shapes = {"time_offset": ((n,), "<i4"), "counter": ((n,), "<i4"), "time": ((n,), "<i8"),
                  "wavelength": ((n, s), "<i4"), "physical_value": ((n, s), "<f4"), "sensor_id": ((s,), "|u1"),
                  "sensor_serial": ((s,), "|S31")}
        for name, (shape, dtype) in shapes.items():
            self.assertEqual(f[name].shape, shape, name)
            self.assertEqual(f[name].dtype, np.dtype(dtype), name)
        records = data["records"]
        np.testing.assert_array_equal(f["time_offset"][:], records["offset"])
        np.testing.assert_array_equal(f["counter"][:], records["counter"])
        np.testing.assert_array_equal(f["time"][:], wrapped_times(data["start_time"], records["offset"]))
        np.testing.assert_array_equal(f["wavelength"][:], records["readings"]["wavelength"].reshape(n, s))
        np.testing.assert_array_equal(f["physical_value"][:].view("<u4"), records["readings"]["value"].reshape(n, s))
        np.testing.assert_array_equal(f["sensor_id"][:], data["sensor_id"])
        self.assertEqual(list(f["sensor_serial"][:]), data["sensor_serial"])

    def test_every_shape(self):
        for name, options in SHAPES:
            with self.subTest(name), tempfile.TemporaryDirectory() as cwd:
                measgen(os.path.join(cwd, "in.dat"), *options)
                self.assertEqual(measconv(cwd, "h", "in.dat", "out"), "")
                with h5py.File(os.path.join(cwd, "out.h5"), "r") as f:
                    self.check(decode(os.path.join(cwd, "in.dat")), f)

    def test_special_values_stay_special(self):
        with tempfile.TemporaryDirectory() as cwd:
            measgen(os.path.join(cwd, "in.dat"), *SHAPES[0][1])
            measconv(cwd, "h", "in.dat", "out")
            with h5py.File(os.path.join(cwd, "out.h5"), "r") as f:
                values = f["physical_value"][:]
            self.assertEqual(values.view("<u4")[0, 0], 0x7fc12345)
            self.assertEqual(values.view("<u4")[0, 1], 0x80000000)
            self.assertEqual(list(values[1]), [-np.inf, np.inf])
            self.assertEqual(values.view("<u4")[2, 0], 1)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--measconv", required=True)
    parser.add_argument("--measgen", required=True)
    parser.add_argument("--recipes", required=True)
    ARGS, rest = parser.parse_known_args()
    for name in ("measconv", "measgen", "recipes"):
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
