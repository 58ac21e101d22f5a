#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time.
#
#   scripts/fuzz.sh [SECONDS] [convert|list ...]
#
# SECONDS per target (default 60); all targets when none is named. Seeds are made with
# measgen; the growing corpus stays in build-sanitize/fuzz/corpus-*, and every input in
# fuzz/regressions/TARGET is replayed first. A crash, sanitizer report, failed check, timeout
# or memory blow-up fails the run and leaves the input in build-sanitize/fuzz/artifacts/:
# add it to fuzz/regressions/TARGET and pin it with a test.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(convert list)

./scripts/ensure-tools.sh --full
build=build-sanitize
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMEASCONV_SANITIZE=ON -DMEASCONV_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" --target measconv_convert_fuzzer measconv_list_fuzzer measgen >/dev/null

work="$root/$build/fuzz"
mkdir -p "$work/artifacts"
"$root/scripts/fuzz-seeds.sh" "$root/$build/bin/measgen" "$work/seeds"

# The conversion writes files on every run; memory-backed scratch space keeps it fast.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

for target in "${targets[@]}"; do
  case "$target" in
    convert) max_len=40000 ;;
    list) max_len=4096 ;;
    *) echo "unknown fuzz target: $target" >&2; exit 2 ;;
  esac
  corpus="$work/corpus-$target"
  mkdir -p "$corpus"
  echo "== fuzzing $target for ${seconds}s"
  "$root/$build/fuzz/measconv_${target}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$work/artifacts/$target-" \
    "$corpus" "$work/seeds/$target" "$root/fuzz/regressions/$target" 2>"$work/$target.log" || {
      tail -n 60 "$work/$target.log" >&2
      # The last lines: what went wrong (the first report of libFuzzer, a sanitizer or a check),
      # the input that did it and the seed that repeats the run.
      echo "fuzz: the target $target failed: $(grep -m1 -E '==ERROR: |^ERROR: |SUMMARY: |[Cc]heck failed|^FAILED' "$work/$target.log" |
        sed 's/^==[0-9]*==//')"
      echo "fuzz: $(grep -m1 -E 'Test unit written to|^artifact_prefix' "$work/$target.log" || echo "the input is in $work/artifacts/")"
      echo "fuzz: $(grep -m1 '^INFO: Seed: ' "$work/$target.log") (-seed=N repeats the run; the whole log is $work/$target.log)"
      exit 1
    }
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' "$work/$target.log" || true
done
