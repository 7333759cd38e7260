#!/usr/bin/env bash
# JSON parse benchmark: builds bench/json_parse_bench in Release, generates an organisation
# with tools/gen-org.py (100,000 users by default), waits until the machine is quiet, and
# parses the agent's mailbox store file with the hand-written reader, nlohmann's SAX parser
# (without and with positions), nlohmann's DOM and the whole store loader. See
# docs/benchmarks.md ("The JSON parse").
#
# Environment:
#   BENCH_USERS          users of the organisation (default 100000)
#   BENCH_SEED           generator seed (default 1)
#   BENCH_REPEAT         parses per variant; the median is reported (default 5)
#   BENCH_ORG            an organisation folder to use instead of generating one
#   BENCH_JSON_BIN       a json_parse_bench to run instead of building one (another
#                        revision's, for before/after figures)
#   BENCH_BUILD_DIR      build folder (default build-bench-json)
#   BENCH_QUIET_LOAD     1-minute load average to wait for (default 1.5)
#   BENCH_QUIET_WAIT     seconds to wait for it at most (default 1200); then it runs anyway
#                        and says so
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
users="${BENCH_USERS:-100000}"
seed="${BENCH_SEED:-1}"
repeat="${BENCH_REPEAT:-5}"
build="${BENCH_BUILD_DIR:-$root/build-bench-json}"
quiet_load="${BENCH_QUIET_LOAD:-1.5}"
quiet_wait="${BENCH_QUIET_WAIT:-1200}"

log() { echo "bench-json: $*" >&2; }

if [ -n "${BENCH_JSON_BIN:-}" ]; then
  bench="$(cd "$(dirname "$BENCH_JSON_BIN")" && pwd)/$(basename "$BENCH_JSON_BIN")"
  log "measuring $bench"
else
  log "building Release in $build"
  # Warnings stay warnings here: -O3 brings false positives that must not stop a measurement.
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESTQAV_WERROR=OFF >/dev/null
  ninja -C "$build" -j2 json_parse_bench >/dev/null
  bench="$build/bench/json_parse_bench"
fi

if [ -n "${BENCH_ORG:-}" ]; then
  org="$BENCH_ORG"
else
  work="$(mktemp -d "${TMPDIR:-/tmp}/bench-json.XXXXXX")"
  trap 'rm -rf "$work"' EXIT
  org="$work/org"
  log "generating $users users"
  python3 "$root/tools/gen-org.py" --users "$users" --seed "$seed" --out "$org" >/dev/null
  sync
fi
# gen-org.py writes the agent's mailbox to exchange/<server>/mailboxes/<alias>.json; the
# registry names the server and the alias, and the default ones are EXCH01 and qavagent.
store="$org/exchange/EXCH01/mailboxes/qavagent.json"
if [ ! -f "$store" ]; then
  store="$(find "$org/exchange" -path '*/mailboxes/*.json' ! -name public.json | head -n 1)"
fi
[ -n "$store" ] && [ -f "$store" ] || { log "no mailbox store file under $org"; exit 1; }

# The machine is shared: wait until the 1-minute load average is below BENCH_QUIET_LOAD and
# no compiler runs, looking every 30 s, for BENCH_QUIET_WAIT seconds at most.
load1() { cut -d' ' -f1 /proc/loadavg; }
compiling() {
  local name
  for name in cc1plus cc1 clang 'clang\+\+' clang-14 ld ld.gold ld.lld; do
    pgrep -x "$name" >/dev/null && return 0
  done
  return 1
}
waited=0
while awk -v l="$(load1)" -v q="$quiet_load" 'BEGIN {exit !(l >= q)}' || compiling; do
  if ((waited >= quiet_wait)); then
    log "the machine is still busy after ${waited}s (load $(load1)); measuring anyway"
    break
  fi
  log "waiting for a quiet machine (load $(load1)$(compiling && echo ', a compiler runs'))"
  sleep 30
  waited=$((waited + 30))
done

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) (waited ${waited}s)"
echo "command: $bench $store --repeat $repeat"
"$bench" "$store" --repeat "$repeat"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
