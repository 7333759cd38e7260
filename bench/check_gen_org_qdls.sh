#!/usr/bin/env bash
# Keeps the query-based lists of tools/gen-org.py (--qdls) in step with the program:
#   - --qdls only adds to what the same seed gives without it (directory entries at the end,
#     items in the mandatory-contacts folder), so that benchmarks of whole runs stay
#     comparable;
#   - a run on it completes with the same QAV dumps as one without, each list's member query
#     returns the rows the generator counts for it, and SourceMCL-1.csv has one person record
#     per mailbox user, carrying exactly the MCL memberships the generator counts.
#   check_gen_org_qdls.sh GEN_ORG_PY TESTQAV
set -euo pipefail
gen="$1"
testqav="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/check-gen-org-qdls.XXXXXX")"
trap 'rm -rf "$work"' EXIT
fail() {
  echo "$*" >&2
  exit 1
}

python3 "$gen" --users 600 --seed 5 --out "$work/plain" >/dev/null
python3 "$gen" --users 600 --seed 5 --qdls --out "$work/qdl" >/dev/null 2>"$work/qdl.err"

summary=$(cat "$work/qdl.err")
rows=$(echo "$summary" | sed -n 's/.*; rows of each list: \([0-9 ]*\);.*/\1/p')
reached=$(echo "$summary" | sed -n 's/.* \([0-9]*\) contacts reached .*/\1/p')
distinct=$(echo "$summary" | sed -n 's/.*, \([0-9]*\) distinct people$/\1/p')
if [ -z "$rows" ] || [ -z "$reached" ] || [ -z "$distinct" ]; then
  fail "unexpected generator summary: $summary"
fi

server="exchange/EXCH01"
cmp "$work/plain/registry.reg" "$work/qdl/registry.reg" || fail "registry changed"
cmp "$work/plain/$server/public.json" "$work/qdl/$server/public.json" || fail "public store changed"
size=$(stat -c %s "$work/plain/$server/directory.ldif")
cmp -n "$size" "$work/plain/$server/directory.ldif" "$work/qdl/$server/directory.ldif" ||
  fail "the directory with query-based lists does not begin with the directory without"
python3 - "$work/plain/$server/mailboxes/qavagent.json" "$work/qdl/$server/mailboxes/qavagent.json" <<'EOF'
import json, sys
plain, qdl = (json.load(open(p, encoding="utf-8")) for p in sys.argv[1:3])

def folder(node, name):
    for f in node.get("folders", []):
        if f["name"] == name:
            return f
        found = folder(f, name)
        if found:
            return found

items = folder(qdl["root"], "Mandatory Contacts").pop("messages")
if plain != qdl:
    sys.exit("the mailbox differs beyond the MCL items")
if len(items) != 9 or any(m["class"] != "IPM.Post.MCL" for m in items):
    sys.exit("expected 9 IPM.Post.MCL items")
EOF

for org in plain qdl; do
  "$testqav" --host "$work/$org" --no-wait </dev/null >/dev/null 2>"$work/$org.run.err" ||
    fail "the run on the $org organisation failed: $(cat "$work/$org.run.err")"
done
for dump in QAV-1.csv QAV-GAL.csv; do
  cmp "$work/plain/$dump" "$work/qdl/$dump" || fail "$dump differs with query-based lists"
done
returned=$(sed -n 's/.*QAV::ExpandQueryDL:query returned \([0-9]*\) rows.*/\1/p' "$work/qdl/TestQAV.log" |
  tr '\n' ' ' | sed 's/ $//')
[ "$returned" = "$rows" ] || fail "the member queries returned $returned rows, the generator counts $rows"

read -r people memberships < <(awk -F, '{sub(/\r$/, "")}
  NR == 1 {for (i = 1; i <= NF; i++) col[$i] = i; next}
  $col["DL"] != "True" {rows++; m += gsub(/\{/, "{", $col["MCLID"])}
  END {print rows + 0, m + 0}' "$work/qdl/SourceMCL-1.csv")
[ "$people" = "$distinct" ] || fail "SourceMCL-1.csv has $people person records, the lists reach $distinct people"
[ "$memberships" = "$reached" ] ||
  fail "SourceMCL-1.csv person records carry $memberships MCL memberships, the lists reach $reached"
echo "ok: rows $returned; SourceMCL-1.csv: $people people, $memberships memberships"
