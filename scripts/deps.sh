#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, only when one is
# missing. Usage: scripts/deps.sh [group...]; groups: build (default), host, test,
# fuzz, bench, armhf, browser. Fast when everything is already there.
set -euo pipefail

declare -A GROUPS_PKGS=(
  [build]="build-essential cmake pkg-config libcjson-dev libsqlite3-dev libzmq3-dev cppzmq-dev libgtest-dev libmicrohttpd-dev nettle-dev libcurl4-openssl-dev rapidjson-dev"
  [host]="curl sqlite3"
  [test]="curl valgrind python3-yaml python3-jsonschema openapi-specification clang-format"
  [fuzz]="clang libclang-rt-dev"
  [bench]="libbenchmark-dev wrk nginx-light curl valgrind python3 util-linux"
  [armhf]="gcc-arm-linux-gnueabihf g++-arm-linux-gnueabihf debootstrap"
  [browser]="chromium chromium-driver python3-selenium pngquant"
)

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build)

missing=()
for g in "${groups[@]}"; do
  for p in ${GROUPS_PKGS[$g]:?unknown group $g}; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
