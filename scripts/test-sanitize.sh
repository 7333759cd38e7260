#!/usr/bin/env bash
# Builds the parsers' and the engine's test suites with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs them (the slapd-backed cases skip here).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build-asan}"
targets=(registry_test recordset_test messaging_test directory_filter_test
         directory_embedded_test addressbook_test engine_test engine_session_test
         store_test integration_test variant_test text_test directory_contract_test
         background_release_test)
cmake -S "$here" -B "$build" -G Ninja -DTESTQAV_SANITIZE=ON -DTESTQAV_WERROR=ON \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 >/dev/null
cmake --build "$build" --target "${targets[@]}"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
unset TESTQAV_SLAPD_URL
export TESTQAV_SOURCE_DIR="$here"
failed=0
for t in "${targets[@]}"; do
  bin=$(find "$build/tests" -type f -name "$t" -perm -u+x | head -n 1)
  echo "== $t (sanitized)"
  if ! "$bin" --gtest_brief=1; then failed=1; fi
done
exit $failed
