#!/usr/bin/env bash
# Where the time of the query-based list expansion goes: builds testqav with debug
# information and frame pointers (RelWithDebInfo), generates an organisation with
# query-based lists (tools/gen-org.py --qdls), runs one update run under
# `perf record -e cpu-clock --call-graph fp` and prints, for the samples taken inside
# QAV::ExpandQueryDL (every query-based list the MCLs name), the call tree below it: each
# function's CPU seconds (samples / frequency, itself and what it calls) and share, down to
# PROFILE_DEPTH levels, and the functions that the samples were in (self time). The
# machine has no hardware counters; cpu-clock samples the time on a core. The frame
# pointers make the run about a tenth slower than a Release build. See docs/benchmarks.md.
#
# Environment:
#   PROFILE_USERS        users (default 100000)
#   PROFILE_SEED         generator seed (default 1)
#   PROFILE_BACKEND      embedded (default) or slapd (a private slapd loaded with the same
#                        LDIF, with the indexes scripts/bench-qdl.sh gives it; only the
#                        program's side is sampled, and slapd logs every operation: the
#                        searches the expansion sends are counted by kind, with the time
#                        slapd took for them)
#   PROFILE_VISIBLE=1    unhide the mailboxes the generator hides (as BENCH_VISIBLE)
#   PROFILE_FREQ         samples per second (default 200)
#   PROFILE_DEPTH        levels of the tree (default 6)
#   PROFILE_MIN_SHARE    smallest share printed in the tree, percent (default 1)
#   PROFILE_BUILD_DIR    build folder (default build-profile-qdl)
#   PROFILE_KEEP=1       keep the folder with perf.data and the folded stacks
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
users="${PROFILE_USERS:-100000}"
seed="${PROFILE_SEED:-1}"
backend="${PROFILE_BACKEND:-embedded}"
freq="${PROFILE_FREQ:-200}"
depth="${PROFILE_DEPTH:-6}"
min_share="${PROFILE_MIN_SHARE:-1}"
build="${PROFILE_BUILD_DIR:-$root/build-profile-qdl}"
server=EXCH01

log() { echo "profile-qdl: $*" >&2; }
command -v perf >/dev/null || { log "perf not found"; exit 1; }

log "building RelWithDebInfo with frame pointers in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESTQAV_WERROR=OFF \
  -DTESTQAV_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS="-fno-omit-frame-pointer" >/dev/null
ninja -C "$build" -j2 testqav >/dev/null
testqav="$build/testqav"
[ -x "$testqav" ] || testqav="$build/src/app/testqav"

work="$(mktemp -d "${TMPDIR:-/tmp}/profile-qdl.XXXXXX")"
slapd_dir=""
cleanup() {
  if [ -n "$slapd_dir" ]; then "$root/scripts/stop-slapd.sh" "$slapd_dir" >/dev/null 2>&1 || true; fi
  if [ "${PROFILE_KEEP:-0}" != 1 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT

log "generating $users users with query-based lists"
python3 "$root/tools/gen-org.py" --users "$users" --seed "$seed" --qdls --out "$work/org" \
  >/dev/null 2>"$work/gen.err"
ldif="$work/org/exchange/$server/directory.ldif"
if [ "${PROFILE_VISIBLE:-0}" = 1 ]; then sed -i '/^msExchHideFromAddressLists: TRUE$/d' "$ldif"; fi
if [ "$backend" = slapd ]; then
  port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
  port=""
  for _ in $(seq 1 50); do
    candidate=$((20000 + RANDOM % 20000))
    if port_free "$candidate"; then port=$candidate; break; fi
  done
  [ -n "$port" ] || { log "no free loopback port for slapd"; exit 1; }
  slapd_dir="$work/slapd"
  log "loading slapd on port $port"
  url=$(SLAPD_DEBUG=256 SLAPD_MAXSIZE=4294967296 SLAPD_INDEXES="mail,proxyAddresses,legacyExchangeDN,displayName,cn,givenName,sn eq
mailNickname eq,pres
msExchHomeServerName pres
objectCategory,department eq" "$root/scripts/start-slapd.sh" "$port" "$slapd_dir" "$ldif")
  rm "$ldif"
  printf 'url = %s\nbind_dn = %s\npassword_file = %s\ntimeout = 600\n' "$url" \
    "$(cat "$slapd_dir/binddn")" "$slapd_dir/password" >"$work/org/exchange/$server/directory.conf"
elif [ "$backend" != embedded ]; then
  log "PROFILE_BACKEND must be embedded or slapd"
  exit 2
fi
sync

log "perf record ($freq Hz): testqav --host $work/org --no-wait"
env TESTQAV_PHASE_TIMES=1 perf record -q -e cpu-clock -F "$freq" --call-graph fp \
  -o "$work/perf.data" "$testqav" --host "$work/org" --no-wait </dev/null >/dev/null \
  2>"$work/run.err"
perf script -i "$work/perf.data" -F comm,tid,ip,sym 2>/dev/null >"$work/perf.txt"

echo "Profile of the query-based list expansion ($users users, $backend directory$(
  [ "${PROFILE_VISIBLE:-0}" = 1 ] && echo ", no hidden mailboxes"); RelWithDebInfo with frame"
echo "pointers, perf cpu-clock at $freq Hz)"
grep -E '^testqav: (phase [0-9.]+ s mandatory|query-based list)' "$work/run.err" | sed 's/^/  /'
echo
python3 - "$work/perf.txt" "$freq" "$depth" "$min_share" "$work/folded.txt" <<'EOF'
import re, sys
path, freq, depth, min_share, folded_out = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), \
    float(sys.argv[4]), sys.argv[5]
ROOT = "testqav::QAV::ExpandQueryDL"

# perf script: a header line per sample, then one frame per line (leaf first), then a blank.
stacks = {}
frames = []
def flush():
    if frames:
        key = tuple(reversed(frames))
        stacks[key] = stacks.get(key, 0) + 1
for line in open(path, encoding="utf-8", errors="replace"):
    if not line.strip():
        flush(); frames = []; continue
    if line[0] in " \t":
        parts = line.strip().split(None, 1)
        if len(parts) == 2:
            sym = re.sub(r"\s*\([^()]*\)$", "", parts[1])
            frames.append(re.sub(r"\+0x[0-9a-f]+$", "", sym))
    else:
        flush(); frames = []
flush()
with open(folded_out, "w") as f:
    for k, v in stacks.items():
        f.write(";".join(k) + " %d\n" % v)

def short(name):
    name = re.sub(r"\(anonymous namespace\)::", "", name)
    name = re.sub(r"\[abi:cxx11\]", "", name)
    # Template arguments and lambdas say little here and make lines very long.
    out, level = [], 0
    for c in name:
        if c == "<":
            level += 1
            if level == 1: out.append("<...>")
        elif c == ">":
            level -= 1
        elif level == 0:
            out.append(c)
    return "".join(out)[:110]

total = sum(stacks.values())
tree = {}
self_time = {}
under = 0
for stack, n in stacks.items():
    if ROOT not in stack:
        continue
    under += n
    i = stack.index(ROOT)
    node = tree
    for frame in stack[i + 1:i + 1 + depth]:
        entry = node.setdefault(frame, [0, {}])
        entry[0] += n
        node = entry[1]
    leaf = stack[-1]
    self_time[leaf] = self_time.get(leaf, 0) + n

print("samples: %d in the whole run, %d (%.1f s of CPU) inside %s" % (
    total, under, under / freq, short(ROOT)))
print()
print("Call tree below it (CPU s, share of the expansion; children of %.0f%% or more):" % min_share)
def show(node, indent):
    for name, (n, children) in sorted(node.items(), key=lambda kv: -kv[1][0]):
        share = 100.0 * n / max(under, 1)
        if share < min_share:
            continue
        print("%8.2f s %5.1f%%  %s%s" % (n / freq, share, "  " * indent, short(name)))
        show(children, indent + 1)
show(tree, 0)
print()
print("Where the samples were (self time inside the expansion, top 25):")
for name, n in sorted(self_time.items(), key=lambda kv: -kv[1])[:25]:
    print("%8.2f s %5.1f%%  %s" % (n / freq, 100.0 * n / max(under, 1), short(name)))
EOF
if [ "$backend" = slapd ]; then
  echo
  echo "Searches slapd answered from the first member query on (the MCL phase), by kind (values"
  echo "left out, \"=*\" a substring item; a paged search counts once a page), with the time slapd"
  echo "reports for them (etime: from the request to the result):"
  python3 - "$slapd_dir/slapd.log" <<'EOF'
import re, sys
searches = {}  # (connection, operation) -> kind
kinds = {}
started = False
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    m = re.search(r"conn=(\d+) op=(\d+) SRCH base=.* filter=\"(.*)\"$", line)
    if m:
        flt = m.group(3)
        if not started and flt.startswith("(&(objectClass=user)(objectCategory="):
            started = True
        if started:
            # Values left out; "=*" marks a substring (prefix) item.
            searches[(m.group(1), m.group(2))] = re.sub(
                r"=([^()]*)\)", lambda v: "=*)" if "*" in v.group(1) else "=)", flt)
        continue
    m = re.search(r"conn=(\d+) op=(\d+) SEARCH RESULT .*etime=([0-9.]+) nentries=(\d+)", line)
    if m and (m.group(1), m.group(2)) in searches:
        c = kinds.setdefault(searches.pop((m.group(1), m.group(2))), [0, 0.0, 0])
        c[0] += 1
        c[1] += float(m.group(3))
        c[2] += int(m.group(4))
print("%9s %9s %10s  %s" % ("searches", "slapd s", "entries", "filter"))
for k, (n, t, e) in sorted(kinds.items(), key=lambda kv: -kv[1][1])[:8]:
    print("%9d %9.2f %10d  %s" % (n, t, e, k[:150]))
EOF
fi
if [ "${PROFILE_KEEP:-0}" = 1 ]; then echo "kept: $work (perf.data, folded.txt)"; fi
