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
# relative paths start from. Environment: MEASCONV names the program (default: measconv on
# the PATH), MEASCONV_JOBS the threads of each shard (default 1), TZ (when set) is passed on.
#
# Several hosts: the options after SHARDS go to GNU parallel, for example
#
#   cluster/parallel-shards.sh tpwc runs.lst 32 --sshlogin 8/node1,8/node2 --workdir "$PWD"
#
# runs 32 shards, 8 at a time on each host, in the same directory on each (the hosts share the
# file system at the same path; measconv is on their PATH, or MEASCONV names it there).
#
# The exit code is GNU parallel's: 0 when every shard exited with 0, else the number that did not.
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

settings=(MEASCONV_SHARD={}/"$shards" MEASCONV_JOBS="${MEASCONV_JOBS:-1}")
if [ -n "${TZ:-}" ]; then settings+=(TZ="$TZ"); fi
seq 0 $((shards - 1)) |
  parallel --will-cite --group --keep-order "$@" -q env "${settings[@]}" "${MEASCONV:-measconv}" "$type" "$list"
