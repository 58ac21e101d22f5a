#!/usr/bin/env python3
"""End-to-end benchmark of measconv's threads: all cores against one, the same workloads as run_benchmarks.py.

Builds the project with the benchmarks, generates the workloads with measgen in a scratch
directory, and times on each workload, alternated run by run:

- measconv with MEASCONV_JOBS=1, pinned to one core (--core);
- measconv with MEASCONV_JOBS unset on the cores of --cores (taskset -c 0,1): as many
  threads as those cores, the default;
- measconv-baseline (a snprintf per cell, a localtime call per record), pinned;
- write_bytes (writes files of the very sizes measconv produced, into the same directory), pinned;
- with --reference PROGRAM, another build of measconv (an older commit), pinned, to hold
  the one-thread figures against.

Reports medians of wall time and of CPU time, peak memory, output bytes, MB/s and the
ratios; then runs the formatter microbenchmarks. Outputs are deleted after every run, and
the scratch directory at the end.

    python3 bench/threads_bench.py [--runs 3] [--core 0] [--cores 0,1] [--scratch /tmp] [--quick]
                                    [--no-baseline] [--reference PROGRAM] [--types tpwc,sct,tpwch]
                                    [--large-only]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# The workloads and their making are the ones of run_benchmarks.py.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_benchmarks import (COMMON_OPTIONS, QUICK_WORKLOADS, ROOT, WORKLOADS, convert_command,  # noqa: E402
                            fresh, make_workload, output_files)

TYPES = ["tpwc", "sct"]


def build(build_dir):
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DMEASCONV_BUILD_BENCHMARKS=ON", "-DMEASCONV_BUILD_BASELINE=ON", "-DMEASCONV_BUILD_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["ninja", "-C", build_dir, "measconv", "measconv-baseline", "measgen", "bench/all"],
                   check=True, stdout=subprocess.DEVNULL)


def timed_run(bins, command, cpus, cwd, jobs):
    """Wall time, peak resident memory (bytes) and CPU seconds of one run on the given CPUs."""
    report = os.path.join(cwd, "peak.txt")
    env = dict(os.environ)
    env.pop("MEASCONV_JOBS", None)
    if jobs is not None:
        env["MEASCONV_JOBS"] = str(jobs)
    os.sync()  # earlier runs' dirty pages are written back before the clock starts
    start = time.perf_counter()
    result = subprocess.run([bins["peak_memory"], report, "taskset", "-c", cpus] + command, cwd=cwd, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit(f"failed: {' '.join(command)}")
    with open(report) as text:
        peak = int(text.readline()) * 1024
        user, system = (float(value) for value in text.readline().split())
    return elapsed, peak, user + system


# The timed programs: the binary, MEASCONV_JOBS (None: unset), and whether they run on all
# the cores of --cores or pinned to --core.
VARIANTS = {
    "one": ("measconv", 1, False),
    "all": ("measconv", None, True),
    "baseline": ("baseline", 1, False),
    "reference": ("reference", 1, False),
    "write": ("write_bytes", None, False),
}


def bench_case(bins, args, variants, workload, type_letters, work):
    out_dir = os.path.join(work, "out")
    manifest = os.path.join(work, "manifest.txt")
    times = {v: [] for v in variants}
    cpu = {v: [] for v in variants}
    peaks = {v: [] for v in variants}
    sizes = None
    for run in range(args.runs):
        # Rotate the order, so no program always runs first or after the same other one.
        order = variants[run % len(variants):] + variants[:run % len(variants)]
        if sizes is None:  # write_bytes needs the sizes of a conversion first
            order = [v for v in order if v != "write"] + ["write"]
        for which in order:
            program, jobs, all_cores = VARIANTS[which]
            fresh(out_dir)
            if which == "write":
                command = [bins["write_bytes"], manifest]
            else:
                command = convert_command(bins[program], type_letters, workload, out_dir)
            cpus = args.cores if all_cores else str(args.core)
            elapsed, peak, cpu_seconds = timed_run(bins, command, cpus, work, jobs)
            times[which].append(elapsed)
            cpu[which].append(cpu_seconds)
            peaks[which].append(peak)
            print(f"  {type_letters} {which}: {elapsed:.3f} s, cpu {cpu_seconds:.3f} s, peak {peak / 2**20:.1f} MiB",
                  file=sys.stderr, flush=True)
            if which == "write":
                continue
            if sizes is None:
                # The first conversion's files are what write_bytes writes from then on; every
                # converter must produce the same sizes in every run (their bytes are compared by
                # the test suite).
                sizes = output_files(out_dir)
                with open(manifest, "w") as listing:
                    for size, path in sizes:
                        listing.write(f"{size} {path}\n")
            elif output_files(out_dir) != sizes:
                sys.exit(f"{which} produced different output sizes")
    fresh(out_dir)
    total = sum(size for size, _ in sizes)
    result = {"bytes": total, "files": len(sizes), "write_best_s": min(times["write"])}
    for v in variants:
        result[v] = {
            "s": statistics.median(times[v]),
            "cpu_s": statistics.median(cpu[v]),
            "peak_mib": max(peaks[v]) / 2**20,
        }
    return result


def ratio(result, slower, faster, key="s"):
    if slower not in result or faster not in result:
        return "-"
    return f"{result[slower][key] / result[faster][key]:.2f}x"


def print_tables(args, rows):
    cores = len(args.cores.split(","))
    print(f"TZ=Europe/Berlin, median of {args.runs} runs per program; 1 thread pinned to core {args.core}, "
          f"{cores} threads (MEASCONV_JOBS unset) on cores {args.cores}\n")
    print("| workload | type | output | threads | measconv | MB/s | peak memory | faster than 1 thread "
          "| measconv / write only | baseline | speedup |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for name, type_letters, r in rows:
        output = f"{r['bytes'] / 1e6:.0f} MB in {r['files']} files"
        for variant, threads in (("one", "1"), ("all", str(cores))):
            v = r[variant]
            faster = ratio(r, "one", "all") if variant == "all" else "-"
            baseline = f"{r['baseline']['s']:.2f} s" if variant == "one" and "baseline" in r else "-"
            speedup = ratio(r, "baseline", "one") if variant == "one" else "-"
            print(f"| {name} | {type_letters} | {output} | {threads} | {v['s']:.2f} s | {r['bytes'] / 1e6 / v['s']:.0f} "
                  f"| {v['peak_mib']:.1f} MiB | {faster} | {ratio(r, variant, 'write')} | {baseline} | {speedup} |")
    print("\nWriting alone: median, fastest run")
    for name, type_letters, r in rows:
        print(f"- {name}, {type_letters}: {r['write']['s']:.2f} s, {r['write_best_s']:.2f} s")
    if args.reference:
        print(f"\nOne thread against {args.reference} (pinned, alternated): wall time and CPU time, median")
        print("\n| workload | type | 1 thread | reference | ratio | CPU 1 thread | CPU reference | CPU ratio |")
        print("|---|---|---|---|---|---|---|---|")
        for name, type_letters, r in rows:
            print(f"| {name} | {type_letters} | {r['one']['s']:.2f} s | {r['reference']['s']:.2f} s "
                  f"| {ratio(r, 'one', 'reference')} | {r['one']['cpu_s']:.2f} s | {r['reference']['cpu_s']:.2f} s "
                  f"| {ratio(r, 'one', 'reference', 'cpu_s')} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=3, help="runs of each program per case (median)")
    parser.add_argument("--core", type=int, default=0, help="the core one-thread runs are pinned to")
    parser.add_argument("--cores", default="0,1", help="the cores of the runs with MEASCONV_JOBS unset")
    parser.add_argument("--scratch", default=tempfile.gettempdir(), help="where workloads and outputs go")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--quick", action="store_true", help="small workloads, to try the script")
    parser.add_argument("--no-micro", action="store_true", help="skip the formatter microbenchmarks")
    parser.add_argument("--no-baseline", action="store_true", help="skip measconv-baseline (the slowest runs)")
    parser.add_argument("--reference", help="another measconv build to time against the one-thread runs")
    parser.add_argument("--types", default=",".join(TYPES), help="the type letters timed, comma-separated")
    parser.add_argument("--large-only", action="store_true", help="only the two large single-file workloads")
    args = parser.parse_args()

    build(args.build_dir)
    bins = {
        "measconv": os.path.join(args.build_dir, "bin", "measconv"),
        "baseline": os.path.join(args.build_dir, "bin", "measconv-baseline"),
        "measgen": os.path.join(args.build_dir, "bin", "measgen"),
        "write_bytes": os.path.join(args.build_dir, "bench", "write_bytes"),
        "peak_memory": os.path.join(args.build_dir, "bench", "peak_memory"),
    }
    variants = ["one", "all", "write"]
    if not args.no_baseline:
        variants.insert(2, "baseline")
    if args.reference:
        bins["reference"] = os.path.abspath(args.reference)
        variants.insert(2, "reference")
    os.environ["TZ"] = "Europe/Berlin"
    os.environ["LC_ALL"] = "C"
    scratch = tempfile.mkdtemp(prefix="measconv-bench-", dir=args.scratch)
    rows = []
    try:
        workloads = QUICK_WORKLOADS if args.quick else WORKLOADS
        if args.large_only:
            workloads = [w for w in workloads if w[1] is not None and w[2] == 1]
        for number, (name, options, file_count) in enumerate(workloads):
            work = os.path.join(scratch, f"w{number}")
            workload = make_workload(bins["measgen"], work, options, file_count)
            for type_letters in args.types.split(","):
                result = bench_case(bins, args, variants, workload, type_letters, work)
                rows.append((name, type_letters, result))
                print(f"{name}, {type_letters}: {result}", file=sys.stderr, flush=True)
            shutil.rmtree(work)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    print_tables(args, rows)
    sys.stdout.flush()

    if not args.no_micro:
        print()
        subprocess.run(["taskset", "-c", str(args.core), os.path.join(args.build_dir, "bench", "format_bench"),
                        "--benchmark_min_time=0.2"], check=True)


if __name__ == "__main__":
    main()
