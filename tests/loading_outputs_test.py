#!/usr/bin/python3
"""The text and CSV outputs as analysis tools load them: Debian's pandas under /usr/bin/python3.

Runs every Python recipe of doc/loading.md (the loading recipes) on files measconv wrote and
checks what each gives. The HDF5 file's recipes and clients are tests/hdf5_clients_test.py.

    loading_outputs_test.py --measconv PATH --measgen PATH --recipes doc/loading.md
"""

import os
import sys
import tempfile
import unittest

import h5py
import numpy as np
import pandas as pd

import loading_support
from loading_support import VALID_MAX, VALID_MIN, measconv, measgen, run_python_recipe

ARGS = None


def run_recipe(name, cwd):
    return run_python_recipe(ARGS.recipes, name, cwd)


class Recipes(loading_support.RecipeFileTest):
    """The recipes, run for real on what measconv wrote."""
    LETTERS = "tpwcsh"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.values = cls.data["records"]["readings"]["value"].view("<f4")
        cls.valid = ((cls.data["records"]["readings"]["wavelength"] >= VALID_MIN)
                     & (cls.data["records"]["readings"]["wavelength"] <= VALID_MAX))

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


if __name__ == "__main__":
    loading_support.main(sys.modules[__name__])
