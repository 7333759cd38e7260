#!/usr/bin/env bash
# Keeps the mandatory contact lists of tools/gen-org.py (--mcls) in step with the program:
#   - --mcls 0 gives the bytes that the generator gives without the option, and --mcls N only
#     adds to them (directory entries at the end, items in the mandatory-contacts folder), so
#     that benchmarks of whole runs stay comparable;
#   - a run on the organisation with MCLs completes and writes the same QAV dumps as one
#     without;
#   - every source and target address of the MCLs resolves to an Exchange entry (except the
#     addresses of people who have left, which are meant not to), every list named has
#     members, and the two lists that contain each other do;
#   - when the run writes SourceMCL-1.csv, its person records carry exactly the MCL
#     memberships that the generator says its MCLs reach.
#   check_gen_org_mcls.sh GEN_ORG_PY TESTQAV
set -euo pipefail
gen="$1"
testqav="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/check-gen-org-mcls.XXXXXX")"
trap 'rm -rf "$work"' EXIT
fail() {
  echo "$*" >&2
  exit 1
}

python3 "$gen" --users 600 --seed 5 --out "$work/plain" >/dev/null
python3 "$gen" --users 600 --seed 5 --mcls 0 --out "$work/zero" >/dev/null 2>"$work/zero.err"
python3 "$gen" --users 600 --seed 5 --mcls 12 --out "$work/mcl" >/dev/null 2>"$work/mcl.err"
diff -r "$work/plain" "$work/zero" >/dev/null || fail "--mcls 0 changed the output"
[ ! -s "$work/zero.err" ] || fail "--mcls 0 printed: $(cat "$work/zero.err")"

summary=$(cat "$work/mcl.err")
reached=$(echo "$summary" | sed -n 's/.*, 12 MCLs (.*), \([0-9]*\) contacts reached .*, \([0-9]*\) distinct people$/\1/p')
distinct=$(echo "$summary" | sed -n 's/.*, \([0-9]*\) distinct people$/\1/p')
if [ -z "$reached" ] || [ -z "$distinct" ]; then fail "unexpected generator summary: $summary"; fi
[ "$reached" -gt 0 ] || fail "the MCLs reach nobody: $summary"

server="exchange/EXCH01"
cmp "$work/plain/registry.reg" "$work/mcl/registry.reg" || fail "registry changed"
cmp "$work/plain/$server/public.json" "$work/mcl/$server/public.json" || fail "public store changed"
size=$(stat -c %s "$work/plain/$server/directory.ldif")
cmp -n "$size" "$work/plain/$server/directory.ldif" "$work/mcl/$server/directory.ldif" ||
  fail "the directory with MCLs does not begin with the directory without"

# The mailbox with its MCL items taken out is the mailbox without MCLs; the items are
# written as the folder's messages, one source and target list each.
python3 - "$work/plain/$server/mailboxes/qavagent.json" "$work/mcl/$server/mailboxes/qavagent.json" \
  "$work/pieces.txt" <<'EOF'
import json, sys
plain, mcl = (json.load(open(p, encoding="utf-8")) for p in sys.argv[1:3])

def folder(node, name):
    for f in node.get("folders", []):
        if f["name"] == name:
            return f
        found = folder(f, name)
        if found:
            return found

items = folder(mcl["root"], "Mandatory Contacts").pop("messages")
if plain != mcl:
    sys.exit("the mailbox differs beyond the MCL items")
if len(items) != 12:
    sys.exit("%d MCL items, not 12" % len(items))
pieces = set()
for m in items:
    if m["class"] != "IPM.Post.MCL":
        sys.exit("MCL item of class " + m["class"])
    f = {p["name"]: p["value"] for p in m["named"]}
    for name in ("ZOR.Guid", "MCL Source Email", "MCL Target Email", "MCL Description"):
        if not isinstance(f.get(name), str):
            sys.exit("MCL item %r without the text %r" % (m["subject"], name))
    for text in (f["MCL Source Email"], f["MCL Target Email"]):
        pieces.update(p.strip() for p in text.split(";") if p.strip())
with open(sys.argv[3], "w", encoding="utf-8") as out:
    out.write("".join(p + "\n" for p in sorted(pieces)))
EOF

checked=0
while IFS= read -r piece; do
  case "$piece" in *.left@*) continue ;; esac
  "$testqav" resolve --host "$work/mcl" "$piece" >"$work/resolve.txt" 2>&1 ||
    fail "$piece does not resolve: $(cat "$work/resolve.txt")"
  grep -qx "address type: EX" "$work/resolve.txt" || fail "$piece is no Exchange entry"
  if grep -qx "display type: 1" "$work/resolve.txt"; then
    members=$(sed -n 's/^members: //p' "$work/resolve.txt")
    [ "${members:-0}" -gt 0 ] || fail "list $piece has no members"
  fi
  checked=$((checked + 1))
done <"$work/pieces.txt"
[ "$checked" -gt 12 ] || fail "only $checked addresses in the MCLs"
"$testqav" resolve --host "$work/mcl" "Incident Response" | grep -q "^    Incident Response Backup <EX:" ||
  fail "Incident Response does not contain Incident Response Backup"
"$testqav" resolve --host "$work/mcl" "Incident Response Backup" | grep -q "^    Incident Response <EX:" ||
  fail "Incident Response Backup does not contain Incident Response"

for org in plain mcl; do
  "$testqav" --host "$work/$org" --no-wait </dev/null >/dev/null 2>"$work/$org.run.err" ||
    fail "the run on the $org organisation failed: $(cat "$work/$org.run.err")"
done
for dump in QAV-1.csv QAV-GAL.csv; do
  cmp "$work/plain/$dump" "$work/mcl/$dump" || fail "$dump differs with MCLs"
done

sourcemcl="$work/mcl/SourceMCL-1.csv"
if [ -f "$sourcemcl" ]; then
  # One record per person; its MCLID field holds "{n}" once for every MCL that reaches it.
  read -r rows memberships < <(awk -F, '{sub(/\r$/, "")}
    NR == 1 {for (i = 1; i <= NF; i++) col[$i] = i; next}
    $col["DL"] != "True" {rows++; memberships += gsub(/\{/, "{", $col["MCLID"])}
    END {print rows + 0, memberships + 0}' "$sourcemcl")
  [ "$rows" = "$distinct" ] || fail "SourceMCL-1.csv has $rows person records, the MCLs reach $distinct people"
  [ "$memberships" = "$reached" ] ||
    fail "SourceMCL-1.csv person records carry $memberships MCL memberships, the MCLs reach $reached"
  echo "ok: $checked addresses resolve; SourceMCL-1.csv: $rows people, $memberships memberships"
else
  echo "ok: $checked addresses resolve; no SourceMCL-1.csv (this program collects no MCLs)"
fi
