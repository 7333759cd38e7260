#!/usr/bin/env bash
# Checks that two builds of testqav give the same outputs: runs each on a fresh copy of every
# host folder given and compares the dumps byte for byte and the run logs line for line
# without their time stamps (the part before the first ": "). For speed changes, which must
# not change what a run writes.
#   scripts/compare-outputs.sh TESTQAV_A TESTQAV_B HOST_DIR...
# Exit status 0 when every output is the same, 1 otherwise.
set -euo pipefail
if [ $# -lt 3 ]; then
  echo "usage: $0 TESTQAV_A TESTQAV_B HOST_DIR..." >&2
  exit 2
fi
a=$1
b=$2
shift 2
work="$(mktemp -d "${TMPDIR:-/tmp}/compare-outputs.XXXXXX")"
trap 'rm -rf "$work"' EXIT

differ=0
for host in "$@"; do
  for side in a b; do
    bin=$a
    [ "$side" = b ] && bin=$b
    rm -rf "${work:?}/$side"
    cp -a "$host" "$work/$side"
    rc=0
    "$bin" --host "$work/$side" --no-wait </dev/null >/dev/null 2>"$work/$side.err" || rc=$?
    echo "$rc" >"$work/$side.rc"
  done
  echo "$host:"
  if cmp -s "$work/a.rc" "$work/b.rc"; then
    echo "  exit status: same ($(cat "$work/a.rc"))"
  else
    echo "  exit status: DIFFERENT ($(cat "$work/a.rc") / $(cat "$work/b.rc"))"
    differ=1
  fi
  for dump in QAV-1.csv QAV-GAL.csv SourceMCL-1.csv Merge-1.csv; do
    if [ ! -e "$work/a/$dump" ] && [ ! -e "$work/b/$dump" ]; then continue; fi
    if cmp -s "$work/a/$dump" "$work/b/$dump"; then
      echo "  $dump: same ($(($(wc -l <"$work/a/$dump") - 1)) rows)"
    else
      echo "  $dump: DIFFERENT"
      differ=1
    fi
  done
  for side in a b; do
    # The first ": " ends the time stamp; lines that continue a multi-line entry have none
    # of their own and are kept whole.
    sed 's/^[0-9][0-9./-]* [0-9:]*: //' "$work/$side/TestQAV.log" >"$work/$side.log"
  done
  la=$(wc -l <"$work/a.log")
  lb=$(wc -l <"$work/b.log")
  if cmp -s "$work/a.log" "$work/b.log"; then
    echo "  TestQAV.log: same lines ($la)"
  else
    echo "  TestQAV.log: DIFFERENT ($la / $lb lines); first difference:"
    diff "$work/a.log" "$work/b.log" | head -n 6 | sed 's/^/    /'
    differ=1
  fi
done
exit "$differ"
