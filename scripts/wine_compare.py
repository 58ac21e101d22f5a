#!/usr/bin/env python3
"""Runs the Linux and the Windows build (under Wine) on the same inputs and requires the same
bytes from both: data files made by measgen, standard output, standard error and exit codes of
measconv, measinfo and meas, and every file of the output trees, the HDF5 files included (every
letter set has h). Then converts serials that Windows cannot take as file names and requires
every sensor's files under the Windows name rules, converts to a base beyond ASCII, and
interrupts a conversion with Ctrl-C.

    wine_compare.py LINUX_BUILD WINDOWS_BUILD WORK_DIR

WINEPREFIX must name an initialised Wine prefix. Ends with the failed checks, if any, and
"wine: N passed, F failed"; exits 1 when a check failed.
"""
import itertools
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback

LINUX_BUILD, WINDOWS_BUILD, WORK = (os.path.abspath(a) for a in sys.argv[1:4])
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PREFIX = os.environ["WINEPREFIX"]
ENV = dict(os.environ, TZ="UTC", LC_ALL="C")
HEADER_SIZE = 23344

# The programs compared, by their place in a build folder (the Windows ones end in .exe).
PROGRAMS = {program: "bin/" + program for program in ("measconv", "measgen", "measinfo", "meas")}

# The list files name some inputs and outputs on drive C: the Windows build finds them there, the
# Linux build takes "C:\measconv-test\in\a.dat" for one file name in its working directory.
DRIVE_C_DIR = "measconv-test"
DRIVE_C = "C:\\" + DRIVE_C_DIR + "\\"

# Data files made by measgen on both sides: name and options.
GENERATED = [
    ("gen_many", ["--sensors", "5", "--records", "300", "--rate", "7", "--start", "1700000000",
                  "--invalid-every", "4", "--seed", "3"]),
    ("gen_wrap", ["--sensors", "2", "--records", "20", "--rate", "1", "--start", "2147483640"]),
    ("gen_before_1970", ["--sensors", "3", "--records", "5", "--start", "-100000",
                         "--record", "-5,-3,-1.25:1499999,2.5:1650000,0.00005:1500000"]),
    ("gen_texts", ["--serials", "A,a,A_2,A,,../up", "--title", "line\nbreak", "--company", "tab\there",
                   "--idn", "cr\rhere", "--records", "4"]),
    ("gen_no_sensor", ["--sensors", "0", "--records", "3"]),
    ("gen_partial", ["--sensors", "2", "--records", "3", "--trailing-bytes", "5"]),
    # Large enough for several HDF5 chunks: along the records, and of the [n, s] datasets.
    ("gen_chunks_1d", ["--sensors", "1", "--records", "140000", "--invalid-every", "9"]),
    ("gen_chunks_2d", ["--sensors", "127", "--records", "5000", "--invalid-every", "5"]),
    ("bad_magic", ["--magic", "XY", "--records", "2"]),
    ("bad_version", ["--file-version", "1.2", "--records", "2"]),
    ("bad_count", ["--count-byte", "200", "--records", "2"]),
    ("short", ["--records", "2", "--truncate", "100"]),
    ("empty", ["--truncate", "0"]),
    # For measinfo only: gaps, time running back and a counter jump to list, a stretch to shade.
    ("gen_jumps", ["--sensors", "3", "--records", "600", "--rate", "10", "--start", "1700000000",
                   "--time-jump", "100:30", "--time-jump", "300:-5", "--counter-jump", "200:4",
                   "--invalid-stretch", "50:20:2"]),
]
VALID = ["sample", "gen_many", "gen_wrap", "gen_before_1970", "gen_texts", "gen_no_sensor", "gen_partial"]
LARGE = ["gen_chunks_1d", "gen_chunks_2d"]  # converted to HDF5 only
BROKEN = ["bad_magic", "bad_version", "bad_count", "short", "empty"]

# Every subset of the other type letters, each with h (the HDF5 file), in alternating case; "x"
# stands for the empty subset (an empty field would take the letters of the entry before).
LETTER_SETS = []
for n in range(32):
    word = ("".join(c for bit, c in enumerate("pwtcs") if n >> bit & 1) or "x") + "h"
    LETTER_SETS.append(word.upper() if n % 3 == 1 else word)

# Serials, their stems under the Linux (POSIX) rules and under the Windows rules.
HOSTILE_SERIALS = [
    ("CON", "CON", "_CON"),
    ("aux.txt", "aux.txt", "_aux.txt"),
    ("Lpt9", "Lpt9", "_Lpt9"),
    ("nul .csv", "nul .csv", "_nul .csv"),
    ("com1", "com1", "_com1"),
    ("a<b>c", "a<b>c", "a_b_c"),
    ("q:x", "q:x", "q_x"),
    ("p|i", "p|i", "p_i"),
    ("w?", "w?", "w_"),
    ("s*", "s*", "s_"),
    ('q"t', 'q"t', "q_t"),
    ("t\tx", "t\tx", "t_x"),
    ("dot.", "dot.", "dot_"),
    ("sp ", "sp ", "sp_"),
    ("x.", "x.", "x_"),
    ("x_", "x_", "x__2"),
    ("SN1", "SN1", "SN1"),
]

passed = 0
failures = []
# Runs that Wine ended before the program began (see Side.run), each run again.
wine_start_failures = []


def check(ok, what):
    global passed
    if ok:
        passed += 1
    else:
        failures.append(what)
        print("FAILED: " + what, flush=True)
    return ok


class Side:
    def __init__(self, name, cwd, build, under_wine, drive_c=None):
        self.name = name
        self.cwd = cwd
        self.build = build
        self.under_wine = under_wine
        self.drive_c = drive_c  # where drive C's test folder is, or None: names stay in cwd

    def command(self, program):
        path = os.path.join(self.build, PROGRAMS[program])
        return ["wine", path + ".exe"] if self.under_wine else [path]

    def run(self, program, args, env=ENV):
        """Exit code, standard output and standard error of PROGRAM ARGS in this side's folder."""
        result = self.run_once(program, args, env)
        # Now and then, on a loaded machine, Wine ends a process with exit status 1 before the
        # program has begun (no file touched, nothing printed; seen about once in 10,000 runs).
        # None of the programs ends so: each says why it exits with 1. Such a run is run again,
        # and counted in the summary, so the comparison does not depend on that chance.
        attempts = 1
        while self.under_wine and result == (1, b"", b"") and attempts < 3:
            attempts += 1
            wine_start_failures.append("%s %r" % (program, args))
            print("note: Wine ended %s %r with status 1 before it began; running it again" % (program, args), flush=True)
            result = self.run_once(program, args, env)
        return result

    def run_once(self, program, args, env):
        # Standard output and error go to files, not pipes: a Wine service that a run starts
        # would hold a pipe open long after the program has ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run(self.command(program) + args, cwd=self.cwd, env=env, stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=err).returncode
            out.seek(0)
            err.seek(0)
            return code, out.read(), err.read()

    def c_path(self, relative):
        """Where a file named C:\\measconv-test\\RELATIVE ends up on this side."""
        if self.drive_c is None:
            return os.path.join(self.cwd, DRIVE_C + relative.replace("/", "\\"))
        return os.path.join(self.drive_c, relative)

    def tree(self):
        """Every file of this side, by a name that is the same on both sides."""
        files = {}
        roots = [(self.cwd, "")] + ([(self.drive_c, DRIVE_C)] if self.drive_c else [])
        for root, prefix in roots:
            for directory, _, names in os.walk(root):
                for name in names:
                    path = os.path.join(directory, name)
                    key = (prefix + os.path.relpath(path, root)).replace("\\", "/")
                    with open(path, "rb") as f:
                        files[key] = f.read()
        return files


def make_sides(work, drive_c):
    """A working folder for each build, empty; and drive C's test folder for the Windows one."""
    for folder in (work, drive_c):
        if folder and os.path.exists(folder):
            shutil.rmtree(folder)
    linux = Side("linux", os.path.join(work, "linux"), LINUX_BUILD, False)
    windows = Side("windows", os.path.join(work, "windows"), WINDOWS_BUILD, True, drive_c)
    for side in (linux, windows):
        os.makedirs(side.cwd)
    return linux, windows


def make_inputs(linux, windows):
    """Each side makes the data files with its own measgen; they must be the same bytes."""
    for side in (linux, windows):
        for folder in ("in", "out", "out/single", "out/batch"):
            os.makedirs(os.path.join(side.cwd, folder))
    os.makedirs(os.path.join(windows.drive_c, "in"))
    os.makedirs(os.path.join(windows.drive_c, "out"))
    for name, options in GENERATED:
        results = {}
        for side in (linux, windows):
            results[side.name] = side.run("measgen", ["in/%s.dat" % name] + options)
        check(results["linux"] == results["windows"], "measgen %s: exit code and messages" % name)
    for side in (linux, windows):
        shutil.copy(os.path.join(SOURCE, "examples", "sample.dat"), os.path.join(side.cwd, "in", "sample.dat"))
        for name in VALID + BROKEN:
            shutil.copy(os.path.join(side.cwd, "in", name + ".dat"), side.c_path("in/%s.dat" % name))
        # A data file whose name is one of its own combined outputs: it must stay untouched.
        shutil.copy(os.path.join(side.cwd, "in", "gen_many.dat"), os.path.join(side.cwd, "in", "self_pv.txt"))


def compare_runs(linux, windows, args, what, program="measconv", env=ENV):
    """The same exit code, standard output and standard error (no word from Wine either)."""
    results = [side.run(program, args, env) for side in (linux, windows)]
    if not check(results[0] == results[1], "%s: exit code, standard output and error" % what):
        print("  linux:   %r\n  windows: %r" % (results[0], results[1]))


def single_mode(linux, windows):
    for name in ("sample", "gen_many"):
        for letters in LETTER_SETS:
            compare_runs(linux, windows, [letters, "in/%s.dat" % name, "out/single/%s_%s" % (name, letters)],
                         "single %s %s" % (letters, name))
    for name in LARGE:
        compare_runs(linux, windows, ["h", "in/%s.dat" % name, "out/single/" + name], "single h " + name)
    for name in VALID[2:] + BROKEN + ["missing"]:
        compare_runs(linux, windows, ["tpwcsh", "in/%s.dat" % name, "out/single/" + name], "single tpwcsh " + name)
    compare_runs(linux, windows, ["tpwch", DRIVE_C + "in\\gen_wrap.dat", DRIVE_C + "out\\single_c"],
                 "single with C: paths")
    compare_runs(linux, windows, ["tph", "in/self_pv.txt", "in/self"], "single, output is the input")
    # A second conversion to the same base replaces the first one's files, the .h5 included.
    for name in ("gen_many", "sample"):
        compare_runs(linux, windows, ["ch", "in/%s.dat" % name, "out/single/replaced"], "single ch %s, replacing" % name)
    for args in ([], ["tpw"], ["tpw", "a", "b", "c"]):
        compare_runs(linux, windows, args, "usage with %d arguments" % len(args))
    compare_runs(linux, windows, ["tph", "missing.lst"], "missing list file")


def list_text():
    """A list file with CR LF lines: every letter set on every valid input, C: and relative paths."""
    lines = ["# Every letter set of every valid input", ""]
    entries = list(itertools.product(VALID, LETTER_SETS))
    for i, (name, letters) in enumerate(entries):
        if i % 2 == 0:
            lines.append("%sin\\%s.dat, %sout\\%s_%s, %s" % (DRIVE_C, name, DRIVE_C, name, letters, letters))
        else:
            lines.append("in/%s.dat,out/batch/%s_%s,%s" % (name, name, letters, letters))
    for name in BROKEN + ["missing"]:
        lines.append("%sin\\%s.dat , out/batch/%s , tpwcsh" % (DRIVE_C, name, name))
    lines.append("in/self_pv.txt, in/self, tph")
    lines.append("   in/ gen_wrap.dat ,out/batch/ spaced ")  # no TYPE: the letters of the entry before
    lines.append("#\x1a a Ctrl-Z in a comment does not end the list")
    # A line longer than a piece: its tail, from byte 998 on, is read as a line of its own.
    head = "in/gen_partial.dat,out/batch/long_head,tpch"
    lines.append(head + " " * (998 - len(head)) + "in/gen_partial.dat,out/batch/long_tail,sch")
    lines.append("in/sample.dat,out/batch/last,ptcwsh")
    return "\r\n".join(lines) + "\r\n"


def batch_mode(linux, windows):
    text = list_text().encode("latin-1")
    for side in (linux, windows):
        with open(os.path.join(side.cwd, "night.lst"), "wb") as f:
            f.write(text)
        with open(side.c_path("short.lst"), "wb") as f:
            f.write(b"in/gen_many.dat,out/batch/from_c_list,cwh\r\n")
    compare_runs(linux, windows, ["tpwch", "night.lst"], "batch night.lst")
    compare_runs(linux, windows, ["tph", DRIVE_C + "short.lst"], "batch with a C: list path")
    compare_runs(linux, windows, ["tph", "out"], "batch with a directory as list")
    compare_runs(linux, windows, ["tph", "in/sample.dat"], "batch with a data file as list")


def measinfo_runs(linux, windows):
    """Reports, JSON lines, checks and plots (compared with the trees) of every input."""
    names = ["in/%s.dat" % name for name in VALID + BROKEN + ["gen_jumps"]]
    for options in ([], ["--json"], ["--check"], ["--json", "--check"]):
        compare_runs(linux, windows, options + names, "measinfo %s" % " ".join(options), "measinfo")
    compare_runs(linux, windows, ["--check", "in/sample.dat", "in/missing.dat"], "measinfo, missing file", "measinfo")
    for name in ("sample", "gen_many", "gen_wrap", "gen_before_1970", "gen_jumps"):
        compare_runs(linux, windows, ["--plot", "out/%s.svg" % name, "in/%s.dat" % name], "measinfo --plot " + name,
                     "measinfo")
    # A window (local times, here UTC), two of the sensors, their wavelengths.
    compare_runs(linux, windows, ["--plot", "out/gen_jumps_window.svg", "--plot-from", "2023-11-14 22:13:30",
                                  "--plot-to", "2023-11-14T22:14:30", "--plot-sensors", "1,3", "--plot-wavelength",
                                  "in/gen_jumps.dat"], "measinfo --plot of a window", "measinfo")


# meas: letter sets and named outputs, a selection, JSON lines, usage errors and help; its other
# commands.
# Outputs are always named: the default (the HDF5 file) depends on the build.
MEAS_RUNS = [
    ["convert", "-q", "-t", "tpwcs", "-d", "out/meas"] + ["in/%s.dat" % name for name in VALID + BROKEN + ["missing"]],
    ["convert", "-q", "--outputs", "pv.txt,wl.csv,split-csv", "-o", "out/meas_named", "in/gen_many.dat"],
    ["convert", "-q", "-t", "cpws", "--sensors", "2,SN0004", "--from", "2023-11-14T22:13:30", "--to", "40",
     "--every", "3", "-o", "out/meas_selected", "in/gen_many.dat"],
    ["convert", "--json", "-t", "cw", "-d", "out/meas_json", "in/sample.dat", "in/short.dat", "in/bad_magic.dat"],
    ["convert", "-t", "tw", "-o", DRIVE_C + "out\\meas_c", DRIVE_C + "in\\gen_wrap.dat"],
    ["convert", "--sensor", "1", "in/sample.dat"],
    ["convert", "--from", "2024-02-30", "in/sample.dat"],
    ["convert", "-t", "csv", "in/sample.dat"],
    ["conver"],
    [],
    ["--help"],
    ["convert", "--help"],
    ["--version"],
    # info, check, plot and gen: measinfo's and measgen's work, worded by meas.
    ["info", "in/sample.dat", "in/gen_jumps.dat", "in/short.dat"],
    ["info", "--json", "in/gen_jumps.dat", "in/missing.dat"],
    ["check", "in/sample.dat", "in/gen_jumps.dat", "in/bad_magic.dat"],
    ["check", "--json", "in/gen_partial.dat"],
    ["plot", "-o", "out/meas_plot.svg", "--plot-from", "2023-11-14 22:13:30", "--plot-to", "2023-11-14T22:14:30",
     "--plot-sensors", "1,3", "--plot-wavelength", "in/gen_jumps.dat"],
    ["plot", DRIVE_C + "in\\gen_wrap.dat"],  # the picture beside the data file, on C:
    ["gen", "--sensors", "3", "--records", "40", "--time-jump", "10:-3", "--invalid-stretch", "5:3:2",
     "out/meas_gen.dat"],
    ["gen", "out/meas_gen_empty.dat"],
    ["info", "--check", "in/sample.dat"],
    ["plot", "in/sample.dat", "in/gen_many.dat"],
    ["gen", "--recrods", "1", "out/meas_not_made.dat"],
    ["info", "--help"],
    ["check", "--help"],
    ["plot", "--help"],
    ["gen", "--help"],
]


def meas_runs(linux, windows):
    for args in MEAS_RUNS:
        compare_runs(linux, windows, args, "meas " + " ".join(args), "meas")


def compare_trees(linux, windows):
    trees = {side.name: side.tree() for side in (linux, windows)}
    names = sorted(set(trees["linux"]) | set(trees["windows"]))
    for name in names:
        a, b = trees["linux"].get(name), trees["windows"].get(name)
        if a is None or b is None:
            check(False, "%s only in the %s tree" % (name, "linux" if b is None else "windows"))
        else:
            check(a == b, "%s differs (%d and %d bytes)" % (name, len(a), len(b)))
    return len(names)


def hostile_serials(linux, windows):
    """Every sensor's data in files of its own, under the Windows names there: the same bytes
    as the Linux build's file of that sensor."""
    serials = ",".join(serial for serial, _, _ in HOSTILE_SERIALS)
    for side in (linux, windows):
        code, _, err = linux.run("measgen", [os.path.join(side.cwd, "hostile.dat"), "--serials", serials,
                                             "--records", "6"])
        check(code == 0 and err == b"", "measgen hostile.dat")
        run = side.run("measconv", ["sctph", "hostile.dat", "hostile"])
        check(run == (0, b"", b""), "%s: sctph hostile.dat prints nothing (%r)" % (side.name, run))
    for side, column in ((linux, 1), (windows, 2)):
        expected = sorted(row[column] + ext for row in HOSTILE_SERIALS for ext in (".csv", ".txt"))
        found = sorted(os.listdir(os.path.join(side.cwd, "hostile")))
        check(found == expected, "%s per-sensor names: %r" % (side.name, sorted(set(found) ^ set(expected))))
    for serial, posix, windows_stem in HOSTILE_SERIALS:
        for ext in (".csv", ".txt"):
            paths = (os.path.join(linux.cwd, "hostile", posix + ext), os.path.join(windows.cwd, "hostile", windows_stem + ext))
            if os.path.exists(paths[0]) and os.path.exists(paths[1]):
                with open(paths[0], "rb") as a, open(paths[1], "rb") as b:
                    check(a.read() == b.read(), "serial %r: %s%s has the data of %s%s" % (serial, windows_stem, ext, posix, ext))
            else:
                check(False, "serial %r: %s%s" % (serial, windows_stem, ext))
    for side in (linux, windows):
        extra = sorted(set(os.listdir(side.cwd)) - {"hostile", "hostile.dat", "hostile_pv.txt", "hostile_pv.csv", "hostile.h5"})
        check(extra == [], "%s: nothing written outside the output names: %r" % (side.name, extra))


def non_ascii_names(linux, windows):
    """An output base beyond ASCII. Wine hands it to the program in the ANSI code page (1252
    under a UTF-8 locale), in which the C runtime names the text and CSV files; the HDF5
    library reads names as UTF-8. Every output must still be where the name says, with the
    Linux build's bytes (both end up as UTF-8 names on disk)."""
    for side in (linux, windows):
        shutil.copy(os.path.join(SOURCE, "examples", "sample.dat"), os.path.join(side.cwd, "in.dat"))
    utf8 = dict(ENV, LC_ALL="C.UTF-8")
    for letters in ("pch", "tpwcsh"):
        compare_runs(linux, windows, [letters, "in.dat", "m\u00e4ssung_" + letters], "single %s, base beyond ASCII" % letters,
                     env=utf8)
    compare_trees(linux, windows)


def interrupted_run(work):
    """Ctrl-C in the middle of a conversion: the Windows build removes its unfinished outputs,
    says so on standard error and ends as the C runtime ends on a signal (exit status 3)."""
    if os.path.exists(work):
        shutil.rmtree(work)
    os.makedirs(work)
    with open(os.path.join(SOURCE, "examples", "sample.dat"), "rb") as f:
        sample = f.read()
    records = sample[HEADER_SIZE:]
    more = records * (2**20 // len(records) + 1)  # over 1 MiB of whole records: a read block's worth
    feed = os.path.join(work, "feed")
    os.mkfifo(feed)
    signalled = threading.Event()
    done = threading.Event()

    def feeder():
        # A read that waits is not cut short by Ctrl-C on Windows (it is on Linux): the stop shows
        # when the read returns. So the input never ends here: after the signal, more records
        # follow until the program has ended, however long the signal takes to reach it.
        try:
            with open(feed, "wb") as fifo:
                fifo.write(sample)
                fifo.flush()
                signalled.wait()
                while not done.is_set():
                    fifo.write(more)
                    fifo.flush()
        except BrokenPipeError:
            pass

    writer = threading.Thread(target=feeder, daemon=True)
    writer.start()
    with open(os.path.join(work, "stdout"), "wb") as out, open(os.path.join(work, "stderr"), "wb") as err:
        program = subprocess.Popen(["wine", os.path.join(WINDOWS_BUILD, PROGRAMS["measconv"] + ".exe"), "tpwcsh", "feed", "out"],
                                   cwd=work, env=ENV, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        # The per-sensor files, made once the header has been read, show the conversion under
        # way with its handlers in place; it waits for more records then.
        started = time.monotonic()
        while not os.path.exists(os.path.join(work, "out", "SN0004.csv")) and time.monotonic() - started < 120:
            if program.poll() is not None:
                break
            time.sleep(0.05)
        program.send_signal(signal.SIGINT)
        signalled.set()
        try:
            code = program.wait(timeout=120)
        except subprocess.TimeoutExpired:
            program.kill()
            code = program.wait()
    done.set()
    if writer.is_alive():
        # A writer still waiting for a reader (the program never opened its input) is let go; one
        # in a write gets EPIPE, as the program has ended.
        os.close(os.open(feed, os.O_RDONLY | os.O_NONBLOCK))
    writer.join(timeout=10)
    with open(os.path.join(work, "stdout"), "rb") as f:
        out = f.read()
    with open(os.path.join(work, "stderr"), "rb") as f:
        err = f.read()
    check((code, out, err) == (3, b"", b"measconv: interrupted, removed the unfinished outputs of 'feed'\n"),
          "Ctrl-C under Wine: %r" % ((code, out, err),))
    left = sorted(os.listdir(work))
    check(left == ["feed", "out", "stderr", "stdout"] and os.listdir(os.path.join(work, "out")) == [],
          "Ctrl-C under Wine removes the unfinished outputs: %r" % left)


def run_part(name, part, *args):
    """Runs one part of the comparison; an error in it fails a check and the next part runs."""
    try:
        return part(*args)
    except Exception as error:  # a broken part is a failed check, with its traceback
        traceback.print_exc()
        check(False, "%s stopped: %s: %s" % (name, type(error).__name__, error))
        return None


def main():
    linux, windows = make_sides(os.path.join(WORK, "outputs"), os.path.join(PREFIX, "drive_c", DRIVE_C_DIR))
    run_part("making the inputs", make_inputs, linux, windows)
    run_part("single mode", single_mode, linux, windows)
    run_part("batch mode", batch_mode, linux, windows)
    run_part("measinfo", measinfo_runs, linux, windows)
    run_part("meas", meas_runs, linux, windows)
    compared = run_part("comparing the trees", compare_trees, linux, windows)
    print("compared %s files of each tree" % compared)
    run_part("per-sensor names", lambda: hostile_serials(*make_sides(os.path.join(WORK, "names"), None)))
    run_part("names beyond ASCII", lambda: non_ascii_names(*make_sides(os.path.join(WORK, "non_ascii"), None)))
    run_part("Ctrl-C", interrupted_run, os.path.join(WORK, "interrupted"))
    if wine_start_failures:
        print("wine: %d runs that Wine ended before they began were run again: %s"
              % (len(wine_start_failures), "; ".join(wine_start_failures)))
    if failures:
        print("wine: the failed checks%s:" % (" (the first 20)" if len(failures) > 20 else ""))
        for what in failures[:20]:
            print("  " + what)
    print("wine: %d passed, %d failed" % (passed, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
