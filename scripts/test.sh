#!/usr/bin/env bash
# Builds and runs the whole test suite; then, unless --quick is given, the same suite on a
# sanitizer build and a short run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/ensure-tools.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DMEASCONV_BUILD_TESTS=ON
cmake --build build -j "$jobs"
TZ=UTC ctest --test-dir build --output-on-failure -j "$jobs" -LE large

if [ "${1:-}" != "--quick" ]; then
  ./scripts/sanitize.sh
  ./scripts/fuzz.sh "${MEASCONV_FUZZ_SECONDS:-60}"
fi
