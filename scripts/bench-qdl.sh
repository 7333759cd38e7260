#!/usr/bin/env bash
# Query-based list benchmark: builds a Release testqav, generates organisations of 10,000 and
# 100,000 users with query-based lists (tools/gen-org.py --qdls: "Everyone", whose filter
# reaches every mailbox user, and one list per department, each named by an MCL), and runs
# the update run on each, with TESTQAV_PHASE_TIMES=1, on the embedded directory
# (directory.ldif) and against a private slapd loaded with the same LDIF (directory.conf).
# Prints per size and backend the MCL phase, the expansion of the all-staff list ("Everyone":
# rows, seconds, rows per second, of which directory queries) and of the department lists,
# the ratio slapd / embedded, slapd's own time to return the all-staff rows to ldapsearch
# (same filter, base and attributes, paged as the program pages), the ratio of the
# expansion against slapd to that, and whether SourceMCL-1.csv is the same bytes on both
# backends. See docs/benchmarks.md.
#
# Environment:
#   BENCH_SIZES          users per organisation (default "10000 100000")
#   BENCH_SEED           generator seed (default 1)
#   BENCH_REPEAT         runs per size and backend; medians are reported (default 3)
#   BENCH_LDAPSEARCH_REPEAT  ldapsearch runs per size (default 5)
#   BENCH_RUN_TIMEOUT    cap in seconds for every run (default 3600)
#   BENCH_BUILD_DIR      build folder (default build-bench-qdl)
#   BENCH_TESTQAV        a testqav binary to measure instead of building one (another
#                        revision's, for before/after figures)
#   BENCH_SLAPD=0        the embedded directory only
#   BENCH_SLAPD_INDEXES  slapd's index definitions besides "objectClass eq", one a line without
#                        the keyword (default: the equality indexes below)
#   BENCH_VISIBLE=1      unhide the mailboxes that the generator hides from the address lists
#                        (0.3%): a list's filter still reaches them, but their Exchange names
#                        resolve to no address-book entry, and each failed resolution costs a
#                        scan of the directory; this measures the expansion without those
#   BENCH_KEEP=1         keep the generated folders and the last run of each size and backend
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
sizes="${BENCH_SIZES:-10000 100000}"
seed="${BENCH_SEED:-1}"
repeat="${BENCH_REPEAT:-3}"
search_repeat="${BENCH_LDAPSEARCH_REPEAT:-5}"
run_timeout="${BENCH_RUN_TIMEOUT:-3600}"
build="${BENCH_BUILD_DIR:-$root/build-bench-qdl}"
use_slapd="${BENCH_SLAPD:-1}"
server=EXCH01

log() { echo "bench-qdl: $*" >&2; }

if [ "$use_slapd" = 1 ]; then
  for tool in slapd slapadd ldapsearch; do
    if ! command -v "$tool" >/dev/null && [ ! -x "/usr/sbin/$tool" ]; then
      log "$tool not found (apt-get install slapd ldap-utils, or BENCH_SLAPD=0)"
      exit 1
    fi
  done
fi

# shellcheck source=bench-lib.sh
source "$root/scripts/bench-lib.sh"
bench_testqav "$build"

work="$(mktemp -d "${TMPDIR:-/tmp}/bench-qdl.XXXXXX")"
slapd_dir=""
cleanup() {
  if [ -n "$slapd_dir" ]; then "$root/scripts/stop-slapd.sh" "$slapd_dir" >/dev/null 2>&1 || true; fi
  if [ "${BENCH_KEEP:-0}" != 1 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT


# The equality indexes a production directory keeps for what the run looks up: the address
# book's searches (addresses, names, the Exchange DN) and the lookup of a list by address,
# plus what the generated lists' filters test (objectCategory, department; presence of the
# mailbox attributes).
slapd_indexes="${BENCH_SLAPD_INDEXES:-mail,proxyAddresses,legacyExchangeDN,displayName,cn,givenName,sn eq
mailNickname eq,pres
msExchHomeServerName pres
objectCategory,department eq}"

# run_once N BACKEND I: one update run on a fresh copy of the BACKEND's host folder; leaves
# its standard error in $work/N-BACKEND.I.err, the folder in $work/run-N-BACKEND, and a line
# "wall status" in $work/N-BACKEND.I.m.
run_once() {
  local n=$1 backend=$2 i=$3
  local dir="$work/run-$n-$backend"
  rm -rf "$dir"
  cp -a "$work/org-$n-$backend" "$dir"
  sync
  log "run $n $backend ($i of $repeat): testqav --host $dir --no-wait"
  local start rc=0
  start=$(now)
  env TESTQAV_PHASE_TIMES=1 timeout "$run_timeout" "$testqav" --host "$dir" --no-wait \
    </dev/null >/dev/null 2>"$work/$n-$backend.$i.err" || rc=$?
  echo "$(since "$start") $rc" >"$work/$n-$backend.$i.m"
}

# figures N BACKEND I: "mcl_s all_s all_rows all_queries_s dept_s dept_rows" of one run.
figures() {
  awk '
    $1 == "testqav:" && $2 == "phase" && $4 == "s" && $5 == "mandatory" {mcl += $3}
    $1 == "testqav:" && $2 == "query-based" && $3 == "list" {
      if ($NF ~ /^everyone@/) {all = $4; rows = $6; q = $8}
      else {dept += $4; drows += $6}
    }
    END {
      if (mcl == "") mcl = "-"
      if (all == "") {all = "-"; rows = "-"; q = "-"}
      printf "%s %s %s %s %.3f %d\n", mcl, all, rows, q, dept, drows
    }' "$work/$1-$2.$3.err"
}

declare -A gen_s gen_summary wall status mcl all_s all_rows all_q dept_s dept_rows loglines
declare -A smcl search_s search_all search_rows same_dump all_runs
backends="embedded"
if [ "$use_slapd" = 1 ]; then backends="embedded slapd"; fi

for n in $sizes; do
  log "generating $n users with query-based lists"
  start=$(now)
  python3 "$root/tools/gen-org.py" --users "$n" --seed "$seed" --qdls \
    --out "$work/org-$n-embedded" >/dev/null 2>"$work/gen-$n.err"
  gen_s[$n]=$(since "$start")
  gen_summary[$n]=$(grep '^qdls: ' "$work/gen-$n.err" || true)
  ldif="$work/org-$n-embedded/exchange/$server/directory.ldif"
  if [ "${BENCH_VISIBLE:-0}" = 1 ]; then
    sed -i '/^msExchHideFromAddressLists: TRUE$/d' "$ldif"
  fi

  if [ "$use_slapd" = 1 ]; then
    port=$(free_port)
    slapd_dir="$work/slapd-$n"
    log "loading $n users into slapd (slapadd) and starting it on port $port"
    # 4 GiB map: the database of 100,000 users and their indexes outgrows the tests' 256 MiB.
    url=$(SLAPD_MAXSIZE=4294967296 SLAPD_INDEXES="$slapd_indexes" \
      "$root/scripts/start-slapd.sh" "$port" "$slapd_dir" "$ldif")
    # The same organisation, with directory.conf in place of directory.ldif.
    slapd_host_folder "$slapd_dir" "$url" "$work/org-$n-embedded" "$work/org-$n-slapd" \
      "$server"
  fi
  sync

  for backend in $backends; do
    : >"$work/$n-$backend.figures"
    walls=()
    for ((i = 1; i <= repeat; i++)); do
      run_once "$n" "$backend" "$i"
      read -r w s <"$work/$n-$backend.$i.m"
      walls+=("$w")
      status[$n-$backend]=$s
      if [ "$s" != 0 ]; then
        log "run $n $backend ended with status $s; last lines of its standard error:"
        tail -n 5 "$work/$n-$backend.$i.err" >&2 || true
        break
      fi
      figures "$n" "$backend" "$i" >>"$work/$n-$backend.figures"
    done
    wall[$n-$backend]=$(printf '%s\n' "${walls[@]}" | median)
    f="$work/$n-$backend.figures"
    mcl[$n-$backend]=$(awk '{print $1}' "$f" | median)
    all_s[$n-$backend]=$(awk '{print $2}' "$f" | median)
    all_rows[$n-$backend]=$(awk '{print $3}' "$f" | median)
    all_q[$n-$backend]=$(awk '{print $4}' "$f" | median)
    dept_s[$n-$backend]=$(awk '{print $5}' "$f" | median)
    dept_rows[$n-$backend]=$(awk '{print $6}' "$f" | median)
    all_runs[$n-$backend]=$(awk '{printf "%s%s", (NR > 1 ? "/" : ""), $2}' "$f")
    dir="$work/run-$n-$backend"
    loglines[$n-$backend]=$( [ -f "$dir/TestQAV.log" ] && wc -l <"$dir/TestQAV.log" || echo -)
    smcl[$n-$backend]=$( [ -f "$dir/SourceMCL-1.csv" ] && echo $(($(wc -l <"$dir/SourceMCL-1.csv") - 1)) || echo -)
    cp "$dir/SourceMCL-1.csv" "$work/SourceMCL-$n-$backend.csv" 2>/dev/null || true
    [ "${BENCH_KEEP:-0}" = 1 ] || rm -rf "$dir"
  done

  if [ "$use_slapd" = 1 ]; then
    # What the program sends for the all-staff list: its stored filter in RFC 4515 form (the
    # bare negation of Active Directory's form parenthesised) with the objectCategory short
    # name replaced by the category's DN, from the list's base DN, for the member query's
    # attributes but "name" (which the program takes from the DN), 500 rows a page.
    read -r base filter < <(python3 - "$ldif" <<'EOF'
import re, sys
entry, fields = None, {}
for block in open(sys.argv[1], encoding="utf-8").read().split("\n\n"):
    if "\nmail: everyone@" in block and "msExchDynamicDLFilter" in block:
        entry = block
        break
for line in entry.splitlines():
    if ": " in line:
        k, v = line.split(": ", 1)
        fields[k] = v
base = fields["msExchDynamicDLBaseDN"]
root = ",".join(p for p in base.split(",") if p.upper().startswith("DC="))
f = fields["msExchDynamicDLFilter"]
f = re.sub(r"\(!([^()]+)\)", r"(!(\1))", f)
f = f.replace("(objectCategory=person)",
              "(objectCategory=CN=Person,CN=Schema,CN=Configuration,%s)" % root)
print(base, f)
EOF
)
    attrs="mail legacyExchangeDN mobile telephoneNumber facsimileTelephoneNumber homePhone pager
      otherTelephone otherHomePhone title company department physicalDeliveryOfficeName
      streetAddress l st postalCode co givenName sn objectCategory"
    search=(ldapsearch -x -LLL -H "$url" -D "$(cat "$slapd_dir/binddn")" -y "$slapd_dir/password"
      -b "$base" -s sub -E pr=500/noprompt "$filter")
    # shellcheck disable=SC2086
    search_rows[$n]=$("${search[@]}" $attrs | grep -c '^dn:' || true)
    times=()
    for ((i = 1; i <= search_repeat; i++)); do
      start=$(now)
      # shellcheck disable=SC2086
      "${search[@]}" $attrs >/dev/null
      times+=("$(since "$start")")
    done
    search_s[$n]=$(printf '%s\n' "${times[@]}" | median)
    search_all[$n]=$(IFS=/; echo "${times[*]}")
    log "ldapsearch: ${search_rows[$n]} rows, ${search_all[$n]} s"
    "$root/scripts/stop-slapd.sh" "$slapd_dir" >/dev/null 2>&1 || true
    slapd_dir=""
    if cmp -s "$work/SourceMCL-$n-embedded.csv" "$work/SourceMCL-$n-slapd.csv"; then
      same_dump[$n]="identical"
    else
      same_dump[$n]="DIFFERENT"
    fi
  fi
  [ "${BENCH_KEEP:-0}" = 1 ] || rm -rf "$work/org-$n-embedded" "$work/org-$n-slapd"
done

echo
echo "testqav: $testqav$( [ "${BENCH_VISIBLE:-0}" = 1 ] && echo " (BENCH_VISIBLE=1: no hidden mailboxes)")"
if [ "$use_slapd" = 1 ] && [ -n "${BENCH_SLAPD_INDEXES:-}" ]; then
  echo "slapd indexes: objectClass eq; $(printf '%s' "$slapd_indexes" | tr '\n' ';' | sed 's/;/; /g')"
fi
echo "Query-based lists (Release; medians of $repeat runs per size and backend; s = seconds of"
echo "wall time from TESTQAV_PHASE_TIMES=1; all-staff = \"Everyone\", whose filter reaches every"
echo "mailbox user; queries = its lookup and member query, record set filled; dept = the 8"
echo "department lists together)"
printf '%-7s %-9s %7s %6s %6s %8s %7s %9s %9s %7s %7s %9s %10s  %s\n' users backend wall_s \
  status mcl_s all_s rows rows_per_s queries_s dept_s dept_rows log_lines SourceMCL all_s_runs
for n in $sizes; do
  for backend in $backends; do
    k="$n-$backend"
    printf '%-7s %-9s %7s %6s %6s %8s %7s %9s %9s %7s %7s %9s %10s  %s\n' "$n" "$backend" \
      "${wall[$k]}" "${status[$k]}" "${mcl[$k]}" "${all_s[$k]}" "${all_rows[$k]}" \
      "$(awk -v r="${all_rows[$k]}" -v s="${all_s[$k]}" 'BEGIN {
        if (s ~ /^[0-9.]+$/ && s > 0) printf "%.0f", r / s; else printf "-" }')" \
      "${all_q[$k]}" "${dept_s[$k]}" "${dept_rows[$k]}" "${loglines[$k]}" "${smcl[$k]}" \
      "${all_runs[$k]:-}"
  done
done
echo
echo "Generator:"
for n in $sizes; do echo "  $n: ${gen_summary[$n]:--} (${gen_s[$n]} s)"; done

if [ "$use_slapd" = 1 ]; then
  echo
  echo "slapd against embedded, and against slapd's own time to return the all-staff rows to"
  echo "ldapsearch (same filter, base and attributes, 500 a page; median of $search_repeat):"
  for n in $sizes; do
    echo "  $n: all-staff expansion slapd/embedded $(ratio "${all_s[$n-slapd]}" "${all_s[$n-embedded]}");" \
      "MCL phase slapd/embedded $(ratio "${mcl[$n-slapd]}" "${mcl[$n-embedded]}");" \
      "ldapsearch ${search_s[$n]} s for ${search_rows[$n]} rows (${search_all[$n]});" \
      "expansion against slapd / ldapsearch $(ratio "${all_s[$n-slapd]}" "${search_s[$n]}");" \
      "SourceMCL-1.csv embedded vs slapd: ${same_dump[$n]}"
  done
fi

echo
echo "Targets:"
for n in $sizes; do
  [ "$n" = 100000 ] || continue
  e="${all_s[$n-embedded]}"
  echo "  all-staff list of $n users into SourceMCL on the embedded directory under 3 s:" \
    "$(awk -v e="$e" 'BEGIN {if (e ~ /^[0-9.]+$/) print (e < 3 ? "met" : "missed") " (" e " s)"; else print "-"}')"
  if [ "$use_slapd" = 1 ]; then
    r=$(ratio "${all_s[$n-slapd]}" "${search_s[$n]}")
    echo "  against slapd within 3 times ldapsearch's time:" \
      "$(awk -v r="$r" 'BEGIN {if (r ~ /^[0-9.]+$/) print (r <= 3 ? "met" : "missed") " (" r " times)"; else print "-"}')"
  fi
done
if [ "${BENCH_KEEP:-0}" = 1 ]; then echo "kept: $work"; fi
