# Sourced by the package and Windows steps: counts passed and failed checks, and makes the step's
# last lines say which checks failed and why.
#   check DESCRIPTION COMMAND...  runs COMMAND; a failure is counted and named with COMMAND's first
#                                 lines of output (or its exit status)
#   finish_checks STEP [NOTE]     names the failed checks again, then "STEP: P passed, F failed";
#                                 returns 1 when a check failed
#   stop_on_error STEP            a command outside the checks that fails (set -e ends the step)
#                                 is named with its line and exit status, in the same last lines
#   quietly LOG COMMAND...        runs COMMAND with its output in LOG, shown (its end) on failure
# Commands for checks that say why they fail: contains TEXT PART, same ACTUAL EXPECTED,
# prints_nothing COMMAND...
passed=0
failed=0
failures=()
check() {
  local what=$1 output status=0
  shift
  output=$("$@" 2>&1) || status=$?
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
    return 0
  fi
  failed=$((failed + 1))
  local reason
  reason=$(printf '%s\n' "$output" | sed '/^$/d' | head -n 2 | tr '\n' ' ' | sed 's/ $//')
  failures+=("$what: ${reason:-exit status $status}")
  echo "FAILED: $what (exit status $status)"
  [ -z "$output" ] || printf '%s\n' "$output" | head -n 20 | sed 's/^/    /'
}
contains() { [[ "$1" == *"$2"* ]] || { echo "'$2' is not in '$1'" | head -c 300; return 1; }; }
same() { [ "$1" = "$2" ] || { echo "got '$1', expected '$2'"; return 1; }; }
prints_nothing() {
  local out
  out=$("$@" 2>&1) || { echo "$out"; return 1; }
  [ -z "$out" ] || { echo "it printed: $out"; return 1; }
}

quietly() {
  local log=$1 status=0
  shift
  "$@" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 30 "$log" | sed 's/^/    /'
    echo "'$*' failed with status $status; its whole output is in $log"
  fi
  return "$status"
}

finish_checks() {
  local step=$1 note=${2:-}
  if [ "$failed" -gt 0 ]; then
    echo "$step: the failed checks:"
    printf '  %s\n' "${failures[@]}"
  fi
  echo "$step: $passed passed, $failed failed${note:+ $note}"
  [ "$failed" -eq 0 ]
}

stop_on_error() {
  checks_step=$1
  trap 'checks_stopped $? $LINENO "$BASH_COMMAND"' ERR
}
checks_stopped() {
  local command=$3
  # A function that failed (quietly) shows as its return: name the line that called it.
  [[ "$command" != return* ]] || command=$(sed -n "$2{s/^ *//;p}" "$0")
  failed=$((failed + 1))
  failures+=("line $2 of $0, '$command', exited with status $1; the step stopped there")
  echo "FAILED: line $2 of $0: '$command' exited with status $1"
  finish_checks "$checks_step" || true
}
