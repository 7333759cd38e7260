#!/usr/bin/env bash
# The manual page against the program: every command and exit status that --help names is
# documented, every status the manual names is one --help knows, and the page renders
# without warnings where groff is installed.
# Usage: man_page_check.sh TESTQAV MAN_PAGE
set -euo pipefail
testqav="$1"
page="$2"
usage="$("$testqav" --help)"
fail=0
for command in merge search resolve explain; do
  if grep -q "testqav $command" <<<"$usage" && ! grep -q "^\.B testqav $command" "$page"; then
    echo "the manual does not document 'testqav $command'" >&2
    fail=1
  fi
done
help_statuses="$(sed -n 's/^  \([0-9][0-9]*\) .*/\1/p' <<<"$usage" | sort -n | tr '\n' ' ')"
page_statuses="$(sed -n '/^\.SH "EXIT STATUS"/,/^\.SH /p' "$page" | sed -n 's/^\.B \([0-9][0-9]*\)$/\1/p' | sort -n | tr '\n' ' ')"
if [ "$help_statuses" != "$page_statuses" ]; then
  echo "exit statuses differ: --help has [$help_statuses], the manual [$page_statuses]" >&2
  fail=1
fi
if command -v groff >/dev/null; then
  warnings="$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$page" 2>&1)"
  if [ -n "$warnings" ]; then
    echo "groff warns about the manual:" >&2
    echo "$warnings" >&2
    fail=1
  fi
fi
exit "$fail"
