#!/usr/bin/env bash
# Renders a manual page the way `man` shows it on an 80-column terminal and fails on any
# warning of man or groff, on a line wider than 80 columns, or on a page without its sections.
#   scripts/check-man-page.sh PAGE.1
set -euo pipefail
page=$1
command -v man >/dev/null || { echo "man is not installed (Debian package man-db)" >&2; exit 1; }

out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
status=0
# LC_ALL=C: groff renders plain ASCII, so a character the page cannot spell in ASCII is a warning too.
MANWIDTH=80 LC_ALL=C man --warnings -l "$page" >"$out" 2>"$err" || status=$?
if [ "$status" -ne 0 ] || [ -s "$err" ]; then
  echo "man --warnings -l $page: exit $status" >&2
  cat "$err" >&2
  exit 1
fi
wide=$(awk 'length($0) > 80 { printf "%d: %s\n", NR, $0 }' "$out")
if [ -n "$wide" ]; then
  echo "$page: rendered lines wider than 80 columns:" >&2
  echo "$wide" >&2
  exit 1
fi
for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" EXAMPLES; do
  grep -qx "$section" "$out" || { echo "$page: no $section section" >&2; exit 1; }
done
echo "$page renders cleanly ($(wc -l <"$out") lines)"
