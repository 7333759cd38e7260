#!/usr/bin/env bash
# Builds the test suites with a sanitizer and runs them (the slapd-backed cases skip here).
#   test-sanitize.sh          AddressSanitizer and UndefinedBehaviorSanitizer: every suite
#   test-sanitize.sh thread   ThreadSanitizer: the suites labelled `threads`, i.e. every suite
#                             that starts a thread (the plain build fails a suite that starts
#                             one without the label, see tests/support/thread_census.cc)
# Which suites run is decided by their CTest labels (testqav_test(... LABELS ...)), not here.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
mode="${1:-address}"
case "$mode" in
  address)
    build="${BUILD_DIR:-$here/build-asan}"
    option=-DTESTQAV_SANITIZE=ON
    select=()
    targets=(all)
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    ;;
  thread)
    build="${BUILD_DIR:-$here/build-tsan}"
    option=-DTESTQAV_TSAN=ON
    select=(-L threads)
    targets=(thread_suites)
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    ;;
  *)
    echo "usage: $0 [address|thread]" >&2
    exit 2
    ;;
esac
cmake -S "$here" -B "$build" -G Ninja "$option" -DTESTQAV_WERROR=ON \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target "${targets[@]}"
unset TESTQAV_SLAPD_URL
ctest --test-dir "$build" -j "${JOBS:-2}" --output-on-failure "${select[@]}"
