# Sourced by the package and Windows steps: counts passed and failed checks.
#   check DESCRIPTION COMMAND...   runs COMMAND; a failure is counted and named
passed=0
failed=0
check() {
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
contains() { [[ "$1" == *"$2"* ]]; }
