#!/usr/bin/python3
"""The .h5 file as the tools people use read it, each the Debian package under /usr/bin: h5py,
xarray with its h5netcdf and netcdf4 engines, ncdump, GNU Octave with its netcdf package, and
R with hdf5r and with ncdf4.

Runs every recipe of doc/hdf5.md as written on a file measconv wrote and checks what each
gives; checks the MATLAB snippets' names and shapes against what the file declares (their
ncread calls run in Octave); and reads the .h5 files of data files of many shapes with every
client, each value compared bit for bit with the data file (decoded with numpy from the data
file layout). R holds no single-precision numbers: its doubles are compared with the floats
widened.

    hdf5_clients_test.py --measconv PATH --measgen PATH --recipes doc/hdf5.md
"""

import os
import re
import subprocess
import sys
import tempfile
import unittest

import h5py
import numpy as np
import xarray as xr

import loading_support
from loading_support import (decode, measconv, measgen, readings, recipe, recipe_blocks,
                             run_python_recipe, valid, wrapped_times)

ARGS = None
SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "sample.dat")
OCTAVE = ["/usr/bin/octave", "--no-gui", "--no-window-system", "--norc", "--quiet"]
RSCRIPT = ["/usr/bin/Rscript", "--vanilla"]

# measgen options of the data files whose .h5 files every client reads (the arguments are bytes:
# serials and texts beyond ASCII).
SHAPES = [
    ("special values", ["--sensors", "2", "--records", "0",
                        "--record", "5,7,nan(74565):0,-0:1", "--record", "-5,8,-inf:1650001,inf:-1",
                        "--record", "6,9,1e-45:2147483647,-nan:-2147483648",
                        "--record", "0,0,3.4e38:1500000,-1.5:1650000"]),
    # What netCDF takes for missing values by default (int -2147483647, float 9.96921e36) is data here.
    ("netCDF's default fill values", ["--sensors", "2", "--records", "0",
                                      "--record", "1,2,9.9692099683868690e+36:-2147483647,1:1550000"]),
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
    ("bytes beyond ASCII", [b"--serials", b"caf\xe9,\xff\xfe\x01,SN 3 ", b"--records", b"3", b"--title", b"T\xfctel"]),
]

RECORD_DATASETS = ["time_offset", "counter", "time", "wavelength", "physical_value"]
SENSOR_DATASETS = ["sensor_id", "sensor_serial"]


def serial_texts(data):
    return [serial.decode("latin-1") for serial in data["sensor_serial"]]


def run(command, cwd, script=None):
    result = subprocess.run(command, cwd=cwd, input=script, capture_output=True, encoding="latin-1")
    if result.returncode != 0:
        raise AssertionError(f"{command[0]} failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result


def r_integers(values):
    """Integers as R reads them: -2147483648 is R's NA for integers."""
    doubles = values.astype(np.float64)
    doubles[values == -2**31] = np.nan
    return doubles


def read_bytes(path):
    with open(path, "rb") as file:
        return file.read()


def read_text(path):
    return read_bytes(path).decode("latin-1")


def read_bin(path, dtype):
    return np.fromfile(path, dtype=dtype)


def quoted(paths):
    return ", ".join("'" + path.replace("'", "''") + "'" for path in paths)


class ClientChecks(unittest.TestCase):
    """Each client's values against the data file, bit for bit."""

    def check_h5py(self, data, folder):
        path = os.path.join(folder, "out.h5")
        n, s = len(data["records"]), data["sensors"]
        bits, wavelengths = readings(data)
        with h5py.File(path, "r") as f:
            self.assertEqual(set(f.keys()), set(RECORD_DATASETS + SENSOR_DATASETS) | {"record", "sensor",
                                                                                      "serial_length"})
            for name in ("title", "company", "idn", "unit_serial"):
                self.assertEqual(f.attrs[name], data[name], name)
            self.assertEqual(f.attrs["format"], b"measconv-hdf5 2")
            self.assertEqual(f.attrs["Conventions"], b"CF-1.8")
            self.assertEqual(f.attrs["start_time"], data["start_time"])
            shapes = {"time_offset": ((n,), "<i4"), "counter": ((n,), "<i4"), "time": ((n,), "<i8"),
                      "wavelength": ((n, s), "<i4"), "physical_value": ((n, s), "<f4"), "sensor_id": ((s,), "|u1"),
                      "sensor_serial": ((s, 31), "|S1")}
            for name, (shape, dtype) in shapes.items():
                self.assertEqual((f[name].shape, f[name].dtype), (shape, np.dtype(dtype)), name)
            np.testing.assert_array_equal(f["time_offset"][:], data["records"]["offset"])
            np.testing.assert_array_equal(f["counter"][:], data["records"]["counter"])
            np.testing.assert_array_equal(f["time"][:], wrapped_times(data["start_time"], data["records"]["offset"]))
            np.testing.assert_array_equal(f["wavelength"][:], wavelengths)
            np.testing.assert_array_equal(f["physical_value"][:].view("<u4"), bits)
            np.testing.assert_array_equal(f["sensor_id"][:], data["sensor_id"])
            self.assertEqual(list(f["sensor_serial"][:].view("S31")[:, 0] if s else []), data["sensor_serial"])

    def check_xarray(self, data, folder, engine):
        path = os.path.join(folder, "out.h5")
        n, s = len(data["records"]), data["sensors"]
        bits, wavelengths = readings(data)
        with xr.open_dataset(path, engine=engine) as ds:
            self.assertEqual(dict(ds.sizes), {"record": n, "sensor": s})
            self.assertEqual(set(ds.coords), {"time", "sensor_id", "sensor_serial"})
            self.assertEqual(set(ds.data_vars), {"time_offset", "counter", "wavelength", "physical_value"})
            self.assertEqual(ds.physical_value.dims, ("record", "sensor"))
            self.assertEqual(ds.physical_value.dtype, np.float32)
            np.testing.assert_array_equal(ds.physical_value.values.view("<u4"), bits)
            np.testing.assert_array_equal(ds.wavelength.values, wavelengths)
            self.assertEqual(ds.wavelength.attrs["units"], "pm")
            times = wrapped_times(data["start_time"], data["records"]["offset"])
            np.testing.assert_array_equal(ds.time.values, times.astype("datetime64[s]").astype("datetime64[ns]"))
            np.testing.assert_array_equal(ds.time_offset.values, data["records"]["offset"])
            np.testing.assert_array_equal(ds.counter.values, data["records"]["counter"])
            np.testing.assert_array_equal(ds.sensor_id.values, data["sensor_id"])
            self.assertEqual(list(ds.sensor_serial.values), serial_texts(data))
            self.assertEqual(ds.attrs["format"], "measconv-hdf5 2")

    def check_ncdump(self, data, folder):
        path = os.path.join(folder, "out.h5")
        n, s = len(data["records"]), data["sensors"]
        header = run(["/usr/bin/ncdump", "-h", path], os.path.dirname(path)).stdout
        # netCDF takes a dimension of length 0 for an unlimited one.
        sensor = f"sensor = {s} ;" if s else "sensor = UNLIMITED ; // (0 currently)"
        self.assertIn(f"\trecord = UNLIMITED ; // ({n} currently)\n\t{sensor}\n\tserial_length = 31 ;\n", header)
        for declaration in ("int time_offset(record)", "int counter(record)", "int64 time(record)",
                            "int wavelength(record, sensor)", "float physical_value(record, sensor)",
                            "ubyte sensor_id(sensor)", "char sensor_serial(sensor, serial_length)"):
            self.assertIn(f"\t{declaration} ;\n", header)
        # Every value reads, with no error.
        subprocess.run(["/usr/bin/ncdump", path], check=True, stdout=subprocess.DEVNULL)

    def check_octave_dump(self, data, folder):
        """What the Octave script of octave_dump wrote: ncread's arrays, column-major, as bytes."""
        n, s = len(data["records"]), data["sensors"]
        bits, wavelengths = readings(data)
        sizes = dict(line.split(" ", 1) for line in read_text(os.path.join(folder, "octave.sizes")).splitlines())
        # ncread lists the dimensions in reverse: [sensor, record] is s x n, so its column-major
        # bytes are the records in order.
        self.assertEqual(sizes["physical_value"], f"single {s} {n}")
        self.assertEqual(sizes["wavelength"], f"int32 {s} {n}")
        self.assertEqual(sizes["time"], f"int64 {n} 1")
        self.assertEqual(sizes["sensor_serial"], f"char 31 {s}")
        np.testing.assert_array_equal(read_bin(os.path.join(folder, "physical_value.octave"), "<u4"), bits.ravel())
        np.testing.assert_array_equal(read_bin(os.path.join(folder, "wavelength.octave"), "<i4"), wavelengths.ravel())
        np.testing.assert_array_equal(read_bin(os.path.join(folder, "time.octave"), "<i8"),
                                      wrapped_times(data["start_time"], data["records"]["offset"]))
        np.testing.assert_array_equal(read_bin(os.path.join(folder, "time_offset.octave"), "<i4"),
                                      data["records"]["offset"])
        np.testing.assert_array_equal(read_bin(os.path.join(folder, "counter.octave"), "<i4"),
                                      data["records"]["counter"])
        np.testing.assert_array_equal(read_bin(os.path.join(folder, "sensor_id.octave"), "u1"), data["sensor_id"])
        serials = read_bin(os.path.join(folder, "sensor_serial.octave"), "S31")
        self.assertEqual(list(serials), data["sensor_serial"])

    def check_r_dump(self, data, folder, package):
        """What the R script of r_dump wrote for one package: doubles, column-major."""
        n, s = len(data["records"]), data["sensors"]
        bits, wavelengths = readings(data)
        widened = bits.view("<f4").astype(np.float64)
        prefix = os.path.join(folder, package)
        values = read_bin(prefix + ".physical_value", "<f8")
        # R's reversed dimensions: s x n, column-major, the records in order.
        np.testing.assert_array_equal(values.view("<u8"), widened.ravel().view("<u8"))
        np.testing.assert_array_equal(read_bin(prefix + ".wavelength", "<f8"), r_integers(wavelengths.ravel()))
        # hdf5r reads int64 values that fit 32 bits as R integers; ncdf4 reads them as doubles.
        times = wrapped_times(data["start_time"], data["records"]["offset"])
        np.testing.assert_array_equal(read_bin(prefix + ".time", "<f8"),
                                      r_integers(times) if package == "hdf5r" else times)
        np.testing.assert_array_equal(read_bin(prefix + ".counter", "<f8"), r_integers(data["records"]["counter"]))
        np.testing.assert_array_equal(read_bin(prefix + ".sensor_id", "<f8"), data["sensor_id"])
        serials = read_bytes(prefix + ".sensor_serial").split(b"\n")[:-1]
        self.assertEqual(serials, data["sensor_serial"])
        self.assertEqual(read_text(prefix + ".dims").split(), [str(s), str(n)])


def octave_dump(folders):
    """Reads out.h5 of every folder with Octave's ncread and writes each array's bytes."""
    script = "pkg load netcdf\nfolders = {" + quoted(folders) + "};\n" + r"""
names = {'physical_value', 'wavelength', 'time', 'time_offset', 'counter', 'sensor_id', 'sensor_serial'};
precisions = {'single', 'int32', 'int64', 'int32', 'int32', 'uint8', 'uchar'};
for k = 1:numel(folders)
  sizes = fopen(fullfile(folders{k}, 'octave.sizes'), 'w');
  for v = 1:numel(names)
    x = ncread(fullfile(folders{k}, 'out.h5'), names{v});
    out = fopen(fullfile(folders{k}, [names{v} '.octave']), 'w');
    fwrite(out, x, precisions{v});
    fclose(out);
    fprintf(sizes, '%s %s %d %d\n', names{v}, class(x), size(x, 1), size(x, 2));
  end
  fclose(sizes);
end
"""
    # An empty variable makes ncread warn ("variable size 0"); the arrays are still right.
    run(OCTAVE, None, script)


def r_dump(folders):
    """Reads out.h5 of every folder with hdf5r and with ncdf4 and writes each array as doubles."""
    script = "library(hdf5r)\nlibrary(ncdf4)\nfolders <- c(" + quoted(folders) + ")\n" + r"""
names <- c("physical_value", "wavelength", "time", "counter", "sensor_id")
save <- function(prefix, name, x) writeBin(as.double(x), paste0(prefix, ".", name), size = 8, endian = "little")
for (folder in folders) {
  path <- file.path(folder, "out.h5")
  f <- H5File$new(path, mode = "r")
  prefix <- file.path(folder, "hdf5r")
  for (name in names) save(prefix, name, f[[name]]$read(drop = FALSE))
  serials <- apply(f[["sensor_serial"]]$read(drop = FALSE), 2, paste, collapse = "")
  writeBin(charToRaw(paste0(serials, "\n", collapse = "", recycle0 = TRUE)), paste0(prefix, ".sensor_serial"))
  writeLines(as.character(dim(f[["physical_value"]]$read(drop = FALSE))), paste0(prefix, ".dims"))
  f$close_all()
  nc <- nc_open(path)
  prefix <- file.path(folder, "ncdf4")
  for (name in names) save(prefix, name, ncvar_get(nc, name, raw_datavals = TRUE, collapse_degen = FALSE))
  serials <- ncvar_get(nc, "sensor_serial")
  writeBin(charToRaw(paste0(serials, "\n", collapse = "", recycle0 = TRUE)), paste0(prefix, ".sensor_serial"))
  writeLines(as.character(c(nc$var[["physical_value"]]$varsize)), paste0(prefix, ".dims"))
  nc_close(nc)
}
"""
    run(RSCRIPT + ["-"], None, script)


class EveryClientReadsEveryValue(ClientChecks):
    """Files of many shapes, each read by every client."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.files = []
        for number, (name, options) in enumerate(SHAPES):
            folder = os.path.join(cls.dir.name, f"shape{number}")
            os.mkdir(folder)
            measgen(os.path.join(folder, "in.dat"), *options)
            measconv(folder, "h", "in.dat", "out")
            cls.files.append((name, folder, decode(os.path.join(folder, "in.dat"))))
        folders = [folder for _, folder, _ in cls.files]
        octave_dump(folders)
        r_dump(folders)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def for_each_file(self, check, *arguments):
        for name, folder, data in self.files:
            with self.subTest(name):
                check(data, folder, *arguments)

    def test_h5py(self):
        self.for_each_file(self.check_h5py)

    def test_xarray_h5netcdf(self):
        self.for_each_file(self.check_xarray, "h5netcdf")

    def test_xarray_netcdf4(self):
        self.for_each_file(self.check_xarray, "netcdf4")

    def test_ncdump(self):
        self.for_each_file(self.check_ncdump)

    def test_octave(self):
        self.for_each_file(self.check_octave_dump)

    def test_r_hdf5r(self):
        self.for_each_file(self.check_r_dump, "hdf5r")

    def test_r_ncdf4(self):
        self.for_each_file(self.check_r_dump, "ncdf4")


class Recipes(loading_support.RecipeFileTest):
    """The recipes of doc/hdf5.md, run as written on what measconv wrote."""
    LETTERS = "h"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.bits, cls.wavelengths = readings(cls.data)
        cls.valid = valid(cls.wavelengths)
        cls.times = wrapped_times(cls.data["start_time"], cls.data["records"]["offset"])
        cls.serials = serial_texts(cls.data)

    def check_masked(self, values, expected_bits):
        """values (records x sensors): NaN where a reading is invalid, the stored value elsewhere,
        as float32 itself or widened to double (R)."""
        values = np.asarray(values)
        self.assertEqual(values.shape, self.bits.shape)
        np.testing.assert_array_equal(np.isnan(values), ~self.valid)
        np.testing.assert_array_equal(values[self.valid], expected_bits[self.valid].view("<f4").astype(values.dtype))
        np.testing.assert_array_equal(values[self.valid].astype(np.float32).view("<u4"), expected_bits[self.valid])

    def test_h5py_and_pandas(self):
        pv = run_python_recipe(ARGS.recipes, "# HDF5 with h5py and pandas", self.cwd)["pv"]
        self.assertEqual(list(pv.columns), self.serials)
        self.assertEqual(list(pv.index.asi8 // 10**9), list(self.times))
        self.assertEqual(str(pv.index.tz), "UTC")
        self.assertEqual(pv.dtypes.tolist(), [np.float32] * 3)
        self.check_masked(pv.values, self.bits)

    def test_xarray(self):
        for engine in ("h5netcdf", "netCDF4"):
            with self.subTest(engine):
                variables = run_python_recipe(ARGS.recipes, "# HDF5 with xarray and " + engine, self.cwd)
                ds, pv = variables["ds"], variables["pv"]
                self.assertEqual(dict(ds.sizes), {"record": 3, "sensor": 3})
                self.assertEqual(pv.dims, ("record", "sensor"))
                self.assertEqual(list(ds.sensor.values), self.serials)
                self.assertEqual(str(ds.time.dtype), "datetime64[ns]")
                np.testing.assert_array_equal(ds.time.values, self.times.astype("datetime64[s]"))
                self.check_masked(pv.values, self.bits)
                np.testing.assert_array_equal(pv.sel(sensor="SN0002").values.view("<u4"), self.bits[:, 1])
                ds.close()

    def test_ncdump_of_the_sample(self):
        command = recipe(ARGS.recipes, "sh", "ncdump -h out.h5").strip()
        with tempfile.TemporaryDirectory() as cwd:
            measconv(cwd, "h", os.path.abspath(SAMPLE), "out")
            shown = run(command.split(), cwd).stdout
        blocks = re.findall(r"```\n(netcdf out \{\n.*?\n\})\n```", read_bytes(ARGS.recipes).decode("utf-8"), re.S)
        self.assertEqual(blocks, [shown.rstrip("\n")])

    def octave_values(self, block):
        """Runs an Octave block in the recipe folder; returns its pv, t and serials."""
        script = block + r"""
out = fopen('pv.recipe', 'w'); fwrite(out, pv', 'single'); fclose(out);
out = fopen('t.recipe', 'w'); fwrite(out, t, 'double'); fclose(out);
out = fopen('serials.recipe', 'w'); fprintf(out, '%s\n', serials{:}); fclose(out);
out = fopen('sizes.recipe', 'w'); fprintf(out, '%d %d %d %d %d %d\n', size(pv), size(t), size(serials)); fclose(out);
"""
        run(OCTAVE, self.cwd, script)
        sizes = [int(x) for x in read_text(os.path.join(self.cwd, "sizes.recipe")).split()]
        pv = read_bin(os.path.join(self.cwd, "pv.recipe"), "<f4").reshape(3, 3)
        t = read_bin(os.path.join(self.cwd, "t.recipe"), "<f8")
        serials = read_text(os.path.join(self.cwd, "serials.recipe")).splitlines()
        return sizes, pv, t, serials

    def test_octave(self):
        sizes, pv, t, serials = self.octave_values(recipe(ARGS.recipes, "octave", "% HDF5 with GNU Octave"))
        self.assertEqual(sizes, [3, 3, 3, 1, 3, 1])  # pv records x sensors, t and serials columns
        self.check_masked(pv, self.bits)
        # Date numbers: days since year 0 (719529 is 1970-01-01), in UTC.
        np.testing.assert_allclose(t, self.times / 86400 + 719529, rtol=0, atol=1e-9)
        self.assertEqual(serials, self.serials)

    def test_matlab_ncread(self):
        """The MATLAB ncread snippet, run in Octave, whose ncread gives MATLAB's shapes; only
        datetime (MATLAB's) is left out, keeping the seconds it converts."""
        blocks = [b for b in recipe_blocks(ARGS.recipes, "matlab").values() if "ncread(" in b]
        self.assertEqual(len(blocks), 1)
        block = re.sub(r"datetime\((double\(ncread\('out\.h5', 'time'\)\)), 'ConvertFrom'[^;]*;", r"\1;", blocks[0])
        self.assertNotIn("datetime", block)
        sizes, pv, t, serials = self.octave_values("pkg load netcdf\n" + block)
        self.assertEqual(sizes, [3, 3, 3, 1, 3, 1])
        self.check_masked(pv, self.bits)
        np.testing.assert_array_equal(t, self.times)
        self.assertEqual(serials, self.serials)

    def test_matlab_h5read_names_and_shapes(self):
        blocks = [b for b in recipe_blocks(ARGS.recipes, "matlab").values() if "h5read(" in b]
        self.assertEqual(len(blocks), 1)
        block = blocks[0]
        read = re.findall(r"h5read\('out\.h5', '/([a-z_]+)'\)(')?", block)
        self.assertEqual(sorted(name for name, _ in read), ["physical_value", "time", "wavelength"])
        with h5py.File(os.path.join(self.cwd, "out.h5"), "r") as f:
            for name, transposed in read:
                # MATLAB lists the dimensions in reverse: a transposed [n, s] set is records x sensors.
                self.assertEqual(len(f[name].shape), 2 if transposed else 1, name)
                self.assertEqual(f[name].shape[0], 3, name)
            self.assertIn(f"wl < {f.attrs['valid_wavelength_min']} | wl > {f.attrs['valid_wavelength_max']}", block)

    def r_values(self, block):
        script = block + r"""
writeBin(as.double(t(pv)), "pv.recipe", size = 8, endian = "little")
writeBin(as.double(time), "time.recipe", size = 8, endian = "little")
writeLines(c(class(time)[1], attr(time, "tzone"), dim(pv)), "meta.recipe")
writeBin(charToRaw(paste0(serials, "\n", collapse = "", recycle0 = TRUE)), "serials.recipe")
"""
        run(RSCRIPT + ["-"], self.cwd, script)
        pv = read_bin(os.path.join(self.cwd, "pv.recipe"), "<f8").reshape(3, 3)
        time = read_bin(os.path.join(self.cwd, "time.recipe"), "<f8")
        meta = read_text(os.path.join(self.cwd, "meta.recipe")).split()
        serials = read_text(os.path.join(self.cwd, "serials.recipe")).splitlines()
        return pv, time, meta, serials

    def test_r(self):
        for package in ("hdf5r", "ncdf4"):
            with self.subTest(package):
                pv, time, meta, serials = self.r_values(recipe(ARGS.recipes, "r", "# HDF5 with R and " + package))
                self.assertEqual(meta, ["POSIXct", "UTC", "3", "3"])
                self.check_masked(pv, self.bits)
                np.testing.assert_array_equal(time, self.times)
                self.assertEqual(serials, self.serials)


if __name__ == "__main__":
    loading_support.main(sys.modules[__name__])
