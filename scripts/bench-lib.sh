# Helpers shared by the benchmark scripts (sourced, not run): medians, clocks, ratios, and a
# private slapd loaded with a generated organisation.

median() {  # median of the numbers on standard input
  sort -g | awk '{a[NR] = $1} END {if (NR) print a[int((NR + 1) / 2)]; else print "-"}'
}
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN {printf "%.3f", b - a}'; }
ratio() {  # ratio A B: A / B, "-" unless both are positive numbers
  awk -v a="$1" -v b="$2" 'BEGIN {
    if (a ~ /^[0-9.]+$/ && b ~ /^[0-9.]+$/ && b > 0) printf "%.2f", a / b; else printf "-" }'
}
port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# free_port: a loopback port nothing listens on, or exit.
free_port() {
  local candidate
  for _ in $(seq 1 50); do
    candidate=$((20000 + RANDOM % 20000))
    if port_free "$candidate"; then echo "$candidate"; return 0; fi
  done
  echo "no free loopback port for slapd" >&2
  exit 1
}

# slapd_host_folder SLAPD_DIR URL FROM TO SERVER [EXTRA_CONF]: copies the host folder FROM
# to TO with a directory.conf for the slapd in SLAPD_DIR (at URL) instead of directory.ldif.
slapd_host_folder() {
  local slapd_dir=$1 url=$2 from=$3 to=$4 server=$5 extra=${6:-}
  cp -a "$from" "$to"
  rm "$to/exchange/$server/directory.ldif"
  printf 'url = %s\nbind_dn = %s\npassword_file = %s\ntimeout = 600\n%s' "$url" \
    "$(cat "$slapd_dir/binddn")" "$slapd_dir/password" "$extra" \
    >"$to/exchange/$server/directory.conf"
}

# bench_testqav BUILD: sets `testqav` to $BENCH_TESTQAV when given (another revision's binary,
# for before/after figures), else builds a Release testqav in BUILD. Warnings stay warnings
# there: -O3 brings false positives that must not stop a measurement.
bench_testqav() {
  if [ -n "${BENCH_TESTQAV:-}" ]; then
    testqav="$(cd "$(dirname "$BENCH_TESTQAV")" && pwd)/$(basename "$BENCH_TESTQAV")"
    echo "measuring $testqav" >&2
    return
  fi
  echo "building Release in $1" >&2
  cmake -S "$root" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESTQAV_WERROR=OFF >/dev/null
  ninja -C "$1" -j2 testqav >/dev/null
  testqav="$1/testqav"
  [ -x "$testqav" ] || testqav="$1/src/app/testqav"
}
