#!/usr/bin/env bash
# Builds testqav and performs one update run on a scratch copy of the bundled sample
# organisation (the repository itself is never changed by a run).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
bash "$here/scripts/setup.sh"
# A build folder of its own: switching the tests off in build/ would leave a developer's
# ctest there running test programs that are no longer rebuilt.
cmake -S "$here" -B "$here/build-sample" -G Ninja -DTESTQAV_BUILD_TESTS=OFF >/dev/null
cmake --build "$here/build-sample" --target testqav
work="${1:-${TMPDIR:-/tmp}/testqav-sample}"
rm -rf "$work"
cp -r "$here/examples/sample-org" "$work"
status=0
"$here/build-sample/testqav" --host "$work" --no-wait || status=$?
echo
echo "== $work/TestQAV.log"
cat "$work/TestQAV.log"
for f in "$work"/*.csv; do
  [ -e "$f" ] || continue
  echo
  echo "== $f"
  cat "$f"
done
exit $status
