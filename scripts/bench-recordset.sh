#!/usr/bin/env bash
# Builds the record-set benchmark in Release and prints the time of one engine-style
# duplicate filter on 100,000 records, with the indexes and with a plain scan.
# Usage: scripts/bench-recordset.sh [build-dir] [extra benchmark arguments...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-bench}"
shift || true
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$build" -j2 recordset_bench
"$build/bench/recordset_bench" "$@"
