#!/usr/bin/env python3
"""Every I/O call of a conversion fails once, in turn.

For four conversions (the sample with tpwcsh, a three-entry list, a file of several read
blocks, the sample with a per-sensor name that is a hard link to it) with MEASCONV_JOBS=1 and 2, each call number N of openat, newfstatat, fstat, read,
write, pwrite64, close, rename and unlink is made to fail once (strace -e inject=CALL:error=E:
when=N; counted per thread, as strace counts), and after each run the rules of the user guide's
guarantees are checked against a clean run:

- the run ends by itself (no signal, no hang) with a documented exit code: 0; 1 only when the
  messages could not be written to standard output (and standard error says so); 2 only for a
  list that could not be read ("Failed to open LIST"); 127 only when the dynamic loader could
  not load the program (nothing written then);
- the data files and the list keep their bytes;
- standard output holds only the documented messages, standard error nothing else;
- every output of an entry that is missing or differs from the clean run's is named by a message
  ("Can not write 'F'." or "Can not open 'F' to export."), unless a message says the conversion
  ended before its records ("Can not open 'INPUT' to read data.", "Can not read 'INPUT'.", or a
  combined file or the .h5 that could not be opened);
- what a text output holds is a beginning of the clean run's bytes;
- a .h5 file is there only when it and every other output of its entry equal the clean run's;
- no other file is left, except a temporary .h5 name when unlink failed.

By default a sample of call numbers runs (the test suite's entry, about a minute on two cores);
--full runs every call number with every error. Exit status 0 when every run kept the rules, 1
otherwise (each broken rule is printed), 2 for a usage or set-up error.
"""

import argparse
import concurrent.futures
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

CALLS = ["openat", "newfstatat", "fstat", "read", "write", "pwrite64", "close", "rename", "unlink"]
ERRORS = {
    "openat": ["EIO", "EACCES"],
    "newfstatat": ["EIO", "EACCES"],
    "fstat": ["EIO", "EACCES"],
    "read": ["EIO"],
    "write": ["EIO", "ENOSPC"],
    "pwrite64": ["EIO", "ENOSPC"],
    "close": ["EIO"],
    "rename": ["EIO", "EACCES"],
    "unlink": ["EIO", "EACCES"],
}
RUN_TIMEOUT = 60  # seconds; a run that takes longer hangs
LOST_MESSAGES = "measconv: could not write the messages to standard output"
NO_HDF5_NOTICE = "measconv: this build has no HDF5 support; 'h' is ignored"
MESSAGE_FORMS = [
    re.compile(r"^Can not open '(.*)' to export\.$"),
    re.compile(r"^Can not write '(.*)'\.$"),
    re.compile(r"^Can not read '(.*)'\.$"),
    re.compile(r"^Can not open '(.*)' to read data\.$"),
    re.compile(r"^Failed to open (.*)$"),
]


class Entry:
    """One conversion: its input and output base (and which files of a run are its outputs)."""

    def __init__(self, data_file, base):
        self.input = data_file
        self.base = base

    def owns(self, name):
        return name == self.base + ".h5" or name.startswith(self.base + "_") or name.startswith(self.base + "/")

    def combined_or_hdf5(self, name):
        return name == self.base + ".h5" or re.fullmatch(re.escape(self.base) + r"_(pv|wl)\.(txt|csv)", name)


class Case:
    def __init__(self, name, args, entries, kept, setup=None, setup_files=(), clean_messages=""):
        self.name = name
        self.args = args
        self.entries = entries
        self.kept = kept  # files that must keep their bytes: the data files and the list
        self.list_file = kept[-1] if args[-1].endswith(".lst") else None
        self.setup = setup  # run in each run's directory before the run
        self.setup_files = setup_files  # the files it makes there
        self.clean_messages = clean_messages  # what a run without a failure prints


def link_a_sensor_file_to_the_input(directory):
    os.mkdir(os.path.join(directory, "k"))
    os.link(os.path.join(directory, "e.dat"), os.path.join(directory, "k", "SN0002.csv"))


def make_inputs(directory, measgen, sample):
    shutil.copy(sample, os.path.join(directory, "a.dat"))
    shutil.copy(sample, os.path.join(directory, "b.dat"))
    shutil.copy(sample, os.path.join(directory, "e.dat"))
    # Two sensors in 50000 records: 1.2 MB, more than one 1 MiB read block.
    subprocess.run([measgen, "--sensors", "2", "--records", "50000", "--rate", "10", "--invalid-every", "7",
                    os.path.join(directory, "m.dat")], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([measgen, "--sensors", "3", "--records", "40", "--seed", "5", os.path.join(directory, "c.dat")],
                   check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(directory, "l.lst"), "w") as list_file:
        list_file.write("a.dat,la\nb.dat,lb,tpc\nc.dat,lc,tpwcsh\n")
    return [
        Case("sample", ["tpwcsh", "a.dat", "o"], [Entry("a.dat", "o")], ["a.dat"]),
        Case("list", ["tpwcsh", "l.lst"], [Entry("a.dat", "la"), Entry("b.dat", "lb"), Entry("c.dat", "lc")],
             ["a.dat", "b.dat", "c.dat", "l.lst"]),
        # Without h, so that with two threads the records are formatted in parallel.
        Case("multi-block", ["tpwcs", "m.dat", "m"], [Entry("m.dat", "m")], ["m.dat"]),
        # A per-sensor name that is a hard link to the input: never written, whichever call fails.
        Case("linked", ["tpwcsh", "e.dat", "k"], [Entry("e.dat", "k")], ["e.dat"], link_a_sensor_file_to_the_input,
             [os.path.join("k", "SN0002.csv")], "Can not open 'k/SN0002.csv' to export.\nCan not write 'k.h5'.\n"),
    ]


def before_run(inputs, case):
    """The names of the files a run's directory holds before the run: the data files, the list and
    what the case's set-up adds."""
    names = set(os.listdir(inputs))
    return names | set(case.setup_files)


def file_tree(directory):
    tree = {}
    for root, _, files in os.walk(directory):
        for name in files:
            path = os.path.join(root, name)
            if os.path.islink(path):
                continue
            with open(path, "rb") as f:
                tree[os.path.relpath(path, directory)] = f.read()
    return tree


def environment(jobs):
    env = dict(os.environ)
    env.update({"TZ": "UTC", "LC_ALL": "C", "MEASCONV_JOBS": str(jobs),
                "ASAN_OPTIONS": env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"})
    return env


def run(strace_words, measconv, case, jobs, directory):
    command = ["strace", "-f", "-qq"] + strace_words + ["--", measconv] + case.args
    try:
        done = subprocess.run(command, cwd=directory, env=environment(jobs), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=RUN_TIMEOUT)
        return done.returncode, done.stdout.decode("latin-1"), done.stderr.decode("latin-1")
    except subprocess.TimeoutExpired:
        return None, "", ""


def fresh_copy(inputs, work, label, case):
    directory = tempfile.mkdtemp(prefix=label + "-", dir=work)
    for name in os.listdir(inputs):
        shutil.copy(os.path.join(inputs, name), directory)
    if case.setup:
        case.setup(directory)
    return directory


def call_numbers(trace_path):
    """Per call, the call numbers (1-based, per thread) worth failing in a sample, and the most
    calls any thread made."""
    counts = {}
    relevant = {call: set() for call in CALLS}
    line_form = re.compile(r"^(\d+)\s+(\w+)\((.*)")
    with open(trace_path, encoding="latin-1") as trace:
        for line in trace:
            match = line_form.match(line)
            if not match or match.group(2) not in relevant:
                continue
            thread, call, rest = match.groups()
            number = counts.get((thread, call), 0) + 1
            counts[(thread, call)] = number
            # The loader's and the C library's own files (absolute paths) matter less than ours.
            path = re.match(r'(?:AT_FDCWD, )?"([^"]*)"', rest)
            if call in ("openat", "newfstatat") and path and path.group(1).startswith("/"):
                continue
            relevant[call].add(number)
    most = {call: max([n for (t, c), n in counts.items() if c == call] or [0]) for call in CALLS}
    return relevant, most


def sample_numbers(relevant, most, call, seed):
    numbers = sorted(relevant[call])
    if not numbers:
        return []
    picked = {numbers[0], numbers[-1], numbers[len(numbers) // 2]}
    if len(numbers) > 1:
        picked.add(numbers[1])
    chooser = random.Random(seed)
    picked.update(chooser.sample(numbers, min(4, len(numbers))))
    return sorted(n for n in picked if n <= most[call])


def messages_of(stdout):
    lines = stdout.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


def check(case, reference, originals, before, result, tree, call):
    """The broken rules of one run (empty when it kept them all)."""
    code, stdout, stderr = result
    if code is None:
        return ["did not end within %d s" % RUN_TIMEOUT]
    if code < 0:
        return ["ended by signal %d" % -code]
    broken = []
    for name in case.kept:
        if tree.get(name) != originals[name]:
            broken.append("%s was modified" % name)
    err_lines = [line for line in stderr.split("\n") if line]
    loader_failed = any("error while loading shared libraries" in line for line in err_lines)
    lost = LOST_MESSAGES in err_lines
    for line in err_lines:
        if line not in (LOST_MESSAGES, NO_HDF5_NOTICE) and "error while loading shared libraries" not in line:
            broken.append("standard error: " + line)
    lines = messages_of(stdout)
    list_failed = case.list_file is not None and lines[:1] == ["Failed to open " + case.list_file]
    expected_code = 127 if loader_failed else 2 if list_failed else 1 if lost else 0
    if code != expected_code:
        broken.append("exit code %d where %d is documented" % (code, expected_code))
    named, ended_by = set(), set()
    for line in lines:
        if not any(form.match(line) for form in MESSAGE_FORMS):
            broken.append("not a documented message: " + line)
            continue
        for form_index, form in enumerate(MESSAGE_FORMS):
            match = form.match(line)
            if match:
                subject = match.group(1)
                if form_index in (2, 3):
                    ended_by.add(subject)
                elif form_index == 0:
                    named.add(subject)
                    ended_by.add(subject)
                elif form_index == 1:
                    named.add(subject)
                break
    outputs = {name: data for name, data in tree.items() if name not in before}
    if loader_failed or list_failed:
        if outputs:
            broken.append("files written though nothing ran: " + ", ".join(sorted(outputs)))
        return broken
    for name in sorted(outputs):
        if name not in reference:
            temporary = re.search(r"\.h5\.part-\d+-\d+$|^\.measconv-.*\.h5\.part$", os.path.basename(name))
            if not (temporary and call == "unlink"):
                broken.append("a file no clean run writes: " + name)
    for entry in case.entries:
        mine = sorted(name for name in reference if entry.owns(name))
        complete = {name: outputs.get(name) == reference[name] for name in mine}
        ended = entry.input in ended_by or any(entry.combined_or_hdf5(s) for s in ended_by if entry.owns(s))
        for name in mine:
            data = outputs.get(name)
            if name.endswith(".h5"):
                if data is not None and not all(complete.values()):
                    broken.append("%s is there though %s" % (
                        name, ", ".join(n + " is incomplete" for n in mine if not complete[n])))
                elif data is None and name not in named and not ended and not lost:
                    broken.append("%s is missing and not named" % name)
                continue
            if data is not None and not reference[name].startswith(data):
                broken.append("%s is not a beginning of the complete file" % name)
            if not complete[name] and name not in named and not ended and not lost:
                broken.append("%s is incomplete and not named" % name)
    return broken


def sweep(args):
    build = os.path.abspath(args.build)
    measconv = os.path.abspath(args.measconv or os.path.join(build, "bin", "measconv"))
    measgen = os.path.abspath(args.measgen or os.path.join(build, "bin", "measgen"))
    sample = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "sample.dat")
    for program in (measconv, measgen):
        if not os.access(program, os.X_OK):
            print("fault-sweep: no %s; build first" % program, file=sys.stderr)
            return 2
    if shutil.which("strace") is None:
        print("fault-sweep: strace is missing (scripts/ensure-tools.sh installs it)", file=sys.stderr)
        return 2
    work = tempfile.mkdtemp(prefix="fault-sweep-")
    try:
        inputs = os.path.join(work, "inputs")
        os.mkdir(inputs)
        cases = make_inputs(inputs, measgen, sample)
        originals = file_tree(inputs)
        runs = []
        references = {}
        for case in cases:
            if args.case and case.name not in args.case:
                continue
            for jobs in (1, 2):
                directory = fresh_copy(inputs, work, "clean", case)
                trace = os.path.join(work, "trace-%s-%d" % (case.name, jobs))
                code, stdout, stderr = run(["-o", trace, "-e", "trace=" + ",".join(CALLS)], measconv, case, jobs,
                                           directory)
                if code != 0 or stdout != case.clean_messages or stderr.replace(NO_HDF5_NOTICE + "\n", ""):
                    print("fault-sweep: the clean run of %s (%d threads) failed: exit %s, %r %r" %
                          (case.name, jobs, code, stdout, stderr), file=sys.stderr)
                    return 2
                references[(case.name, jobs)] = {n: d for n, d in file_tree(directory).items()
                                                  if n not in before_run(inputs, case)}
                shutil.rmtree(directory)
                relevant, most = call_numbers(trace)
                for call in CALLS:
                    if args.call and call not in args.call:
                        continue
                    if args.full:
                        points = [(n, e) for n in range(1, min(most[call], 65535) + 1) for e in ERRORS[call]]
                    else:
                        numbers = sample_numbers(relevant, most, call, "%s-%d-%s" % (case.name, jobs, call))
                        points = [(n, ERRORS[call][i % len(ERRORS[call])]) for i, n in enumerate(numbers)]
                    runs += [(case, jobs, call, n, e) for n, e in points]

        def one(point):
            case, jobs, call, number, error = point
            directory = fresh_copy(inputs, work, "run", case)
            try:
                result = run(["-o", "/dev/null", "-e", "trace=" + call,
                              "-e", "inject=%s:error=%s:when=%d" % (call, error, number)], measconv, case, jobs,
                             directory)
                tree = file_tree(directory)
            finally:
                shutil.rmtree(directory, ignore_errors=True)
            return point, result, check(case, references[(case.name, jobs)], originals, before_run(inputs, case),
                                        result, tree, call)

        failures = 0
        workers = args.jobs or os.cpu_count() or 2
        with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
            for point, result, broken in pool.map(one, runs):
                case, jobs, call, number, error = point
                if broken:
                    failures += 1
                    print("FAIL %s, %d thread(s), %s:error=%s:when=%d (exit %s)" %
                          (case.name, jobs, call, error, number, result[0]))
                    for rule in broken:
                        print("  " + rule)
                    for line in messages_of(result[1]):
                        print("  | " + line)
                elif args.verbose:
                    print("ok   %s, %d thread(s), %s:error=%s:when=%d" % (case.name, jobs, call, error, number))
        print("fault-sweep: %d runs, %d broke a rule" % (len(runs), failures))
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description="Fails every I/O call of a conversion once, in turn, and checks "
                                                 "what each run leaves.")
    parser.add_argument("--build", default="build", help="the build directory (default: build)")
    parser.add_argument("--measconv", help="the program to test (default: BUILD/bin/measconv)")
    parser.add_argument("--measgen", help="the generator of the data files (default: BUILD/bin/measgen)")
    parser.add_argument("--full", action="store_true", help="every call number with every error, not a sample")
    parser.add_argument("--case", action="append", help="only this case (sample, list, multi-block); repeatable")
    parser.add_argument("--call", action="append", help="only this call; repeatable")
    parser.add_argument("--jobs", type=int, default=0, help="runs at once (default: the number of cores)")
    parser.add_argument("--verbose", action="store_true", help="also list the runs that kept every rule")
    return sweep(parser.parse_args())


if __name__ == "__main__":
    sys.exit(main())
