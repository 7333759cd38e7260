#!/usr/bin/env bash
# The update run against an LDAP server next to the same run on the embedded directory:
# builds a Release testqav, generates organisations of 10,000 and 100,000 users
# (tools/gen-org.py), loads each into a private slapd (scripts/start-slapd.sh, with its
# default equality indexes) and runs the update run with directory.ldif and with
# directory.conf, alternately, BENCH_REPEAT times each. Prints per size and backend the
# median wall time, user CPU time and peak memory (GNU time), the slapd / embedded ratio,
# the requests the run sent to the server (TESTQAV_PHASE_TIMES=1), slapd's own time to hand
# the same entries to ldapsearch (same filter, attributes and page size as the run's
# snapshot) and whether every dump is the same bytes on both backends. See
# docs/benchmarks.md.
#
# Environment:
#   BENCH_SIZES          users per organisation (default "10000 100000")
#   BENCH_SEED           generator seed (default 1)
#   BENCH_REPEAT         runs per size and backend, alternating; medians reported (default 3)
#   BENCH_PAGE_SIZE      page_size in directory.conf and for ldapsearch (default 1000)
#   BENCH_RUN_TIMEOUT    cap in seconds for every run (default 1800)
#   BENCH_BUILD_DIR      build folder (default build-bench-ldap)
#   BENCH_TESTQAV        a testqav binary to measure instead of building one
#   BENCH_KEEP=1         keep the generated folders
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
sizes="${BENCH_SIZES:-10000 100000}"
seed="${BENCH_SEED:-1}"
repeat="${BENCH_REPEAT:-3}"
page_size="${BENCH_PAGE_SIZE:-1000}"
run_timeout="${BENCH_RUN_TIMEOUT:-1800}"
build="${BENCH_BUILD_DIR:-$root/build-bench-ldap}"
server=EXCH01

log() { echo "bench-ldap: $*" >&2; }

for tool in slapd slapadd ldapsearch; do
  if ! command -v "$tool" >/dev/null && [ ! -x "/usr/sbin/$tool" ]; then
    log "$tool not found (apt-get install slapd ldap-utils)"
    exit 1
  fi
done
[ -x /usr/bin/time ] || { log "/usr/bin/time not found (apt-get install time)"; exit 1; }

# shellcheck source=bench-lib.sh
source "$root/scripts/bench-lib.sh"
bench_testqav "$build"

work="$(mktemp -d "${TMPDIR:-/tmp}/bench-ldap.XXXXXX")"
slapd_dir=""
cleanup() {
  if [ -n "$slapd_dir" ]; then "$root/scripts/stop-slapd.sh" "$slapd_dir" >/dev/null 2>&1 || true; fi
  if [ "${BENCH_KEEP:-0}" != 1 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT


# run_once N BACKEND I: one update run on a fresh copy; "wall user_s peak_kb status requests"
# into $work/N-BACKEND.I.m, the dumps kept beside it.
run_once() {
  local n=$1 backend=$2 i=$3 dir="$work/run-$1-$2" rc=0
  rm -rf "$dir"
  cp -a "$work/org-$n-$backend" "$dir"
  sync
  log "run $n $backend ($i of $repeat)"
  env TESTQAV_PHASE_TIMES=1 timeout "$run_timeout" /usr/bin/time -f "%e %U %M" \
    -o "$work/$n-$backend.$i.time" "$testqav" --host "$dir" --no-wait \
    </dev/null >/dev/null 2>"$work/$n-$backend.$i.err" || rc=$?
  local requests
  requests=$(awk '$2 == "directory" && $3 == "server" {print $5}' "$work/$n-$backend.$i.err")
  echo "$(tail -n 1 "$work/$n-$backend.$i.time") $rc ${requests:--}" >"$work/$n-$backend.$i.m"
  for dump in QAV-1.csv QAV-GAL.csv SourceMCL-1.csv; do
    cp "$dir/$dump" "$work/$n-$backend.$dump" 2>/dev/null || rm -f "$work/$n-$backend.$dump"
  done
  rm -rf "$dir"
}

declare -A wall user peak status requests search_s search_rows same
for n in $sizes; do
  log "generating $n users"
  python3 "$root/tools/gen-org.py" --users "$n" --seed "$seed" --out "$work/org-$n-embedded" \
    >/dev/null 2>"$work/gen-$n.err"
  ldif="$work/org-$n-embedded/exchange/$server/directory.ldif"
  port=$(free_port)
  slapd_dir="$work/slapd-$n"
  log "loading $n users into slapd and starting it on port $port"
  url=$("$root/scripts/start-slapd.sh" "$port" "$slapd_dir" "$ldif")
  slapd_host_folder "$slapd_dir" "$url" "$work/org-$n-embedded" "$work/org-$n-slapd" \
    "$server" "page_size = $page_size
"

  for ((i = 1; i <= repeat; i++)); do
    for backend in embedded slapd; do run_once "$n" "$backend" "$i"; done
  done
  for backend in embedded slapd; do
    k="$n-$backend"
    cat "$work/$k".*.m >"$work/$k.all"
    wall[$k]=$(awk '{print $1}' "$work/$k.all" | median)
    user[$k]=$(awk '{print $2}' "$work/$k.all" | median)
    peak[$k]=$(awk '{printf "%.0f\n", $3 / 1024}' "$work/$k.all" | median)
    status[$k]=$(awk '{print $4}' "$work/$k.all" | sort -u | paste -sd/)
    requests[$k]=$(awk '{print $5}' "$work/$k.all" | sort -u | paste -sd/)
    wall[$k-runs]=$(awk '{print $1}' "$work/$k.all" | paste -sd/)
  done
  same[$n]="identical"
  for dump in QAV-1.csv QAV-GAL.csv SourceMCL-1.csv; do
    if ! cmp -s "$work/$n-embedded.$dump" "$work/$n-slapd.$dump"; then same[$n]="DIFFERENT ($dump)"; fi
  done

  # What the snapshot asks: the mail-enabled objects under the naming context, paged.
  base=$(ldapsearch -x -LLL -H "$url" -b "" -s base namingContexts | awk '/^namingContexts:/ {print $2; exit}')
  # EntryAttributes() and LookupAttributes() (src/platform/addressbook), but name.
  attrs="objectClass cn msExchHideFromAddressLists msExchRecipientDisplayType homeMDB
    msExchHomeServerName targetAddress member displayName legacyExchangeDN mail proxyAddresses
    mailNickname mobile telephoneNumber facsimileTelephoneNumber homePhone pager otherTelephone
    otherHomePhone title company department physicalDeliveryOfficeName streetAddress l st
    postalCode co givenName sn initials generationQualifier"
  search=(ldapsearch -x -LLL -H "$url" -D "$(cat "$slapd_dir/binddn")" -y "$slapd_dir/password"
    -b "$base" -s sub -E "pr=$page_size/noprompt" "(|(mail=*)(legacyExchangeDN=*)(proxyAddresses=*))")
  # shellcheck disable=SC2086
  search_rows[$n]=$("${search[@]}" $attrs | grep -c '^dn:' || true)
  times=()
  for ((i = 1; i <= repeat; i++)); do
    start=$(now)
    # shellcheck disable=SC2086
    "${search[@]}" $attrs >/dev/null
    times+=("$(since "$start")")
  done
  search_s[$n]=$(printf '%s\n' "${times[@]}" | median)
  "$root/scripts/stop-slapd.sh" "$slapd_dir" >/dev/null 2>&1 || true
  slapd_dir=""
  [ "${BENCH_KEEP:-0}" = 1 ] || rm -rf "$work/org-$n-embedded" "$work/org-$n-slapd"
done

echo
echo "testqav: $testqav"
echo "Update run, embedded directory against slapd (Release; medians of $repeat alternating runs"
echo "per size and backend; page_size $page_size; wall and user CPU seconds, peak RSS in MiB)"
printf '%-7s %-9s %7s %7s %8s %7s %9s  %s\n' users backend wall_s user_s peak_MiB status requests wall_runs
for n in $sizes; do
  for backend in embedded slapd; do
    k="$n-$backend"
    printf '%-7s %-9s %7s %7s %8s %7s %9s  %s\n' "$n" "$backend" "${wall[$k]}" "${user[$k]}" \
      "${peak[$k]}" "${status[$k]}" "${requests[$k]}" "${wall[$k-runs]}"
  done
done
echo
for n in $sizes; do
  echo "  $n: slapd/embedded wall $(ratio "${wall[$n-slapd]}" "${wall[$n-embedded]}")," \
    "user $(ratio "${user[$n-slapd]}" "${user[$n-embedded]}"); ldapsearch of the snapshot's" \
    "${search_rows[$n]} entries ${search_s[$n]} s; dumps embedded vs slapd: ${same[$n]}"
done
echo
echo "Targets (100,000 users): slapd run within 2 times the embedded run, peak under 1.5 GB:"
for n in $sizes; do
  [ "$n" = 100000 ] || continue
  r=$(ratio "${wall[$n-slapd]}" "${wall[$n-embedded]}")
  echo "  ratio $r: $(awk -v r="$r" 'BEGIN {print (r ~ /^[0-9.]+$/ && r <= 2) ? "met" : "missed"}');" \
    "peak ${peak[$n-slapd]} MiB: $(awk -v p="${peak[$n-slapd]}" 'BEGIN {print (p ~ /^[0-9]+$/ && p < 1536) ? "met" : "missed"}')"
done
