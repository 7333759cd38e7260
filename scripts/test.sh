#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test suite; the directory and
# address-book suites run against the embedded directory and against an OpenLDAP slapd
# started here on a free loopback port.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build-test}"
bash "$here/scripts/setup.sh"
cmake -S "$here" -B "$build" -G Ninja -DTESTQAV_WERROR=ON >/dev/null
cmake --build "$build"
"$here/scripts/with-slapd.sh" ctest --test-dir "$build" --output-on-failure -j2
