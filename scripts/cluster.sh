#!/usr/bin/env bash
# The shard recipes on real engines. A one-node Slurm cluster (Debian's slurmctld, slurmd and
# munged) and an sshd on a loopback port are started here, in a temporary folder with free
# ports, and stopped by their process ids at the end, also when a check fails. The recipes are
# run as doc/cluster.md shows them, without MEASCONV: they find build's measconv themselves.
#
#   - cluster/slurm-shards.sbatch with sbatch --wait, N = 3 and N = 2 x CPUs + 1, over a list
#     with conflicting and failing entries: the tree of one sequential run, each task's output
#     file holding the messages of its shard, together those of the sequential run; tasks whose
#     shard printed messages FAILED with exit code 1, the others COMPLETED, sbatch's exit code 1.
#   - a task cancelled (scancel) while it converts an entry whose input is a FIFO fed halfway:
#     no output of that entry left; the shard submitted again (with N) completes the tree.
#   - the node drained while a task converts: that task completes, the others wait; the node
#     resumed, they run and complete the tree.
#   - cluster/parallel-shards.sh with --sshlogin (two host names) through the sshd, with a key
#     made here: the tree and the messages of the sequential run, every shard logged in by key.
#
# Ends with "cluster: P passed, F failed". Run by ./scripts/test.sh; alone: scripts/cluster.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
recipes=$root/cluster
. scripts/checks.sh

if [ "$(id -u)" -ne 0 ]; then
  echo "cluster: not run: slurmd runs its jobs as root here and sshd needs /run/sshd (run as root)"
  exit 0
fi
installing=$SECONDS
./scripts/ensure-tools.sh --cluster
echo "cluster: installs took $((SECONDS - installing)) s"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
nice -n 10 cmake --build build --target measconv measgen >/dev/null
program() {  # build/bin holds every program, older build trees keep them in their targets' folders
  local path
  for path in "build/bin/$1" "build/$1" "build/tools/$1"; do
    if [ -x "$path" ]; then printf '%s\n' "$root/$path" && return; fi
  done
  echo "cluster: $1 is not built" >&2
  exit 1
}
measconv=$(program measconv)
measgen=$(program measgen)
unset MEASCONV MEASCONV_JOBS MEASCONV_SHARD
export TZ=Europe/Berlin LC_ALL=C  # the CSV date-times depend on TZ: the recipes must pass it on
started=$SECONDS

work=$(mktemp -d /tmp/measconv-cluster.XXXXXX)
chmod 755 "$work"
pids=()  # of the daemons and feeders started here, stopped in reverse order
made_run_sshd=no
stop_everything() {
  local status=$? pid i
  if [ -n "${SLURM_CONF:-}" ] && [ -e "$work/slurmctld.pid" ]; then
    squeue -h -o %A 2>/dev/null | sort -u | xargs -r scancel 2>/dev/null || true
    for i in $(seq 40); do [ -z "$(squeue -h 2>/dev/null)" ] && break; sleep 0.25; done
  fi
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    # Only while it is still this script's child: a process that ended may have left its id to another.
    if [ "$(sed -n 's/^PPid:\t*//p' "/proc/$pid/status" 2>/dev/null)" = "$$" ]; then
      kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    fi
  done
  if [ "$made_run_sshd" = yes ]; then rmdir /run/sshd 2>/dev/null || true; fi
  [ "$status" -eq 0 ] || show_failure_logs
  rm -rf "$work"
}
# The logs' last lines when a check failed, before the failed checks are named (the step's last lines).
show_failure_logs() {
  [ "${failure_logs_shown:-no}" = no ] || return 0
  failure_logs_shown=yes
  for log in "$work"/log/*; do [ -s "$log" ] && { echo "--- last lines of $log"; tail -n 15 "$log"; }; done
  return 0
}
trap stop_everything EXIT
mkdir -p "$work/log" "$work/munge" "$work/state" "$work/spool" "$work/ssh" "$work/feed"

give_up() {
  show_failure_logs
  finish_checks cluster
  exit 1
}
# Waits up to SECONDS for COMMAND to succeed.
wait_for() {
  local seconds=$1 i
  shift
  for i in $(seq $((seconds * 4))); do "$@" && return 0; sleep 0.25; done
  "$@"
}
free_ports() {  # COUNT ports nothing listens on now, held open together so they differ
  python3 -c 'import socket, sys
held = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in held: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in held))' "$1"
}
read -r ctld_port slurmd_port ssh_port < <(free_ports 3)

# --- The Slurm cluster ---------------------------------------------------------------------
mungekey -c -k "$work/munge/munge.key"
munged -F --force --key-file="$work/munge/munge.key" --socket="$work/munge/socket" \
  --pid-file="$work/munge/munged.pid" --log-file="$work/log/munged.log" \
  --seed-file="$work/munge/munged.seed" >"$work/log/munged.out" 2>&1 &
pids+=($!)
node_line=$(slurmd -C | head -n 1)  # NodeName=HOST CPUs=... RealMemory=...: this machine as it is
node=$(sed 's/^NodeName=\([^ ]*\).*/\1/' <<<"$node_line")
cpus=$(sed 's/.* CPUs=\([0-9]*\).*/\1/' <<<"$node_line")
export SLURM_CONF=$work/slurm.conf
cat >"$SLURM_CONF" <<EOF
ClusterName=measconv
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$work/munge/socket
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/log/slurmctld.log
SlurmdLogFile=$work/log/slurmd.log
# No cgroups and no systemd in a container: processes tracked by their parents, tasks not bound.
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
# Every finished task's state and exit code, one line each (no accounting database here).
JobCompType=jobcomp/filetxt
JobCompLoc=$work/jobs.txt
MpiDefault=none
MailProg=/bin/true
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
# Tasks start as soon as CPUs are free; sbatch --wait polls every 2 s when jobs age out this soon.
SchedulerParameters=batch_sched_delay=0,sched_min_interval=0
MinJobAge=2
$node_line NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=shards Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
wait_for 10 test -S "$work/munge/socket"
slurmctld -D -f "$SLURM_CONF" >"$work/log/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" >"$work/log/slurmd.out" 2>&1 &
pids+=($!)
node_idle() { [ "$(sinfo -h -n "$node" -o %T 2>/dev/null)" = idle ]; }
check "Slurm $(slurmctld -V | cut -d' ' -f2): node $node with $cpus CPUs idle" wait_for 30 node_idle
node_idle || give_up
echo "Slurm up after $((SECONDS - started)) s"

# --- Workloads and their sequential runs ---------------------------------------------------
# The shard list: conflicts in every way the text shows, failures among good entries.
make_shard_workload() {
  mkdir -p "$1/out"
  "$measgen" --sensors 16 --records 20000 --rate 10 "$1/large.dat" >/dev/null
  "$measgen" --sensors 2 --records 5 --rate 10 "$1/small.dat" >/dev/null
  {
    echo "# a run of many files"
    for i in $(seq 0 11); do echo "small.dat,out/s$i$([ $((i % 3)) -eq 0 ] && echo ,sct)"; done
    echo "large.dat,out/big,tpwc"
    echo "small.dat,./out/big,tp"     # the same base twice
    echo "large.dat,made"
    echo "made_pv.txt,from_made"      # an output read later
    echo "large.dat,split,sct"
    echo "small.dat,split/inner,tpwc" # combined files in a split directory
    echo "missing.dat,m"
    echo "out,dir_input"              # a directory as input
    echo "large.dat,l2,cp"
  } >"$1/list.txt"
}
# The FIFO list: its first entry (shard 0 of 3: single entries go round in list order) reads a
# FIFO the test feeds, so the task converting it can be caught halfway.
fifo=$work/feed/fed.fifo
make_fifo_workload() {
  mkdir -p "$1"
  [ -e "$work/feed/fed.dat" ] || "$measgen" --sensors 8 --records 60000 --rate 100 "$work/feed/fed.dat" >/dev/null
  "$measgen" --sensors 2 --records 50 "$1/small.dat" >/dev/null
  { echo "$fifo,fed,tpwc"; for i in 1 2 3 4 5; do echo "small.dat,c$i,tpwc"; done; } >"$1/list.txt"
}
[ -p "$fifo" ] || mkfifo "$fifo"
feed_whole() { cat "$work/feed/fed.dat" >"$fifo" & pids+=($!); }
# Feeds half the file, says so in feed/half, and the rest once feed/go exists.
feed_halfway() {
  rm -f "$work/feed/half" "$work/feed/go"
  local half=$(($(stat -c %s "$work/feed/fed.dat") / 2))
  {
    head -c "$half" "$work/feed/fed.dat"
    : >"$work/feed/half"
    while [ ! -e "$work/feed/go" ]; do sleep 0.1; done
    tail -c +$((half + 1)) "$work/feed/fed.dat"
  } >"$fifo" &
  pids+=($!)
  feeder=$!
}

make_shard_workload "$work/sequential"
(cd "$work/sequential" && "$measconv" tpwc list.txt >"$work/sequential.out")
make_fifo_workload "$work/fifo-sequential"
feed_whole
(cd "$work/fifo-sequential" && "$measconv" tpwc list.txt >"$work/fifo-sequential.out")

same_tree() {  # the job output files left out
  diff -rq --no-dereference -x 'measconv-*.out' "$1" "$2" >"$work/diff.txt" 2>&1 || { head -n 20 "$work/diff.txt"; return 1; }
}
same_lines() { diff <(sort "$1") <(sort "$2") >"$work/diff.txt" || { head -n 20 "$work/diff.txt"; return 1; }; }
# The finished task K of array JOB: "STATE EXIT_CODE" from the job completion file.
task_state() {
  sed -n "s/.* JobState=\([A-Z_]*\) .* ArrayJobId=$1 ArrayTaskId=$2 .* ExitCode=\([0-9:]*\).*/\1 \2/p" "$work/jobs.txt" 2>/dev/null
}
array_done() { [ -z "$(squeue -h -j "$1" 2>/dev/null)" ]; }
array_recorded() {  # every task of array JOB (K...) has its completion line
  local job=$1 k
  shift
  for k in "$@"; do [ -n "$(task_state "$job" "$k")" ] || return 1; done
}
failed_tasks=0
completed_tasks=0

# Submits the recipe as documented in DIR for N tasks, then checks the run against the
# sequential one and against the shards run one by one in a copy.
submit_and_check() {
  local n=$1
  shift
  local dir=$work/slurm-$n job status k tasks=()
  make_shard_workload "$dir"
  set +e
  job=$(cd "$dir" && timeout 300 sbatch --parsable --wait --array=0-$((n - 1)) "$@" "$recipes/slurm-shards.sbatch" tpwc list.txt)
  status=$?
  set -e
  for ((k = 0; k < n; k++)); do tasks+=("$k"); done
  check "N=$n: sbatch --wait exits with 1 (some shards have failing entries)" test "$status" -eq 1
  check "N=$n: the tree of the sequential run" same_tree "$work/sequential" "$dir"
  cat "$dir"/measconv-"$job"_*.out >"$work/all-$n.out" 2>/dev/null || true
  check "N=$n: the job output files hold the messages of the sequential run" \
    same_lines "$work/sequential.out" "$work/all-$n.out"
  make_shard_workload "$work/by-hand-$n"
  wait_for 10 array_recorded "$job" "${tasks[@]}" || true
  for k in "${tasks[@]}"; do
    (cd "$work/by-hand-$n" && MEASCONV_SHARD=$k/$n "$measconv" tpwc list.txt >"$work/by-hand-$n-$k.out")
    check "N=$n: task $k's output file holds its shard's messages" \
      cmp -s "$work/by-hand-$n-$k.out" "$dir/measconv-${job}_$k.out"
    if [ -s "$work/by-hand-$n-$k.out" ]; then
      check "N=$n: task $k (its shard has failing entries) FAILED with exit code 1" \
        test "$(task_state "$job" "$k")" = "FAILED 1:0"
      failed_tasks=$((failed_tasks + 1))
    else
      check "N=$n: task $k COMPLETED" test "$(task_state "$job" "$k")" = "COMPLETED 0:0"
      completed_tasks=$((completed_tasks + 1))
    fi
  done
}
if [ "$cpus" -ge 2 ]; then submit_and_check 3; else submit_and_check 3 --cpus-per-task=1; fi
submit_and_check $((2 * cpus + 1)) --cpus-per-task=1
check "the runs had failed tasks and completed ones ($failed_tasks and $completed_tasks)" \
  test "$failed_tasks" -gt 0 -a "$completed_tasks" -gt 0
echo "Slurm runs done after $((SECONDS - started)) s"

# --- A task cancelled halfway, then its shard again ----------------------------------------
dir=$work/cancelled
make_fifo_workload "$dir"
feed_halfway
job=$(cd "$dir" && sbatch --parsable --array=0-2 --cpus-per-task=1 "$recipes/slurm-shards.sbatch" tpwc list.txt)
check "scancel: task 0 is converting the FIFO entry" wait_for 60 test -e "$work/feed/half" -a -e "$dir/fed_pv.txt"
scancel "${job}_0"
check "scancel: the array ends" wait_for 60 array_done "$job"
kill "$feeder" 2>/dev/null || true
wait_for 10 array_recorded "$job" 0 1 2 || true
check "scancel: task 0 CANCELLED" contains "$(task_state "$job" 0)" CANCELLED
check "scancel: tasks 1 and 2 COMPLETED" test "$(task_state "$job" 1) $(task_state "$job" 2)" = "COMPLETED 0:0 COMPLETED 0:0"
check "scancel: no output of the entry being converted is left" test -z "$(cd "$dir" && ls -d fed* 2>/dev/null)"
check "scancel: measconv said what it removed" \
  contains "$(cat "$dir/measconv-${job}_0.out")" "measconv: interrupted, removed the unfinished outputs of '$fifo'"
feed_whole
set +e
(cd "$dir" && timeout 120 sbatch --wait --array=0 "$recipes/slurm-shards.sbatch" tpwc list.txt 3 >/dev/null)
status=$?
set -e
check "scancel: shard 0 of 3 submitted again exits with 0" test "$status" -eq 0
check "scancel: the tree is then that of the sequential run" same_tree "$work/fifo-sequential" "$dir"

# --- The node drained while a task converts, then resumed ----------------------------------
dir=$work/drained
make_fifo_workload "$dir"
feed_halfway
# Each task takes every CPU, so the tasks run one at a time.
job=$(cd "$dir" && sbatch --parsable --array=0-2 --cpus-per-task="$cpus" "$recipes/slurm-shards.sbatch" tpwc list.txt)
check "drain: task 0 is converting the FIFO entry" wait_for 60 test -e "$work/feed/half"
scontrol update NodeName="$node" State=DRAIN Reason="measconv drain test"
waiting=$(squeue -h -j "$job" -t PD -r -o %K | sort | tr '\n' ' ')
: >"$work/feed/go"
node_drained() { sinfo -h -n "$node" -o %T | grep -qx drained; }
check "drain: the running task completes and the node is drained" wait_for 60 node_drained
check "drain: task 0 COMPLETED" wait_for 10 test "$(task_state "$job" 0)" = "COMPLETED 0:0"
sleep 2
check "drain: the tasks that were waiting ($waiting) still wait" \
  test "$(squeue -h -j "$job" -t PD -r -o %K | sort | tr '\n' ' ')" = "$waiting"
scontrol update NodeName="$node" State=RESUME
check "drain: resumed, the array ends" wait_for 60 array_done "$job"
wait_for 10 array_recorded "$job" 0 1 2 || true
check "drain: tasks 1 and 2 COMPLETED" test "$(task_state "$job" 1) $(task_state "$job" 2)" = "COMPLETED 0:0 COMPLETED 0:0"
check "drain: the tree of the sequential run" same_tree "$work/fifo-sequential" "$dir"
echo "Slurm faults done after $((SECONDS - started)) s"

# --- GNU parallel over ssh -----------------------------------------------------------------
if [ ! -d /run/sshd ]; then mkdir -p /run/sshd && made_run_sshd=yes; fi  # sshd's privilege separation
ssh-keygen -q -t ed25519 -N '' -C measconv-test-host -f "$work/ssh/host_key"
ssh-keygen -q -t ed25519 -N '' -C measconv-test -f "$work/ssh/id"
cp "$work/ssh/id.pub" "$work/ssh/authorized_keys"
echo "measconv-test $(cat "$work/ssh/host_key.pub")" >"$work/ssh/known_hosts"
cat >"$work/ssh/sshd_config" <<EOF
Port $ssh_port
ListenAddress 127.0.0.1
HostKey $work/ssh/host_key
PidFile $work/ssh/sshd.pid
AuthorizedKeysFile $work/ssh/authorized_keys
AuthenticationMethods publickey
PermitRootLogin prohibit-password
UsePAM no
StrictModes no
EOF
cat >"$work/ssh/config" <<EOF
Host measconv-a measconv-b
  HostName 127.0.0.1
  Port $ssh_port
  User $(id -un)
  IdentityFile $work/ssh/id
  IdentitiesOnly yes
  HostKeyAlias measconv-test
  UserKnownHostsFile $work/ssh/known_hosts
  StrictHostKeyChecking yes
  BatchMode yes
EOF
# sshd hands its own TZ to the sessions: another zone than the shards', which the recipe must pass on.
TZ=UTC /usr/sbin/sshd -D -f "$work/ssh/sshd_config" -E "$work/log/sshd.log" &
pids+=($!)
ssh_works() { ssh -F "$work/ssh/config" measconv-a true 2>/dev/null; }
check "sshd on 127.0.0.1:$ssh_port takes the key made here" wait_for 10 ssh_works
dir=$work/ssh-shards
make_shard_workload "$dir"
logins_before=$(grep -c 'Accepted publickey' "$work/log/sshd.log" || true)
set +e
(cd "$dir" && timeout 120 "$recipes/parallel-shards.sh" tpwc list.txt 4 --sshlogin 2/measconv-a,2/measconv-b \
  --ssh "ssh -F $work/ssh/config" --workdir "$dir" >"$work/ssh.out" 2>"$work/log/ssh-shards.err")
status=$?
set -e
check "ssh: parallel-shards.sh exits with 1 (some shards have failing entries)" test "$status" -eq 1
check "ssh: the tree of the sequential run" same_tree "$work/sequential" "$dir"
check "ssh: the messages of the sequential run" same_lines "$work/sequential.out" "$work/ssh.out"
logins=$(($(grep -c 'Accepted publickey' "$work/log/sshd.log" || true) - logins_before))
check "ssh: every shard ran through sshd ($logins logins)" test "$logins" -ge 4

echo "cluster: ran in $((SECONDS - started)) s after the installs"
[ "$failed" -eq 0 ] || show_failure_logs
finish_checks cluster || exit 1
