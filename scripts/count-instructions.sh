#!/usr/bin/env bash
# Counts the instructions one part of an update run executes, under callgrind: a figure that,
# unlike wall time, does not move with what else the machine is doing, so that two builds
# can be compared on a shared or noisy machine. Generates an organisation (tools/gen-org.py),
# runs `testqav --host COPY --no-wait` under `valgrind --tool=callgrind` collecting only
# inside COUNT_FUNCTION, and prints the instructions counted and the 15 functions that
# executed the most of them (self). Valgrind runs the program about 50 times slower, and
# counts instructions, not cache misses or time in the kernel: a log line's write costs
# little here and much on the wall clock. See docs/benchmarks.md.
#
# Usage: scripts/count-instructions.sh [TESTQAV...]   (default: a Release build in
#        build-count, made first; several binaries are counted one after the other on the
#        same organisation)
#
# Environment:
#   COUNT_USERS      users (default 10000)
#   COUNT_ORG        generator options (default "--qdls"; "--mcls 30" for mandatory lists)
#   COUNT_FUNCTION   where to count (default 'testqav::QAV::ExpandQueryDL*'; for the whole
#                    MCL phase 'testqav::QAV::CollectDataMCL*')
#   COUNT_SEED       generator seed (default 1)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
users="${COUNT_USERS:-10000}"
org_options="${COUNT_ORG:---qdls}"
function="${COUNT_FUNCTION:-testqav::QAV::ExpandQueryDL*}"
seed="${COUNT_SEED:-1}"

log() { echo "count-instructions: $*" >&2; }
command -v valgrind >/dev/null || { log "valgrind not found (apt-get install valgrind)"; exit 1; }

binaries=("$@")
if [ ${#binaries[@]} -eq 0 ]; then
  build="$root/build-count"
  log "building Release in $build"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESTQAV_WERROR=OFF \
    -DTESTQAV_BUILD_TESTS=OFF >/dev/null
  ninja -C "$build" -j2 testqav >/dev/null
  binaries=("$build/testqav")
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/count-instructions.XXXXXX")"
trap 'rm -rf "$work"' EXIT
log "generating $users users ($org_options)"
# shellcheck disable=SC2086
python3 "$root/tools/gen-org.py" --users "$users" --seed "$seed" $org_options --out "$work/org" \
  >/dev/null 2>"$work/gen.err"

for binary in "${binaries[@]}"; do
  rm -rf "$work/copy"
  cp -r "$work/org" "$work/copy"
  log "counting $binary"
  valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" \
    --toggle-collect="$function" "$binary" --host "$work/copy" --no-wait \
    >/dev/null 2>"$work/valgrind.err"
  total=$(sed -n 's/.*I *refs: *//p' "$work/valgrind.err" | tail -1)
  echo "$binary: $total instructions in $function ($users users, $org_options)"
  callgrind_annotate "$work/callgrind.out" 2>/dev/null |
    awk '/file:function/ {table = 1; next} table == 1 && /^-+$/ {table = 2; next}
         table == 2 && NF > 0 && shown++ < 15' |
    sed -E 's/\[[^]]*\]$//; s/^/  /' | cut -c1-150
done
