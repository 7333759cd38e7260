#!/usr/bin/env bash
# Stops the slapd that scripts/start-slapd.sh started for DATADIR.
#   scripts/stop-slapd.sh DATADIR
set -u
datadir=${1:?usage: $0 DATADIR}
pidfile=$datadir/slapd.pid.launcher
[ -f "$pidfile" ] || exit 0
pid=$(cat "$pidfile")
if kill "$pid" 2>/dev/null; then
  for _ in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
fi
rm -f "$pidfile"
