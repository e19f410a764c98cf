#!/usr/bin/env bash
# Installs the Debian packages that building and testing Pelio need, only those missing.
# Usage: scripts/install-deps.sh [build|test|bench]
set -euo pipefail

# pelio-host (the simulated audio server, Linux only) reads property lists with libplist.
packages=(cmake ninja-build g++ pkg-config libplist-dev)
case "${1:-build}" in
  build) ;;
  test) packages+=(clang-22 libclang-rt-22-dev libgtest-dev libgmock-dev) ;;
  bench) packages+=(libbenchmark-dev) ;;
  *) echo "usage: $0 [build|test|bench]" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
