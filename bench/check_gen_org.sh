#!/usr/bin/env bash
# Keeps tools/gen-org.py and the loaders in step: a generated organisation must be the same
# bytes for the same seed, load with the mailbox and directory loaders, and give one
# registration-table row per message that the generator says it wrote.
#   check_gen_org.sh GEN_ORG_PY LOAD_FLOOR
set -euo pipefail
gen="$1"
floor="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/check-gen-org.XXXXXX")"
trap 'rm -rf "$work"' EXIT

summary=$(python3 "$gen" --users 400 --seed 11 --out "$work/a")
python3 "$gen" --users 400 --seed 11 --out "$work/b" >/dev/null
python3 "$gen" --users 400 --seed 12 --out "$work/c" >/dev/null
diff -r "$work/a" "$work/b" >/dev/null || { echo "same seed, different output" >&2; exit 1; }
if diff -r "$work/a" "$work/c" >/dev/null; then
  echo "different seeds, same output" >&2
  exit 1
fi

messages=$(echo "$summary" | sed -n 's/^400 users, \([0-9]*\) registration messages.*/\1/p')
[ -n "$messages" ] || { echo "unexpected generator summary: $summary" >&2; exit 1; }
"$floor" --host "$work/a" --lookups >"$work/floor.txt"
rows=$(awk '$1 == "rows" {print $2}' "$work/floor.txt")
found=$(awk '$1 == "lookups_found" {print $2}' "$work/floor.txt")
if [ "$rows" != "$messages" ]; then
  echo "load_floor read $rows rows, the generator wrote $messages messages" >&2
  exit 1
fi
# Every usable topic of a user still in the directory is one of that user's proxy addresses.
if [ "$found" -lt $((messages * 95 / 100)) ]; then
  echo "only $found of $messages topics found in the directory" >&2
  exit 1
fi
echo "ok: $messages messages, $rows rows, $found found"
