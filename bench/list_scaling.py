#!/usr/bin/env python3
"""How reading a list file grows with its size.

Writes lists of 10, 20, 40 and 200 MB without a line feed (spaces, which the list filter
drops, so no entry runs and only the reading is timed), reads each with measconv and reports
the time per MB relative to the smallest list (1.0 means linear time) and the peak memory.
Last, /dev/zero as the list for a few seconds: an endless list, whose memory must stay flat.

    python3 bench/list_scaling.py [--build-dir build-bench] [--scratch /tmp]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIZES_MB = [10, 20, 40, 200]


def run(bins, list_path):
    report = os.path.join(os.path.dirname(bins["measconv"]), "list-peak.txt")
    start = time.perf_counter()
    subprocess.run([bins["peak_memory"], report, bins["measconv"], "tp", list_path], stdout=subprocess.DEVNULL,
                   check=True)
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
    args = parser.parse_args()
    subprocess.run(["cmake", "-S", ROOT, "-B", args.build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DMEASCONV_BUILD_BENCHMARKS=ON", "-DMEASCONV_BUILD_TESTS=OFF"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["ninja", "-C", args.build_dir, "measconv", "bench/peak_memory"], check=True,
                   stdout=subprocess.DEVNULL)
    bins = {"measconv": os.path.join(args.build_dir, "bin", "measconv"),
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
    sys.stdout.flush()


if __name__ == "__main__":
    main()
