#!/usr/bin/env bash
# Builds test suites with a sanitizer and runs them (the slapd-backed cases skip here).
#   test-sanitize.sh          AddressSanitizer and UndefinedBehaviorSanitizer: the parsers'
#                             and the engine's suites
#   test-sanitize.sh thread   ThreadSanitizer: the suites whose code runs on more than one
#                             thread (the locks, the directory's index build, the address
#                             book's look-ups made ahead, the engine over a real session)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
mode="${1:-address}"
case "$mode" in
  address)
    build="${BUILD_DIR:-$here/build-asan}"
    option=-DTESTQAV_SANITIZE=ON
    targets=(registry_test recordset_test messaging_test directory_filter_test
             directory_embedded_test addressbook_test engine_test engine_session_test
             store_test integration_test variant_test text_test directory_contract_test
             background_release_test spin_lock_test sharded_text_map_test run_end_test
             program_test explain_test testqav_runlog_test harness_test)
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    ;;
  thread)
    build="${BUILD_DIR:-$here/build-tsan}"
    option=-DTESTQAV_TSAN=ON
    targets=(spin_lock_test sharded_text_map_test directory_embedded_test addressbook_test
             engine_test engine_session_test integration_test run_end_test)
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    ;;
  *)
    echo "usage: $0 [address|thread]" >&2
    exit 2
    ;;
esac
cmake -S "$here" -B "$build" -G Ninja "$option" -DTESTQAV_WERROR=ON \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 >/dev/null
cmake --build "$build" --target "${targets[@]}"
unset TESTQAV_SLAPD_URL
export TESTQAV_SOURCE_DIR="$here"
failed=0
for t in "${targets[@]}"; do
  bin=$(find "$build/tests" -type f -name "$t" -perm -u+x | head -n 1)
  echo "== $t ($mode sanitizer)"
  if ! "$bin" --gtest_brief=1; then failed=1; fi
done
exit $failed
