#!/usr/bin/env python3
"""End-to-end throughput benchmark of measconv and measinfo.

Builds the project with the benchmarks, generates the workloads with measgen in a scratch
directory, and times three programs on each workload, pinned to one core and alternated run
by run: measconv, measconv-baseline (a snprintf per cell, a localtime call per record) and
write_bytes (writes files of the very sizes measconv produced, into the same directory).
Reports medians, peak memory, output bytes, MB/s and the two ratios; then the HDF5 output
(`h` alone and `tpwch`) against `tpwc`, and `h` with MEASCONV_HDF5_COMPRESSION=deflate:1 (type
`h+deflate:1`) against `h` uncompressed: for these, the reference type takes the baseline's
place, alternated run by run with them, and the ratio is the median of the runs' ratios (the
table also gives the ratio to writing the same bytes, and the size against the reference's). On
each single data file it also times measinfo (the report) and measinfo --plot against measconv
tpwc on the same file, alternated run by run, as ratios. Then it runs the formatter
microbenchmarks. Outputs are deleted after every run, and the scratch directory at the end.

    python3 bench/run_benchmarks.py [--runs 3] [--core 0] [--scratch /tmp] [--quick] [--measinfo-only | --no-measinfo]
                                    [--workloads 0,2] [--types tpwc,h,tpwch,h+deflate:1]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# name, measgen options, single data file (or a list of this many files)
WORKLOADS = [
    ("64 sensors x 500,000 records", ["--sensors", "64", "--records", "500000"], 1),
    ("4 sensors x 5,000,000 records", ["--sensors", "4", "--records", "5000000"], 1),
    ("list of 200 files, 8 sensors x 2,000 records", ["--sensors", "8", "--records", "2000"], 200),
    # examples/sample.dat itself (4 sensors x 250 records): for the HDF5 sizes; its times are the
    # program's start.
    ("the bundled sample", None, 1),
]
QUICK_WORKLOADS = [
    ("64 sensors x 50,000 records", ["--sensors", "64", "--records", "50000"], 1),
    ("list of 20 files, 8 sensors x 2,000 records", ["--sensors", "8", "--records", "2000"], 20),
]
COMMON_OPTIONS = ["--rate", "1000", "--start", "1700000000", "--invalid-every", "97"]
TYPES = ["tpwc", "sct", "h", "tpwch", "h+deflate:1"]
# Types whose cost is the HDF5 file: timed against the reference type, alternated with it run by
# run (the baseline would write the same HDF5 file).
HDF5_TYPES = {"h": "tpwc", "tpwch": "tpwc", "h+deflate:1": "h"}
SAMPLE = os.path.join(ROOT, "examples", "sample.dat")


def letters_and_environment(type_name):
    """A type of the benchmark: type letters, and after '+' a MEASCONV_HDF5_COMPRESSION value."""
    letters, _, compression = type_name.partition("+")
    return letters, ({"MEASCONV_HDF5_COMPRESSION": compression} if compression else {})


def build(build_dir):
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DMEASCONV_BUILD_BENCHMARKS=ON", "-DMEASCONV_BUILD_BASELINE=ON", "-DMEASCONV_BUILD_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["ninja", "-C", build_dir, "measconv", "measconv-baseline", "measgen", "measinfo", "bench/all"],
                   check=True, stdout=subprocess.DEVNULL)


def timed_run(bins, command, core, cwd, env=None):
    """Wall time and peak resident memory (bytes) of one pinned run."""
    report = os.path.join(cwd, "peak.txt")
    os.sync()  # earlier runs' dirty pages are written back before the clock starts
    start = time.perf_counter()
    result = subprocess.run([bins["peak_memory"], report, "taskset", "-c", str(core)] + command, cwd=cwd,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=dict(os.environ, **(env or {})))
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit(f"failed: {' '.join(command)}")
    with open(report) as text:
        return elapsed, int(text.readline()) * 1024


def output_files(directory):
    files = []
    for folder, _, names in os.walk(directory):
        for name in names:
            path = os.path.join(folder, name)
            files.append((os.path.getsize(path), path))
    return sorted(files)


def make_workload(measgen, work, options, file_count):
    """The converter's input argument: a data file, or a list file naming file_count data files."""
    os.makedirs(work)
    if file_count == 1:
        data = os.path.join(work, "in.dat")
        if options is None:
            shutil.copyfile(SAMPLE, data)
        else:
            subprocess.run([measgen, data] + options + COMMON_OPTIONS, check=True)
        return data
    list_path = os.path.join(work, "files.lst")
    with open(list_path, "w") as listing:
        for i in range(file_count):
            data = os.path.join(work, f"in{i:03}.dat")
            subprocess.run([measgen, data] + options + COMMON_OPTIONS + ["--seed", str(i + 1)], check=True)
            listing.write(f"{data},{os.path.join(work, 'out', f'o{i:03}')}\n")
    return list_path


def convert_command(program, type_letters, workload, out_dir):
    if workload.endswith(".lst"):
        return [program, type_letters, workload]  # outputs named by the list, under out_dir
    return [program, type_letters, workload, os.path.join(out_dir, "o")]


def fresh(directory):
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)


def bench_case(bins, core, runs, workload, type_letters, work):
    out_dir = os.path.join(work, "out")
    manifest = os.path.join(work, "manifest.txt")
    reference = HDF5_TYPES.get(type_letters)
    other = "reference" if reference else "baseline"
    times = {"measconv": [], other: [], "write": []}
    peaks = {"measconv": [], other: []}
    sizes = None
    reference_bytes = None
    for run in range(runs):
        # Alternate the order, so neither program always runs first after the other.
        order = ["measconv", other, "write"] if run % 2 == 0 else [other, "measconv", "write"]
        for which in order:
            fresh(out_dir)
            env = {}
            if which == "write":
                command = [bins["write_bytes"], manifest]
            elif which == "reference":
                letters, env = letters_and_environment(reference)
                command = convert_command(bins["measconv"], letters, workload, out_dir)
            else:
                letters, env = letters_and_environment(type_letters)
                command = convert_command(bins[which], letters, workload, out_dir)
            elapsed, peak = timed_run(bins, command, core, work, env)
            times[which].append(elapsed)
            print(f"  {type_letters} {which}: {elapsed:.3f} s, peak {peak / 2**20:.1f} MiB", file=sys.stderr, flush=True)
            if which in peaks:
                peaks[which].append(peak)
            if which == "reference" and reference_bytes is None:
                reference_bytes = sum(size for size, _ in output_files(out_dir))
            if which in ("write", "reference"):
                continue
            if sizes is None:
                # The first conversion's files are what write_bytes writes from then on; measconv
                # and the baseline must produce the same sizes in every run (their bytes are
                # compared by the test suite).
                sizes = output_files(out_dir)
                with open(manifest, "w") as listing:
                    for size, path in sizes:
                        listing.write(f"{size} {path}\n")
            elif output_files(out_dir) != sizes:
                sys.exit(f"{which} produced different output sizes")
    fresh(out_dir)
    medians = {k: statistics.median(v) for k, v in times.items()}
    total = sum(size for size, _ in sizes)
    return {
        "measconv_s": medians["measconv"],
        "baseline_s": medians.get("baseline"),
        "reference_s": medians.get("reference"),
        # Paired run by run, so that a slow spell of the machine weighs on both sides alike.
        "vs_reference": statistics.median(m / r for m, r in zip(times["measconv"], times["reference"]))
                        if reference else None,
        # The fastest runs, least disturbed by whatever else the machine is doing.
        "vs_reference_fastest": min(times["measconv"]) / min(times["reference"]) if reference else None,
        "write_s": medians["write"],
        "write_best_s": min(times["write"]),
        "peak_mib": max(peaks["measconv"]) / 2**20,
        "baseline_peak_mib": max(peaks["baseline"]) / 2**20 if "baseline" in peaks else None,
        "bytes": total,
        "reference_bytes": reference_bytes,
        "files": len(sizes),
        "mb_s": total / 1e6 / medians["measconv"],
        "speedup": medians["baseline"] / medians["measconv"] if not reference else None,
        "vs_write": medians["measconv"] / medians["write"],
        # Writing alone is the noisiest run here (page-cache and write-back effects of the
        # machine); its fastest run gives the strictest ratio.
        "vs_best_write": medians["measconv"] / min(times["write"]),
    }


def bench_measinfo(bins, core, runs, data_file, work):
    """measinfo, measinfo --plot and measconv tpwc on one data file: medians, peaks and ratios."""
    out_dir = os.path.join(work, "out")
    plot = os.path.join(work, "plot.svg")
    commands = {
        "measinfo": [bins["measinfo"], data_file],
        "plot": [bins["measinfo"], "--plot", plot, data_file],
        "measconv": [bins["measconv"], "tpwc", data_file, os.path.join(out_dir, "o")],
    }
    times = {name: [] for name in commands}
    peaks = {name: [] for name in commands}
    for run in range(runs):
        order = ["measconv", "measinfo", "plot"] if run % 2 == 0 else ["plot", "measinfo", "measconv"]
        for which in order:
            fresh(out_dir)
            elapsed, peak = timed_run(bins, commands[which], core, work)
            times[which].append(elapsed)
            peaks[which].append(peak)
            print(f"  {which}: {elapsed:.3f} s, peak {peak / 2**20:.1f} MiB", file=sys.stderr, flush=True)
    fresh(out_dir)
    medians = {k: statistics.median(v) for k, v in times.items()}
    return {
        "measinfo_s": medians["measinfo"],
        "plot_s": medians["plot"],
        "measconv_s": medians["measconv"],
        "measinfo_peak_mib": max(peaks["measinfo"]) / 2**20,
        "plot_peak_mib": max(peaks["plot"]) / 2**20,
        "ratio": medians["measinfo"] / medians["measconv"],
        "plot_ratio": medians["plot"] / medians["measconv"],
        "mb_s": os.path.getsize(data_file) / 1e6 / medians["measinfo"],
    }


def print_hdf5_rows(rows):
    """The HDF5 types against their reference type, timed alternately in the same runs."""
    hdf5_rows = [(name, t, r) for name, t, r in rows if t in HDF5_TYPES]
    if not hdf5_rows:
        return
    print("\n| workload | type | output | measconv | peak memory | reference in the same runs "
          "| time / reference: median, fastest | write only: median | time / write only | size / reference's |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for name, type_letters, r in hdf5_rows:
        print(f"| {name} | {type_letters} | {r['bytes']:,} bytes in {r['files']} files | {r['measconv_s']:.3f} s "
              f"| {r['peak_mib']:.1f} MiB | {HDF5_TYPES[type_letters]} {r['reference_s']:.3f} s "
              f"| {r['vs_reference']:.2f}, {r['vs_reference_fastest']:.2f} | {r['write_s']:.3f} s "
              f"| {r['vs_write']:.2f} | {r['bytes'] / r['reference_bytes']:.3f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=3, help="runs of each program per case (median)")
    parser.add_argument("--core", type=int, default=0, help="the core every run is pinned to")
    parser.add_argument("--scratch", default=tempfile.gettempdir(), help="where workloads and outputs go")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--quick", action="store_true", help="small workloads, to try the script")
    parser.add_argument("--no-micro", action="store_true", help="skip the formatter microbenchmarks")
    parser.add_argument("--no-measinfo", action="store_true", help="skip the measinfo rows")
    parser.add_argument("--measinfo-only", action="store_true",
                        help="only the measinfo rows (single data files), no microbenchmarks")
    parser.add_argument("--workloads", help="comma-separated indices of the workloads to run (default: all)")
    parser.add_argument("--types", default=",".join(TYPES), help="comma-separated type letters to time")
    args = parser.parse_args()
    types = args.types.split(",")

    build(args.build_dir)
    bins = {
        "measconv": os.path.join(args.build_dir, "bin", "measconv"),
        "baseline": os.path.join(args.build_dir, "bin", "measconv-baseline"),
        "measgen": os.path.join(args.build_dir, "bin", "measgen"),
        "write_bytes": os.path.join(args.build_dir, "bench", "write_bytes"),
        "peak_memory": os.path.join(args.build_dir, "bench", "peak_memory"),
        "measinfo": os.path.join(args.build_dir, "bin", "measinfo"),
    }
    os.environ["TZ"] = "Europe/Berlin"
    os.environ["LC_ALL"] = "C"
    scratch = tempfile.mkdtemp(prefix="measconv-bench-", dir=args.scratch)
    rows = []
    info_rows = []
    try:
        workloads = list(enumerate(QUICK_WORKLOADS if args.quick else WORKLOADS))
        if args.workloads:
            chosen = {int(index) for index in args.workloads.split(",")}
            workloads = [w for w in workloads if w[0] in chosen]
        for number, (name, options, file_count) in workloads:
            if args.measinfo_only and file_count != 1:
                continue
            work = os.path.join(scratch, f"w{number}")
            workload = make_workload(bins["measgen"], work, options, file_count)
            for type_letters in [] if args.measinfo_only else types:
                result = bench_case(bins, args.core, args.runs, workload, type_letters, work)
                rows.append((name, type_letters, result))
                print(f"{name}, {type_letters}: {result}", file=sys.stderr, flush=True)
            if file_count == 1 and not args.no_measinfo:
                result = bench_measinfo(bins, args.core, args.runs, workload, work)
                info_rows.append((name, result))
                print(f"{name}, measinfo: {result}", file=sys.stderr, flush=True)
            shutil.rmtree(work)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    print(f"TZ=Europe/Berlin, pinned to core {args.core}, median of {args.runs} runs per program")
    if rows:
        print()
        print("| workload | type | output | measconv | MB/s | peak memory | baseline | speedup "
              "| write only: median, fastest | measconv / write: median, fastest |")
        print("|---|---|---|---|---|---|---|---|---|---|")
        for name, type_letters, r in rows:
            if type_letters in HDF5_TYPES:
                continue
            print(f"| {name} | {type_letters} | {r['bytes'] / 1e6:.0f} MB in {r['files']} files | {r['measconv_s']:.2f} s "
                  f"| {r['mb_s']:.0f} | {r['peak_mib']:.1f} MiB | {r['baseline_s']:.2f} s | {r['speedup']:.1f}x "
                  f"| {r['write_s']:.2f} s, {r['write_best_s']:.2f} s | {r['vs_write']:.2f}x, {r['vs_best_write']:.2f}x |")
        print_hdf5_rows(rows)
    if info_rows:
        print()
        print("| workload | measinfo | MB/s | peak memory | measinfo --plot | peak memory | measconv tpwc "
              "| measinfo / measconv | measinfo --plot / measconv |")
        print("|---|---|---|---|---|---|---|---|---|")
    for name, r in info_rows:
        print(f"| {name} | {r['measinfo_s']:.3f} s | {r['mb_s']:.0f} | {r['measinfo_peak_mib']:.1f} MiB | {r['plot_s']:.3f} s "
              f"| {r['plot_peak_mib']:.1f} MiB | {r['measconv_s']:.2f} s | {r['ratio']:.3f} | {r['plot_ratio']:.3f} |")
    sys.stdout.flush()

    if not args.no_micro and not args.measinfo_only:
        print()
        subprocess.run(["taskset", "-c", str(args.core), os.path.join(args.build_dir, "bench", "format_bench"),
                        "--benchmark_min_time=0.2"], check=True)


if __name__ == "__main__":
    main()
