#!/usr/bin/env bash
# Whole-run benchmark with mandatory contact lists: builds a Release testqav, generates
# organisations of 10,000 and 100,000 users whose mandatory-contacts folder holds 3 MCLs per
# 1,000 users (tools/gen-org.py --mcls: about 1,000 contacts reached per MCL), runs one
# update run on a fresh copy of each BENCH_REPEAT times, and prints the median wall time,
# the peak memory, the dumps' rows, the growth exponent from 10k to 100k, and where the time
# goes: each phase's wall time as the program reports it (TESTQAV_PHASE_TIMES=1), and the
# phases' boundaries as the run log shows them (its stamps name whole seconds).
# See docs/benchmarks.md.
#
# Environment:
#   BENCH_SIZES          users per organisation (default "10000 100000")
#   BENCH_MCLS           MCLs per organisation (default: 3 per 1,000 users)
#   BENCH_SEED           generator seed (default 1)
#   BENCH_REPEAT         runs per size; the median wall time is reported (default 3)
#   BENCH_RUN_TIMEOUT    cap in seconds for every run (default 1800)
#   BENCH_BUILD_DIR      build folder (default build-bench-mcl)
#   BENCH_KEEP=1         keep the generated folders and the last run of each size
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
sizes="${BENCH_SIZES:-10000 100000}"
seed="${BENCH_SEED:-1}"
repeat="${BENCH_REPEAT:-3}"
run_timeout="${BENCH_RUN_TIMEOUT:-1800}"
build="${BENCH_BUILD_DIR:-$root/build-bench-mcl}"

log() { echo "bench-mcl: $*" >&2; }

log "building Release in $build"
# Warnings stay warnings here: -O3 brings false positives that must not stop a measurement.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESTQAV_WERROR=OFF >/dev/null
ninja -C "$build" -j2 testqav >/dev/null
testqav="$build/testqav"
[ -x "$testqav" ] || testqav="$build/src/app/testqav"

work="$(mktemp -d "${TMPDIR:-/tmp}/bench-mcl.XXXXXX")"
if [ "${BENCH_KEEP:-0}" != 1 ]; then
  trap 'rm -rf "$work"' EXIT
fi

# measure OUT_FILE CMD...: runs CMD with stdin closed and writes "<wall s> <peak RSS KB>
# <exit status>" to OUT_FILE; CMD's standard error goes to OUT_FILE.stderr. /usr/bin/time
# reports the child's peak RSS; without it a small python3 wrapper reads the same figure
# from wait4's resource usage (kept in a file: a here-document would be the wrapper's
# standard input, which must be closed for the run).
cat >"$work/measure.py" <<'EOF'
import os, subprocess, sys, time
out, cmd = sys.argv[1], sys.argv[2:]
start = time.monotonic()
with open(out + ".stdout", "wb") as so, open(out + ".stderr", "wb") as se:
    p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=so, stderr=se)
    _, status, usage = os.wait4(p.pid, 0)
wall = time.monotonic() - start
rc = os.waitstatus_to_exitcode(status)
with open(out, "w") as f:
    f.write("%.2f %d %d\n" % (wall, usage.ru_maxrss, rc if rc >= 0 else 128 - rc))
EOF
measure() {
  local out="$1"
  shift
  local rc=0
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -f "%e %M" -o "$out.time" "$@" </dev/null >"$out.stdout" 2>"$out.stderr" || rc=$?
    # /usr/bin/time prints a "Command exited with non-zero status" line first when rc != 0.
    echo "$(tail -n 1 "$out.time") $rc" >"$out"
  else
    python3 "$work/measure.py" "$out" "$@" </dev/null || true
  fi
}

# rows FILE: data lines of a dump (header excluded), or "-" when the run wrote none.
rows() {
  if [ -f "$1" ]; then echo $(($(wc -l <"$1") - 1)); else echo "-"; fi
}

median() {  # median of the numbers on standard input
  sort -n | awk '{a[NR] = $1} END {if (NR) print a[int((NR + 1) / 2)]; else print "-"}'
}

# log_phases LOG: the seconds between the first lines of the run's phases in the last run of
# LOG (the stamps name whole seconds, so each figure is within a second).
log_phases() {
  python3 - "$1" <<'EOF'
import sys, time
lines = open(sys.argv[1], encoding="utf-8", errors="replace").read().splitlines()
start = max(i for i, l in enumerate(lines) if l.endswith(": " + "*" * 40))
marks = [("start", None), ("registrations", "QAV::GetQAVData:"),
         ("GAL supplement", "QAV::UpdateRstFromGAL:"), ("MCLs", "QAV::CollectDataMCL:"),
         ("end", ": complete")]

def stamp(line):
    text = line.split(": ", 1)[0]
    for fmt in ("%m/%d/%y %H:%M:%S", "%d/%m/%Y %H:%M:%S", "%Y-%m-%d %H:%M:%S",
                "%m/%d/%Y %H:%M:%S", "%d.%m.%Y %H:%M:%S"):
        try:
            return time.mktime(time.strptime(text, fmt))
        except ValueError:
            pass
    return None

found = []
for name, text in marks:
    for line in lines[start:]:
        if text is None or text in line:
            found.append((name, stamp(line)))
            break
out = []
for (a, ta), (b, tb) in zip(found, found[1:]):
    out.append("%s..%s=%s" % (a, b, "%.0f" % (tb - ta) if ta is not None and tb is not None else "?"))
missing = [n for n, _ in marks if n not in [f[0] for f in found]]
print(" ".join(out) + (" (no line for: %s)" % ", ".join(missing) if missing else ""))
EOF
}

declare -A wall walls rss status loglines qav1 smcl people memberships gen_s gen_summary mcls
declare -A phase_s log_split seen_phase
phases=()

for n in $sizes; do
  m="${BENCH_MCLS:-$((n * 3 / 1000))}"
  ((m >= 1)) || m=1
  mcls[$n]="$m"
  log "generating $n users with $m MCLs"
  start=$(date +%s.%N)
  python3 "$root/tools/gen-org.py" --users "$n" --seed "$seed" --mcls "$m" \
    --out "$work/org-$n" >/dev/null 2>"$work/gen-$n.err"
  gen_s[$n]=$(echo "$(date +%s.%N) $start" | awk '{printf "%.1f", $1 - $2}')
  gen_summary[$n]=$(grep '^mcls: ' "$work/gen-$n.err" || true)
  # The kernel writes the generated files back in the background for a while; let it finish
  # first so that it does not compete with what is measured.
  sync

  dir="$work/run-$n"
  all=()
  max_rss=0
  : >"$work/phases-$n.txt"
  for ((i = 1; i <= repeat; i++)); do
    rm -rf "$dir"
    cp -a "$work/org-$n" "$dir"
    sync
    log "run $n ($i of $repeat): testqav --host $dir --no-wait (cap ${run_timeout}s)"
    measure "$work/$n.m" env TESTQAV_PHASE_TIMES=1 timeout "$run_timeout" "$testqav" \
      --host "$dir" --no-wait
    read -r w r s <"$work/$n.m"
    all+=("$w")
    if ((r > max_rss)); then max_rss=$r; fi
    # "testqav: phase 1.234 s NAME" lines; a phase entered twice counts once, summed.
    awk -v run="$i" '$1 == "testqav:" && $2 == "phase" && $4 == "s" {
        name = $0; sub(/^testqav: phase [0-9.]+ s /, "", name); t[name] += $3
        if (!(name in seen)) {seen[name] = 1; order[++k] = name}
      } END {for (j = 1; j <= k; j++) printf "%s\t%s\t%s\n", run, order[j], t[order[j]]}' \
      "$work/$n.m.stderr" >>"$work/phases-$n.txt"
    [ "$s" = 0 ] || break
  done
  wall[$n]=$(printf '%s\n' "${all[@]}" | median)
  walls[$n]=$(IFS=/; echo "${all[*]}")
  rss[$n]="$max_rss"
  status[$n]="$s"
  if [ "$s" = 124 ]; then wall[$n]=">=$run_timeout"; fi
  if [ "$s" != 0 ]; then
    log "run $n ended with status $s; last lines of its standard error:"
    tail -n 5 "$work/$n.m.stderr" >&2 || true
  fi
  if [ -f "$dir/TestQAV.log" ]; then
    loglines[$n]=$(wc -l <"$dir/TestQAV.log")
    log_split[$n]=$(log_phases "$dir/TestQAV.log" || echo "-")
  else
    loglines[$n]="-"
    log_split[$n]="-"
  fi
  qav1[$n]=$(rows "$dir/QAV-1.csv")
  smcl[$n]=$(rows "$dir/SourceMCL-1.csv")
  people[$n]="-"
  memberships[$n]="-"
  if [ -f "$dir/SourceMCL-1.csv" ]; then
    # Person records (DL not True) and the MCL memberships their MCLID fields carry.
    read -r "people[$n]" "memberships[$n]" < <(awk -F, '{sub(/\r$/, "")}
      NR == 1 {for (i = 1; i <= NF; i++) col[$i] = i; next}
      $col["DL"] != "True" {rows++; m += gsub(/\{/, "{", $col["MCLID"])}
      END {print rows + 0, m + 0}' "$dir/SourceMCL-1.csv")
  fi
  # Median of each phase over the runs, in the order of the first run.
  while IFS= read -r name; do
    if [ -z "${seen_phase["$name"]:-}" ]; then
      seen_phase["$name"]=1
      phases+=("$name")
    fi
    phase_s["$n|$name"]=$(awk -F'\t' -v p="$name" '$2 == p {print $3}' "$work/phases-$n.txt" | median)
  done < <(awk -F'\t' '$1 == 1 {print $2}' "$work/phases-$n.txt")
  [ "${BENCH_KEEP:-0}" = 1 ] || rm -rf "$dir"
done

echo
echo "Update runs with MCLs (Release; wall s = median of the runs listed last, peak RSS MB ="
echo "largest; rows = data lines of the dump; people, memberships = SourceMCL-1.csv's person"
echo "records and the MCL identifiers they carry, which should equal the generator's figures)"
printf '%-8s %5s %6s %8s %8s %6s %9s %7s %11s %7s %11s  %s\n' users mcls gen_s wall_s \
  peak_MB status log_lines QAV-1 SourceMCL-1 people memberships runs_s
for n in $sizes; do
  printf '%-8s %5s %6s %8s %8s %6s %9s %7s %11s %7s %11s  %s\n' "$n" "${mcls[$n]}" \
    "${gen_s[$n]}" "${wall[$n]}" "$(awk -v k="${rss[$n]}" 'BEGIN {printf "%.0f", k / 1024}')" \
    "${status[$n]}" "${loglines[$n]}" "${qav1[$n]}" "${smcl[$n]}" "${people[$n]}" \
    "${memberships[$n]}" "${walls[$n]}"
done
echo
echo "Generator:"
for n in $sizes; do echo "  $n: ${gen_summary[$n]:--}"; done

echo
echo "Where the time goes (TESTQAV_PHASE_TIMES=1: wall s of each phase, median over the runs,"
echo "and its share of the median wall time)"
printf '  %-28s' phase
for n in $sizes; do printf ' %16s' "$n"; done
echo
for name in "${phases[@]}"; do
  printf '  %-28s' "$name"
  for n in $sizes; do
    v="${phase_s["$n|$name"]:--}"
    printf ' %16s' "$(awk -v v="$v" -v w="${wall[$n]}" 'BEGIN {
      if (v ~ /^[0-9.]+$/ && w ~ /^[0-9.]+$/ && w > 0) printf "%.3f (%2.0f%%)", v, 100 * v / w
      else printf "%s", v }')"
  done
  echo
done
echo "  (the wall time also counts the process start and exit, outside every phase)"
echo
echo "Phase boundaries from the run log (s between the first lines of each phase; its stamps"
echo "name whole seconds, so each figure is within a second):"
for n in $sizes; do echo "  $n: ${log_split[$n]}"; done

exponent() {  # exponent A B: log(B / A) / log(10), "-" unless both are positive numbers
  awk -v a="$1" -v b="$2" 'BEGIN {
    if (a ~ /^[0-9.]+$/ && b ~ /^[0-9.]+$/ && a > 0 && b > 0) printf "%.2f", log(b / a) / log(10);
    else printf "-" }'
}
if [ -n "${wall[10000]:-}" ] && [ -n "${wall[100000]:-}" ]; then
  echo
  echo "growth exponent log(t100k/t10k)/log(10), 1 = linear, 2 = quadratic:"
  echo "  whole run: $(exponent "${wall[10000]}" "${wall[100000]}")"
  for name in "${phases[@]}"; do
    a="${phase_s["10000|$name"]:-}"
    b="${phase_s["100000|$name"]:-}"
    # Phases of a few milliseconds say nothing about growth.
    if [ -n "$a" ] && [ -n "$b" ] && awk -v a="$a" 'BEGIN {exit !(a >= 0.02)}'; then
      echo "  $name: $(exponent "$a" "$b")"
    fi
  done
fi
if [ "${BENCH_KEEP:-0}" = 1 ]; then echo "kept: $work"; fi
