#!/usr/bin/env bash
# Runs the directory tests against both backends (the embedded directory and a private slapd).
#   scripts/test-directory-slapd.sh BUILD_DIR [extra ctest arguments]
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR [ctest arguments]}
shift
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/with-slapd.sh" ctest --test-dir "$build" -R '^Directory' --output-on-failure "$@"
