#!/usr/bin/env bash
# Starts a throw-away OpenLDAP server for the directory tests.
#   scripts/start-slapd.sh PORT DATADIR LDIF [SCHEMA...]
# Writes DATADIR/slapd.conf (mdb database whose suffix is the LDIF's first DN, stock core/
# cosine/inetorgperson schemas plus schema/testqav.schema, then the SCHEMA files that the data
# needs besides), loads the LDIF with slapadd while the server is stopped, starts slapd on
# ldap://127.0.0.1:PORT/ in the background, waits until it answers and prints the URL. Bind
# as DATADIR/binddn with the password in DATADIR/password. Stop it with
# scripts/stop-slapd.sh DATADIR.
#
# The server is set up as a production directory would be for the program: equality indexes
# on what the address book looks up, and room for an organisation of 100,000 users.
# Environment:
#   SLAPD_MAXSIZE   the mdb map size in bytes (default 4294967296, 4 GiB: a map is address
#                   space, not memory, and 100,000 generated users with their indexes take
#                   about 1 GiB)
#   SLAPD_INDEXES   index definitions besides "objectClass eq", one per line in slapd.conf's
#                   form without the keyword ("mail,proxyAddresses eq"); they replace the
#                   default, "mail,proxyAddresses,legacyExchangeDN,displayName,cn,givenName,sn,
#                   mailNickname eq" (empty: none)
#   SLAPD_DEBUG     slapd's -d level (default 0); 256 writes every operation with its filter
#                   and time to DATADIR/slapd.log, which slows slapd down
set -euo pipefail

if [ $# -lt 3 ]; then
  echo "usage: $0 PORT DATADIR LDIF [SCHEMA...]" >&2
  exit 2
fi
port=$1
datadir=$(mkdir -p "$2" && cd "$2" && pwd)
ldif=$3
shift 3
extra_schemas=""
for f in "$@"; do
  if [ ! -f "$f" ]; then
    echo "start-slapd: missing schema $f" >&2
    exit 1
  fi
  extra_schemas="${extra_schemas}include $(cd "$(dirname "$f")" && pwd)/$(basename "$f")
"
done
here=$(cd "$(dirname "$0")/.." && pwd)
slapd_bin=$(command -v slapd || echo /usr/sbin/slapd)
slapadd_bin=$(command -v slapadd || echo /usr/sbin/slapadd)
stock=/etc/ldap/schema

for f in "$slapd_bin" "$slapadd_bin" "$stock/core.schema" "$ldif"; do
  if [ ! -e "$f" ]; then
    echo "start-slapd: missing $f (apt-get install slapd ldap-utils)" >&2
    exit 1
  fi
done

# The suffix is the DN of the LDIF's first entry (the top of the tree). Folded dn lines are
# rare for a suffix; base64 ("dn::") is decoded.
first_dn=$(awk '/^dn::/ {print "B64 " $2; exit} /^dn:/ {sub(/^dn: */, ""); print; exit}' "$ldif")
case "$first_dn" in
  "B64 "*) suffix=$(echo "${first_dn#B64 }" | base64 -d) ;;
  *) suffix=$first_dn ;;
esac
if [ -z "$suffix" ]; then
  echo "start-slapd: no dn in $ldif" >&2
  exit 1
fi

rm -rf "$datadir/db"
mkdir -p "$datadir/db"
binddn="cn=admin,$suffix"
password="testqav-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')"
printf '%s' "$password" > "$datadir/password"
chmod 600 "$datadir/password"
printf '%s' "$binddn" > "$datadir/binddn"

cat > "$datadir/slapd.conf" <<CONF
include $stock/core.schema
include $stock/cosine.schema
include $stock/inetorgperson.schema
include $here/schema/testqav.schema
${extra_schemas}pidfile $datadir/slapd.pid
argsfile $datadir/slapd.args
loglevel none
sizelimit unlimited
moduleload back_mdb
database mdb
maxsize ${SLAPD_MAXSIZE:-4294967296}
suffix "$suffix"
rootdn "$binddn"
rootpw $password
directory $datadir/db
index objectClass eq
CONF
indexes="${SLAPD_INDEXES-mail,proxyAddresses,legacyExchangeDN,displayName,cn,givenName,sn,mailNickname eq}"
if [ -n "$indexes" ]; then
  printf '%s\n' "$indexes" | awk 'NF {print "index " $0}' >>"$datadir/slapd.conf"
fi
# Debian builds back_mdb as a loadable module; other builds link it into slapd.
modules=""
for dir in /usr/lib/ldap /usr/lib/openldap /usr/libexec/openldap; do
  if ls "$dir"/back_mdb* >/dev/null 2>&1; then
    modules="modulepath $dir
moduleload back_mdb"
    break
  fi
done
sed -i '/^moduleload/d' "$datadir/slapd.conf"
if [ -n "$modules" ]; then
  printf '%s\n' "$modules" | cat - "$datadir/slapd.conf" > "$datadir/slapd.conf.new"
  mv "$datadir/slapd.conf.new" "$datadir/slapd.conf"
fi

# slapadd reads a "version: 1" line as an attribute of the first entry: leave it out.
awk 'BEGIN { first = 1 }
     first && /^#/ { print; next }
     first && /^[ \t]*$/ { print; next }
     first && /^version:/ { first = 0; next }
     { first = 0; print }' "$ldif" > "$datadir/load.ldif"

# -s: directories exported from Active Directory do not follow OpenLDAP's structural class
# rules (a person without sn, for example); values must still have valid syntax.
"$slapadd_bin" -q -s -f "$datadir/slapd.conf" -l "$datadir/load.ldif" >"$datadir/slapadd.log" 2>&1 || {
  cat "$datadir/slapadd.log" >&2
  exit 1
}

url="ldap://127.0.0.1:$port/"
nohup "$slapd_bin" -h "$url" -f "$datadir/slapd.conf" -d "${SLAPD_DEBUG:-0}" >"$datadir/slapd.log" 2>&1 &
echo $! > "$datadir/slapd.pid.launcher"

for _ in $(seq 1 100); do
  if ldapsearch -x -H "$url" -b "" -s base "(objectClass=*)" namingContexts >/dev/null 2>&1; then
    echo "$url"
    exit 0
  fi
  if ! kill -0 "$(cat "$datadir/slapd.pid.launcher")" 2>/dev/null; then break; fi
  sleep 0.1
done
echo "start-slapd: slapd did not answer on $url" >&2
cat "$datadir/slapd.log" >&2
exit 1
