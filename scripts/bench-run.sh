#!/usr/bin/env bash
# Whole-run benchmark: builds a Release testqav and load_floor, generates organisations of
# 10,000, 20,000 and 100,000 users with tools/gen-org.py, runs one update run on a copy of
# each, and prints wall time, peak memory, log lines and dump rows, the growth exponent from
# 10k to 100k, the load floor and the run/floor ratio, and the 20k run again with the
# reference record sets (--recordset reference) to show what the indexes buy.
# See docs/benchmarks.md.
#
# Environment:
#   BENCH_SIZES          users per organisation (default "10000 20000 100000")
#   BENCH_SEED           generator seed (default 1)
#   BENCH_REPEAT         runs per size; the median wall time is reported (default 3)
#   BENCH_REFERENCE_N    size also run with the reference record sets (default 20000; "" = none)
#   BENCH_REF_TIMEOUT    cap in seconds for that reference run (default 600)
#   BENCH_RUN_TIMEOUT    cap in seconds for every other run (default 1800)
#   BENCH_BUILD_DIR      build folder (default build-bench-run)
#   BENCH_KEEP=1         keep the generated folders and run copies (printed at the end)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
sizes="${BENCH_SIZES:-10000 20000 100000}"
seed="${BENCH_SEED:-1}"
ref_n="${BENCH_REFERENCE_N-20000}"
repeat="${BENCH_REPEAT:-3}"
ref_timeout="${BENCH_REF_TIMEOUT:-600}"
run_timeout="${BENCH_RUN_TIMEOUT:-1800}"
build="${BENCH_BUILD_DIR:-$root/build-bench-run}"

log() { echo "bench-run: $*" >&2; }

log "building Release in $build"
# Warnings stay warnings here: -O3 brings false positives that must not stop a measurement.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESTQAV_WERROR=OFF >/dev/null
ninja -C "$build" -j2 testqav load_floor >/dev/null
testqav="$build/testqav"
[ -x "$testqav" ] || testqav="$build/src/app/testqav"
load_floor="$build/bench/load_floor"

work="$(mktemp -d "${TMPDIR:-/tmp}/bench-run.XXXXXX")"
if [ "${BENCH_KEEP:-0}" != 1 ]; then
  trap 'rm -rf "$work"' EXIT
fi

# measure OUT_FILE CMD...: runs CMD with stdin closed and writes "<wall s> <peak RSS KB>
# <exit status>" to OUT_FILE. /usr/bin/time reports the child's peak RSS; without it a small
# python3 wrapper reads the same figure from wait4's resource usage (kept in a file: given as
# a here-document it would be python3's standard input, which </dev/null replaced, so that
# the wrapper ran nothing).
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

declare -A wall walls rss status loglines qav1 qavgal floor gen_s
results=()

run_case() {  # run_case LABEL N TIMES [OPTION...] ; each run uses a fresh copy of org-N
  local label="$1" n="$2" times="$3" cap="$run_timeout"
  shift 3
  local options=("$@")
  local dir="$work/run-$label"
  [ ${#options[@]} -gt 0 ] && cap="$ref_timeout"
  local all=() w r s i max_rss=0
  for ((i = 1; i <= times; i++)); do
    rm -rf "$dir"
    cp -a "$work/org-$n" "$dir"
    sync
    log "run $label ($i of $times): testqav --host $dir --no-wait ${options[*]} (cap ${cap}s)"
    measure "$work/$label.m" timeout "$cap" "$testqav" --host "$dir" --no-wait "${options[@]}"
    read -r w r s <"$work/$label.m"
    all+=("$w")
    if ((r > max_rss)); then max_rss=$r; fi
    [ "$s" = 0 ] || break
  done
  # The median of the runs: the machine is shared, and a single run can be slowed by a third.
  wall[$label]=$(printf '%s\n' "${all[@]}" | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}')
  walls[$label]=$(IFS=/; echo "${all[*]}")
  rss[$label]="$max_rss"
  status[$label]="$s"
  if [ "$s" = 124 ]; then wall[$label]=">=$cap"; fi
  if [ -f "$dir/TestQAV.log" ]; then loglines[$label]=$(wc -l <"$dir/TestQAV.log"); else loglines[$label]="-"; fi
  qav1[$label]=$(rows "$dir/QAV-1.csv")
  qavgal[$label]=$(rows "$dir/QAV-GAL.csv")
  results+=("$label")
  if [ "$s" != 0 ] && [ "$s" != 124 ]; then
    log "run $label ended with status $s; last lines of its standard error:"
    tail -n 5 "$work/$label.m.stderr" >&2 || true
  fi
  [ "${BENCH_KEEP:-0}" = 1 ] || rm -rf "$dir"
}

for n in $sizes; do
  log "generating $n users"
  start=$(date +%s.%N)
  python3 "$root/tools/gen-org.py" --users "$n" --seed "$seed" --out "$work/org-$n" >/dev/null
  gen_s[$n]=$(echo "$(date +%s.%N) $start" | awk '{printf "%.1f", $1 - $2}')
  # The kernel writes the generated files back in the background for a while; let it finish
  # first so that it does not compete with what is measured.
  sync
  log "floor $n"
  "$load_floor" --host "$work/org-$n" >"$work/floor-$n.txt"
  floor[$n]=$(awk '$1 == "floor_s" {printf "%.2f", $2}' "$work/floor-$n.txt")
  run_case "$n" "$n" "$repeat"
done
if [ -n "$ref_n" ] && [ -d "$work/org-$ref_n" ]; then
  run_case "${ref_n}-reference" "$ref_n" 1 --recordset reference
fi

echo
echo "Update runs (Release; wall s = median of the runs listed last, peak RSS MB = largest;"
echo "rows = data lines of the dump)"
printf '%-18s %8s %9s %7s %10s %9s %9s %9s %9s %8s  %s\n' \
  run users gen_s wall_s peak_MB status log_lines QAV-1 QAV-GAL floor_s runs_s
for label in "${results[@]}"; do
  n="${label%%-*}"
  printf '%-18s %8s %9s %7s %10s %9s %9s %9s %9s %8s  %s\n' "$label" "$n" "${gen_s[$n]:--}" \
    "${wall[$label]}" "$(awk -v k="${rss[$label]}" 'BEGIN {printf "%.0f", k / 1024}')" \
    "${status[$label]}" "${loglines[$label]}" "${qav1[$label]}" "${qavgal[$label]}" \
    "${floor[$n]:--}" "${walls[$label]}"
done

echo
echo "Load floor (load_floor: store + directory parse, registration table, CSV)"
for n in $sizes; do
  printf '  %-8s' "$n"
  awk '$1 != "host" {printf " %s=%s", $1, $2} END {print ""}' "$work/floor-$n.txt"
done

ratio() {  # ratio A B: A / B with two decimals, "-" unless both are plain positive numbers
  awk -v a="$1" -v b="$2" 'BEGIN {
    if (a ~ /^[0-9.]+$/ && b ~ /^[0-9.]+$/ && b > 0) printf "%.2f", a / b; else printf "-" }'
}

echo
for n in $sizes; do
  echo "run/floor at $n: $(ratio "${wall[$n]}" "${floor[$n]}")"
done
if [ -n "${wall[10000]:-}" ] && [ -n "${wall[100000]:-}" ]; then
  exponent=$(awk -v a="${wall[10000]}" -v b="${wall[100000]}" 'BEGIN {
    if (a ~ /^[0-9.]+$/ && b ~ /^[0-9.]+$/ && a > 0 && b > 0) printf "%.2f", log(b / a) / log(10);
    else printf "-" }')
  echo "growth exponent log(t100k/t10k)/log(10): $exponent (1 = linear, 2 = quadratic)"
fi
if [ -n "$ref_n" ] && [ -n "${wall[${ref_n}-reference]:-}" ]; then
  ref_wall="${wall[${ref_n}-reference]}"
  if [ "${ref_wall:0:2}" = ">=" ]; then
    echo "index speed-up at $ref_n: >= $(ratio "${ref_wall#>=}" "${wall[$ref_n]}") (reference run capped at ${ref_timeout}s)"
  else
    echo "index speed-up at $ref_n: $(ratio "$ref_wall" "${wall[$ref_n]}") (reference $ref_wall s / indexed ${wall[$ref_n]} s)"
  fi
fi
if [ "${BENCH_KEEP:-0}" = 1 ]; then echo "kept: $work"; fi
