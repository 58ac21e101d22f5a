#!/usr/bin/env bash
# The README's first command: installs what the build lacks, builds every program into
# build/bin/ and converts the bundled sample into every output form. One line per step; the
# output of each step goes to a log, shown only when the step fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

. scripts/checks.sh  # quietly LOG COMMAND...: the output in LOG, its end shown on failure

./scripts/ensure-tools.sh
mkdir -p build
echo "Configuring the build in build/ (log: build/configure.log)"
quietly build/configure.log cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
echo "Building every program into build/bin/, a few minutes the first time (log: build/build.log)"
quietly build/build.log cmake --build build --target programs

out=out/sample
echo "Converting examples/sample.dat into $out* (TZ=UTC)"
mkdir -p out
rm -rf "$out" "$out"_* "$out".h5
# Combined text and CSV files of both quantities, one text and CSV file per sensor, and the
# HDF5 file (in a build with HDF5).
TZ=UTC ./build/bin/measconv tpwcsh examples/sample.dat "$out"
for f in "$out"_pv.txt "$out"_wl.txt "$out"_pv.csv "$out"_wl.csv "$out".h5 "$out"/*; do
  [ -e "$f" ] || continue
  printf '  %-28s %8d bytes\n' "$f" "$(wc -c <"$f")"
done

echo "The programs are in build/bin/: $(cd build/bin && echo *)"
echo "Their manual pages: man -l build/doc/measconv.1 (measinfo.1, measgen.1)"
echo "To run them by name, put them on your PATH:"
echo "  export PATH=\"$root/build/bin:\$PATH\""
