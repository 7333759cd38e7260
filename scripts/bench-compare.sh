#!/usr/bin/env bash
# Side-by-side benchmark: the update run of this checkout against the one of another
# revision, on one generated organisation, the two binaries taking turns so that a noisy
# machine affects both alike. Prints each run and the median wall, user and system times.
#
#   scripts/bench-compare.sh REVISION [USERS]      (USERS default 100000)
#
# Environment:
#   COMPARE_REPEAT   runs of each binary (default 5)
#   COMPARE_SEED     generator seed (default 1)
#   COMPARE_MCLS     mandatory contact lists in the organisation (gen-org.py --mcls; default 0)
#   COMPARE_WORK     scratch folder (default: a new one under $TMPDIR, removed at the end)
# The other revision is built (Release, testqav only) in a git worktree under the scratch
# folder; this checkout's Release build is build-bench-run, as scripts/bench-run.sh makes it.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
rev="${1:?usage: bench-compare.sh REVISION [USERS]}"
users="${2:-100000}"
repeat="${COMPARE_REPEAT:-5}"
seed="${COMPARE_SEED:-1}"
mcls="${COMPARE_MCLS:-0}"
work="${COMPARE_WORK:-$(mktemp -d "${TMPDIR:-/tmp}/bench-compare.XXXXXX")}"
if [ -z "${COMPARE_WORK:-}" ]; then
  trap 'git -C "$root" worktree remove --force "$work/other" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
fi

log() { echo "bench-compare: $*" >&2; }

build_release() {  # build_release SOURCE BUILD
  cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESTQAV_WERROR=OFF \
    -DTESTQAV_BUILD_TESTS=OFF >/dev/null
  ninja -C "$2" -j2 testqav >/dev/null
}

log "building this checkout (Release)"
build_release "$root" "$root/build-bench-run"
this_bin="$root/build-bench-run/testqav"

log "building $rev (Release) in a worktree"
if [ ! -d "$work/other" ]; then
  git -C "$root" worktree add --force --detach "$work/other" "$rev" >/dev/null 2>&1
fi
build_release "$work/other" "$work/other/build-rel"
other_bin="$work/other/build-rel/testqav"

log "generating $users users, $mcls MCLs"
python3 "$root/tools/gen-org.py" --users "$users" --seed "$seed" --mcls "$mcls" \
  --out "$work/org" >/dev/null

declare -A walls users_s syss
run_one() {  # run_one LABEL BINARY
  rm -rf "$work/run"
  cp -r "$work/org" "$work/run"
  sync
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$2" --host "$work/run" --no-wait \
    </dev/null >/dev/null 2>"$work/stderr" || true
  read -r wall user sys rss <"$work/time"
  printf '%-8s wall %6.2f s  user %6.2f s  sys %5.2f s  peak %4d MB\n' "$1" "$wall" "$user" \
    "$sys" $((rss / 1024))
  walls[$1]+="$wall "
  users_s[$1]+="$user "
  syss[$1]+="$sys "
}

for i in $(seq 1 "$repeat"); do
  run_one "$rev" "$other_bin"
  run_one "this" "$this_bin"
done

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
echo
printf '%-8s %10s %10s %10s   (median of %d runs, %d users)\n' run wall_s user_s sys_s \
  "$repeat" "$users"
for label in "$rev" this; do
  printf '%-8s %10s %10s %10s\n' "$label" "$(echo "${walls[$label]}" | median)" \
    "$(echo "${users_s[$label]}" | median)" "$(echo "${syss[$label]}" | median)"
done
