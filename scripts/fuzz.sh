#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz) and runs each for a fixed time on its
# corpus in fuzz/corpus/<name>; the inputs a run finds go to a scratch folder, not into the
# repository. A crash or a broken property stops the script with the fuzzer's report and the
# scratch folder that holds the input (crash-*).
#   fuzz.sh                every target, FUZZ_SECONDS (default 20) each
#   fuzz.sh NAME...        only these (registry, ldif, mailbox_json, ldap_filter,
#                          recordset_filter)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build-fuzz}"
seconds="${FUZZ_SECONDS:-20}"
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  names=(registry ldif mailbox_json ldap_filter recordset_filter)
fi
targets=()
for n in "${names[@]}"; do targets+=("${n}_fuzz"); done
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DTESTQAV_FUZZ=ON \
  -DTESTQAV_BUILD_TESTS=OFF -DTESTQAV_WERROR=ON >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target "${targets[@]}"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for n in "${names[@]}"; do
  echo "== ${n}_fuzz (${seconds} s)"
  mkdir -p "$scratch/$n"
  if ! (cd "$scratch/$n" && "$build/fuzz/${n}_fuzz" -max_total_time="$seconds" \
          -max_len=65536 -print_final_stats=1 "$scratch/$n" "$here/fuzz/corpus/$n" \
          >"$scratch/$n.log" 2>&1); then
    cat "$scratch/$n.log" >&2
    echo "${n}_fuzz failed; the input is in $scratch/$n" >&2
    trap - EXIT
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|new_units_added)' "$scratch/$n.log"
done
