#!/usr/bin/env bash
# Converts a list in shards with GNU parallel: SHARDS measconv processes, on this machine or on
# several hosts that share the file system, together do what one `measconv TYPE LISTFILE` does.
#
#   cluster/parallel-shards.sh TYPE LISTFILE [SHARDS [PARALLEL-OPTIONS...]]
#
# Process K converts shard K of SHARDS (MEASCONV_SHARD=K/SHARDS): entries that may touch the
# same files are in one shard, in list order, so the processes never race. SHARDS defaults to
# the CPUs here; GNU parallel runs as many shards at a time as a host has CPUs. Each shard
# prints its messages whole when it ends, in shard order. Run it in the directory the list's
# relative paths start from. Environment: MEASCONV names the program (see below), MEASCONV_JOBS
# the threads of each shard (default 1), TZ (when set) is passed on.
#
# The program: MEASCONV when set, used as it is on every host; else the measconv beside this
# script, or in the build folder of the source tree it is in (build/bin, then build), named by
# its absolute path; else measconv on the PATH of each host.
#
# Several hosts: the options after SHARDS go to GNU parallel, for example
#
#   cluster/parallel-shards.sh tpwc runs.lst 32 --sshlogin 8/node1,8/node2 --workdir "$PWD"
#
# runs 32 shards, 8 at a time on each host, in the same directory on each (the hosts share the
# file system at the same path, with measconv installed on each or in the shared build folder).
#
# The exit code: GNU parallel's when a shard exited with another code than 0 (the number of
# such shards); else 1 when the shards printed any message (each names an entry or an output
# that failed), 0 when they printed none.
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: $0 TYPE LISTFILE [SHARDS [PARALLEL-OPTIONS...]]" >&2
  exit 2
fi
type=$1
list=$2
shards=${3:-$(nproc)}
shift $(($# < 3 ? $# : 3))
case "$shards" in
  '' | *[!0-9]* | 0*) echo "$0: SHARDS must be a positive integer, not '$shards'" >&2; exit 2 ;;
esac

# Prints the measconv to run, or says on standard error where it was looked for.
find_measconv() {
  local here candidate
  if [ -n "${MEASCONV:-}" ]; then printf '%s\n' "$MEASCONV" && return; fi
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
  for candidate in "$here/measconv" "${here%/*}/build/bin/measconv" "${here%/*}/build/measconv"; do
    if [ -f "$candidate" ] && [ -x "$candidate" ]; then printf '%s\n' "$candidate" && return; fi
  done
  if command -v measconv >/dev/null; then echo measconv && return; fi
  echo "$0: measconv not found: not in $here, ${here%/*}/build/bin or ${here%/*}/build, nor on the PATH;" \
    "build it there (cmake --build build) or set MEASCONV=/path/to/measconv" >&2
  return 1
}
measconv=$(find_measconv) || exit 2

settings=(MEASCONV_SHARD={}/"$shards" MEASCONV_JOBS="${MEASCONV_JOBS:-1}")
if [ -n "${TZ:-}" ]; then settings+=(TZ="$TZ"); fi
set +e
seq 0 $((shards - 1)) |
  parallel --will-cite --group --keep-order "$@" -q env "${settings[@]}" "$measconv" "$type" "$list" |
  awk '{ print; fflush() } END { exit (NR > 0) }'
status=("${PIPESTATUS[@]}")
if [ "${status[1]}" -ne 0 ]; then exit "${status[1]}"; fi
exit "${status[2]}"
