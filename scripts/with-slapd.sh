#!/usr/bin/env bash
# Runs a command with a private slapd on a free loopback port, loaded with the directory test
# data, and the TESTQAV_SLAPD_* variables the slapd-backed suites read; stops slapd afterwards.
#   scripts/with-slapd.sh COMMAND [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
datadir=$(mktemp -d "${TMPDIR:-/tmp}/testqav-slapd.XXXXXX")
cleanup() {
  "$here/scripts/stop-slapd.sh" "$datadir" || true
  rm -rf "$datadir"
}
trap cleanup EXIT

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
port=""
for _ in $(seq 1 50); do
  candidate=$((20000 + RANDOM % 20000))
  if port_free "$candidate"; then
    port=$candidate
    break
  fi
done
[ -n "$port" ] || { echo "no free loopback port for slapd" >&2; exit 1; }

data=$here/tests/platform/directory/data
url=$("$here/scripts/start-slapd.sh" "$port" "$datadir" "$data/org.ldif" "$data/unknown-attributes.schema")
export TESTQAV_SLAPD_URL=$url
TESTQAV_SLAPD_BIND_DN=$(cat "$datadir/binddn")
export TESTQAV_SLAPD_BIND_DN
export TESTQAV_SLAPD_PASSWORD_FILE=$datadir/password
"$@"
