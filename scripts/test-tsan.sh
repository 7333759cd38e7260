#!/usr/bin/env bash
# Builds the suites whose code runs on more than one thread (the directory's index build,
# the address book's look-ups made ahead, the parallel opening of a session, the engine
# over them) with ThreadSanitizer and runs them (the slapd-backed cases skip here).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build-tsan}"
targets=(spin_lock_test sharded_text_map_test directory_embedded_test addressbook_test engine_test engine_session_test integration_test)
cmake -S "$here" -B "$build" -G Ninja -DTESTQAV_TSAN=ON -DTESTQAV_WERROR=ON \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 >/dev/null
cmake --build "$build" --target "${targets[@]}"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
unset TESTQAV_SLAPD_URL
export TESTQAV_SOURCE_DIR="$here"
failed=0
for t in "${targets[@]}"; do
  bin=$(find "$build/tests" -type f -name "$t" -perm -u+x | head -n 1)
  echo "== $t (thread sanitizer)"
  if ! "$bin" --gtest_brief=1; then failed=1; fi
done
exit $failed
