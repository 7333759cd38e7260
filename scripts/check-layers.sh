#!/usr/bin/env bash
# The folders of src/ are layers: a file may include headers of its own folder and of the
# folders listed for it below, never of a folder above it. Prints every include that points
# up, and the folder graph (who includes whom, how often) with -v. Exit status 1 on a
# violation.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
declare -A allowed=(
  [platform]="platform"
  [util]="util platform"
  [core]="core platform"
  [store]="store core platform"
  [harness]="harness store core platform"
  [engine]="engine harness store core platform util"
  [mcl]="mcl engine harness store core platform util"
  [merge]="merge engine harness store core platform util"
  [app]="app mcl merge engine harness store core platform util"
)
fail=0
declare -A edges
while IFS= read -r line; do
  file="${line%%:*}"
  target="$(sed -E 's/.*#include "([a-z_]+)\/.*/\1/' <<<"$line")"
  folder="$(cut -d/ -f2 <<<"${file#"$root"/}")"
  edges["$folder -> $target"]=$((${edges["$folder -> $target"]:-0} + 1))
  if [ -z "${allowed[$folder]:-}" ]; then
    echo "check-layers: ${file#"$root"/}: folder src/$folder is in no layer" >&2
    fail=1
  elif ! grep -qw "$target" <<<"${allowed[$folder]}"; then
    echo "check-layers: ${file#"$root"/} includes $target/, above src/$folder" >&2
    fail=1
  fi
done < <(grep -rE '^#include "[a-z_]+/' "$root/src" --include='*.h' --include='*.cc' --include='*.in')
if [ "${1:-}" = -v ]; then
  for e in "${!edges[@]}"; do echo "$e ${edges[$e]}"; done | sort
fi
exit "$fail"
