#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing testqav need.
# Run as root (or with sudo available). Safe to run again.
set -euo pipefail
packages=(
  cmake ninja-build g++ clang clang-format
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nlohmann-json3-dev libldap-dev libicu-dev libjemalloc-dev
  slapd ldap-utils locales
  python3 time
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
