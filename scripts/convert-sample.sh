#!/usr/bin/env bash
# Builds measconv and converts the bundled sample into every output form.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/ensure-tools.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target measconv >/dev/null

out=out/sample
mkdir -p out
rm -rf "$out" "$out"_* "$out".h5
# Combined text and CSV files of both quantities, one text and CSV file per sensor, and the
# HDF5 file (in a build with HDF5).
TZ=UTC ./build/measconv tpwcsh examples/sample.dat "$out"
echo "Converted examples/sample.dat:"
for f in "$out"_pv.txt "$out"_wl.txt "$out"_pv.csv "$out"_wl.csv "$out".h5 "$out"/*; do
  [ -e "$f" ] || continue
  printf '  %-28s %8d bytes\n' "$f" "$(wc -c <"$f")"
done
