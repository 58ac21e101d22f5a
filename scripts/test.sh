#!/usr/bin/env bash
# Builds and runs the whole test suite; then, unless --quick is given, the same suite on a
# sanitizer build, a short run of each fuzz target, the Debian package test, the shard recipes
# on a one-node Slurm cluster and over ssh, and the Windows build under Wine. Ends with one line
# that counts the tests of every step. A step that fails ends the run, its last lines naming the
# failed checks and why, then a line naming the step.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/ensure-tools.sh --spreadsheet

log=$(mktemp)
results=$(mktemp -d)
trap 'rm -rf "$log" "$results"' EXIT
stopped() {
  echo "test.sh: stopped, the step '$1' failed (exit status $2); its last lines above say what failed and why"
  exit "$2"
}

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DMEASCONV_BUILD_TESTS=ON || stopped configure $?
cmake --build build -j "$jobs" || stopped build $?
TZ=UTC ctest --test-dir build --output-on-failure -j "$jobs" -LE large --output-junit "$results/suite.xml" |
  tee -a "$log" || { python3 scripts/ctest_failures.py suite "$results/suite.xml" || true; stopped suite 1; }

if [ "${1:-}" != "--quick" ]; then
  ./scripts/sanitize.sh | tee -a "$log" || stopped sanitize $?
  ./scripts/fuzz.sh "${MEASCONV_FUZZ_SECONDS:-60}" || stopped fuzz $?
  ./scripts/packages.sh | tee -a "$log" || stopped packages $?
  ./scripts/cluster.sh | tee -a "$log" || stopped cluster $?
  ./scripts/windows.sh | tee -a "$log" || stopped windows $?
fi

# ctest's summary lines read "N% tests passed, F tests failed out of T"; skipped tests are
# listed after them, each ending in "(Skipped)", and counted among the passed ones. The
# package, cluster and Windows steps end their parts with "STEP: P passed, F failed".
awk '/tests passed, [0-9]+ tests? failed out of/ { failed += $4; total += $NF }
     /^[a-z-]+: [0-9]+ passed, [0-9]+ failed/ { failed += $4; total += $2 + $4 }
     /\(Skipped\)$/ { skipped++ }
     END { printf "%d passed, %d failed, %d skipped\n", total - failed - skipped, failed, skipped }' "$log"
