#!/usr/bin/env bash
# Side-by-side benchmark: the update run of this checkout against the runs of other
# revisions, on one generated organisation, the binaries taking turns so that a noisy
# machine affects them alike. Prints each run and the median wall, user and system times,
# peak memory, MCL phase and first query-based list (the all-staff list with COMPARE_QDLS=1;
# both timed by the run itself, TESTQAV_PHASE_TIMES=1) of each binary, and checks that every
# binary wrote the same dumps.
#
#   scripts/bench-compare.sh REVISION [REVISION...] [USERS]
#
# A REVISION may be REV+PATCH: that revision with a patch file applied (git apply), for an
# experiment that switches one thing off (bench/experiments/).
# A last argument of digits only that git does not know as a revision is the number of
# users (default 100000).
#
# Environment:
#   COMPARE_REPEAT   runs of each binary (default 5)
#   COMPARE_SEED     generator seed (default 1)
#   COMPARE_MCLS     mandatory contact lists in the organisation (gen-org.py --mcls; default 0)
#   COMPARE_QDLS=1   query-based lists too (gen-org.py --qdls)
#   COMPARE_WORK     scratch folder (default: a new one under $TMPDIR, removed at the end)
# Each other revision is built (Release, testqav only) in a git worktree under the scratch
# folder; this checkout's Release build is build-bench-run, as scripts/bench-run.sh makes it.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
[ $# -ge 1 ] || { echo "usage: bench-compare.sh REVISION [REVISION...] [USERS]" >&2; exit 2; }
revs=("$@")
users=100000
last="${revs[-1]}"
if [ ${#revs[@]} -ge 2 ] && [[ "$last" =~ ^[0-9]+$ ]] &&
  ! git -C "$root" rev-parse --verify --quiet "$last^{commit}" >/dev/null; then
  users="$last"
  unset 'revs[-1]'
fi
repeat="${COMPARE_REPEAT:-5}"
seed="${COMPARE_SEED:-1}"
mcls="${COMPARE_MCLS:-0}"
qdls=()
[ "${COMPARE_QDLS:-0}" = 1 ] && qdls=(--qdls)
work="${COMPARE_WORK:-$(mktemp -d "${TMPDIR:-/tmp}/bench-compare.XXXXXX")}"
cleanup() {
  for k in "${!revs[@]}"; do
    git -C "$root" worktree remove --force "$work/rev$k" >/dev/null 2>&1 || true
  done
  rm -rf "$work"
}
[ -n "${COMPARE_WORK:-}" ] || trap cleanup EXIT

log() { echo "bench-compare: $*" >&2; }

build_release() {  # build_release SOURCE BUILD
  cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESTQAV_WERROR=OFF \
    -DTESTQAV_BUILD_TESTS=OFF >/dev/null
  ninja -C "$2" -j2 testqav >/dev/null
}

labels=()
declare -A bins
for k in "${!revs[@]}"; do
  rev="${revs[$k]}"
  base="${rev%%+*}"
  patch=""
  [ "$base" != "$rev" ] && patch="$(realpath "${rev#*+}")"
  log "building $rev (Release) in a worktree"
  if [ ! -d "$work/rev$k" ]; then
    git -C "$root" worktree add --force --detach "$work/rev$k" "$base" >/dev/null 2>&1
    [ -z "$patch" ] || git -C "$work/rev$k" apply "$patch"
  fi
  build_release "$work/rev$k" "$work/rev$k/build-rel"
  labels+=("$rev")
  bins[$rev]="$work/rev$k/build-rel/testqav"
done
log "building this checkout (Release)"
build_release "$root" "$root/build-bench-run"
labels+=(this)
bins[this]="$root/build-bench-run/testqav"

log "generating $users users, $mcls MCLs ${qdls[*]}"
python3 "$root/tools/gen-org.py" --users "$users" --seed "$seed" --mcls "$mcls" "${qdls[@]}" \
  --out "$work/org" >/dev/null

declare -A walls users_s syss peaks mcls_s firsts
mkdir -p "$work/dumps"
run_one() {  # run_one LABEL
  local label="$1" safe
  safe="$(tr -c 'A-Za-z0-9\n' _ <<<"$label")"
  rm -rf "$work/run"
  cp -r "$work/org" "$work/run"
  sync
  TESTQAV_PHASE_TIMES=1 /usr/bin/time -f "%e %U %S %M" -o "$work/time" "${bins[$label]}" \
    --host "$work/run" --no-wait </dev/null >/dev/null 2>"$work/stderr" || true
  read -r wall user sys rss <"$work/time"
  # The MCL phase and the first query-based list (the all-staff list of --qdls), as the run
  # times them; "-" for a binary that does not.
  mcl=$(sed -n 's/^testqav: phase \([0-9.]*\) s mandatory contact lists$/\1/p' "$work/stderr")
  first=$(sed -n 's/^testqav: query-based list \([0-9.]*\) s .*/\1/p' "$work/stderr" | head -1)
  printf '%-12s wall %6.2f s  user %6.2f s  sys %5.2f s  peak %5d MB  MCLs %s s  first list %s s\n' \
    "$label" "$wall" "$user" "$sys" $((rss / 1024)) "${mcl:--}" "${first:--}"
  mcls_s[$label]+="${mcl:-0} "
  firsts[$label]+="${first:-0} "
  walls[$label]+="$wall "
  users_s[$label]+="$user "
  syss[$label]+="$sys "
  peaks[$label]+="$((rss / 1024)) "
  cat "$work"/run/*.csv 2>/dev/null | md5sum | cut -d' ' -f1 >"$work/dumps/$safe"
}

for i in $(seq 1 "$repeat"); do
  for label in "${labels[@]}"; do run_one "$label"; done
done

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
echo
printf '%-12s %10s %10s %10s %10s %10s %12s   (median of %d runs, %d users, %s MCLs%s)\n' run \
  wall_s user_s sys_s peak_MB mcl_s first_list_s "$repeat" "$users" "$mcls" \
  "${qdls[*]:+, query-based lists}"
for label in "${labels[@]}"; do
  printf '%-12s %10s %10s %10s %10s %10s %12s\n' "$label" "$(echo "${walls[$label]}" | median)" \
    "$(echo "${users_s[$label]}" | median)" "$(echo "${syss[$label]}" | median)" \
    "$(echo "${peaks[$label]}" | median)" "$(echo "${mcls_s[$label]}" | median)" \
    "$(echo "${firsts[$label]}" | median)"
done
if [ "$(cat "$work"/dumps/* | sort -u | wc -l)" = 1 ]; then
  echo "dumps: the same bytes from every binary"
else
  echo "dumps: DIFFER between the binaries"
fi
