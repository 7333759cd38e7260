#!/usr/bin/env bash
# Fails when a C++ file of the repository is not as clang-format (.clang-format at the top,
# the clang-format that scripts/setup.sh installs) would lay it out; lists each difference.
#   check-format.sh          every tracked *.h and *.cc
#   check-format.sh FILE...  only these
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files '*.h' '*.cc')
fi
clang-format --dry-run --Werror "${files[@]}"
