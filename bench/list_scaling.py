#!/usr/bin/env python3
"""How reading a list file grows with its size.

Writes lists of 10, 20, 40 and 200 MB without a line feed (spaces, which the list filter
drops, so no entry runs and only the reading is timed), reads each with measconv and reports
the time per MB relative to the smallest list (1.0 means linear time) and the peak memory.
Then /dev/zero as the list for a few seconds: an endless list, whose memory must stay flat.
Last, lists of 100,000 to 1,000,000 entries whose inputs are missing ("missing/N.dat,out/N",
neither directory there), with and without split outputs, converted on 1, 2 and 8 threads,
alternated run by run: each thread count's time against one thread's in the same round (median
of the rounds) and the peak memory per entry beyond that of an empty list. Then 3,000 missing
inputs followed by 8 real files, whose conversions must still spread over the threads.

    python3 bench/list_scaling.py [--build-dir build-bench] [--scratch /tmp] [--rounds 5]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIZES_MB = [10, 20, 40, 200]


FAILING_ENTRIES = [100_000, 300_000, 1_000_000]
THREAD_COUNTS = ["1", "2", "8"]


def run(bins, list_path, letters="tp", jobs=None, cwd=None):
    report = os.path.join(os.path.dirname(bins["measconv"]), "list-peak.txt")
    env = dict(os.environ)
    if jobs is not None:
        env["MEASCONV_JOBS"] = jobs
    start = time.perf_counter()
    subprocess.run([bins["peak_memory"], report, bins["measconv"], letters, list_path], stdout=subprocess.DEVNULL,
                   check=True, env=env, cwd=cwd)
    elapsed = time.perf_counter() - start
    with open(report) as text:
        return elapsed, int(text.readline()) / 1024


def endless_list_peaks(bins, seconds):
    """Peak memory (MiB) of measconv reading /dev/zero, sampled each second, then stopped."""
    process = subprocess.Popen([bins["measconv"], "tp", "/dev/zero"], stdout=subprocess.DEVNULL)
    peaks = []
    try:
        for _ in range(seconds):
            time.sleep(1)
            with open(f"/proc/{process.pid}/status") as status:
                for line in status:
                    if line.startswith("VmHWM:"):
                        peaks.append(int(line.split()[1]) / 1024)
    finally:
        process.kill()
        process.wait()
    return peaks


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--scratch", default=tempfile.gettempdir())
    parser.add_argument("--rounds", type=int, default=5, help="alternated runs of each thread count")
    args = parser.parse_args()
    subprocess.run(["cmake", "-S", ROOT, "-B", args.build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DMEASCONV_BUILD_BENCHMARKS=ON", "-DMEASCONV_BUILD_TESTS=OFF"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["ninja", "-C", args.build_dir, "measconv", "measgen", "bench/peak_memory"], check=True,
                   stdout=subprocess.DEVNULL)
    bins = {"measconv": os.path.join(args.build_dir, "bin", "measconv"),
            "measgen": os.path.join(args.build_dir, "bin", "measgen"),
            "peak_memory": os.path.join(args.build_dir, "bench", "peak_memory")}

    print("| list | time | time per MB, relative to 10 MB | peak memory |")
    print("|---|---|---|---|")
    first_per_mb = None
    with tempfile.TemporaryDirectory(dir=args.scratch) as scratch:
        for size in SIZES_MB:
            path = os.path.join(scratch, f"list{size}.txt")
            with open(path, "wb") as out:
                block = b" " * (1 << 20)
                for _ in range(size):
                    out.write(block)
            elapsed, peak_mib = run(bins, path)
            per_mb = elapsed / size
            first_per_mb = first_per_mb or per_mb
            print(f"| {size} MB, no line feed | {elapsed:.2f} s | {per_mb / first_per_mb:.2f} | {peak_mib:.1f} MiB |")
            os.remove(path)
    peaks = endless_list_peaks(bins, 4)
    print(f"| /dev/zero, peak after each of {len(peaks)} seconds | - | - | "
          + ", ".join(f"{p:.1f}" for p in peaks) + " MiB |")
    print()
    failing_entries(bins, args.scratch, args.rounds)
    print()
    files_after_failures(bins, args.scratch, args.rounds)
    sys.stdout.flush()


def files_after_failures(bins, scratch_root, rounds):
    """3,000 missing inputs, then 8 real files: the files must still spread over the threads."""
    print("| list | threads | time / one thread's: median | one thread's median |")
    print("|---|---|---|---|")
    with tempfile.TemporaryDirectory(dir=scratch_root) as scratch:
        subprocess.run([bins["measgen"], os.path.join(scratch, "file.dat"), "--sensors", "32", "--records", "150000"],
                       check=True, stdout=subprocess.DEVNULL)
        path = os.path.join(scratch, "mixed.lst")
        with open(path, "w") as out:
            for i in range(3000):
                out.write(f"missing/{i}.dat,m/{i}\n")
            for i in range(8):
                out.write(f"file.dat,o{i}\n")
        times = {jobs: [] for jobs in THREAD_COUNTS}
        for _ in range(rounds):
            for jobs in THREAD_COUNTS:
                times[jobs].append(run(bins, path, "tpwc", jobs, scratch)[0])
                for name in os.listdir(scratch):
                    if name.startswith("o") and name.endswith((".txt", ".csv")):
                        os.remove(os.path.join(scratch, name))
        for jobs in THREAD_COUNTS:
            ratios = sorted(t / one for t, one in zip(times[jobs], times["1"]))
            one = sorted(times["1"])[len(times["1"]) // 2]
            print(f"| 3,000 missing inputs, then 8 files of 32 sensors x 150,000 records | {jobs} "
                  f"| {ratios[len(ratios) // 2]:.2f} | {one:.2f} s |")


def failing_entries(bins, scratch_root, rounds):
    """Lists whose every entry fails: time against one thread's, and memory per entry."""
    print("| letters | entries | threads | time / one thread's: median | one thread's median "
          "| peak memory per entry, beyond an empty list's |")
    print("|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory(dir=scratch_root) as scratch:
        empty = os.path.join(scratch, "empty.lst")
        open(empty, "w").close()
        for letters in ["tpwc", "tpwcs"]:
            empty_peak = {jobs: run(bins, empty, letters, jobs, scratch)[1] for jobs in THREAD_COUNTS}
            for count in FAILING_ENTRIES:
                path = os.path.join(scratch, "fail.lst")
                with open(path, "w") as out:
                    for i in range(count):
                        out.write(f"missing/{i}.dat,out/{i}\n")
                times = {jobs: [] for jobs in THREAD_COUNTS}
                peaks = {jobs: 0.0 for jobs in THREAD_COUNTS}
                for _ in range(rounds):
                    for jobs in THREAD_COUNTS:
                        elapsed, peak_mib = run(bins, path, letters, jobs, scratch)
                        times[jobs].append(elapsed)
                        peaks[jobs] = max(peaks[jobs], peak_mib)
                for jobs in THREAD_COUNTS:
                    ratios = sorted(t / one for t, one in zip(times[jobs], times["1"]))
                    one = sorted(times["1"])[len(times["1"]) // 2]
                    per_entry = (peaks[jobs] - empty_peak[jobs]) * 1024 * 1024 / count
                    print(f"| {letters} | {count:,} | {jobs} | {ratios[len(ratios) // 2]:.2f} | {one:.2f} s "
                          f"| {per_entry:.0f} B |")
                os.remove(path)


if __name__ == "__main__":
    main()
