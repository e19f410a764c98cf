#!/usr/bin/env bash
# Installs the Debian packages that building and testing Pelio need, only those missing.
# Usage: scripts/install-deps.sh [build|test|bench]
set -euo pipefail

# Every build includes, on Linux, pelio-host (the simulated audio server), which reads property
# lists with libplist and, to play, sound files with libsndfile converted with libsamplerate, and
# pelio-listen, which writes its WAV with libsndfile and its spectrogram with sox.
packages=(cmake ninja-build g++ pkgconf libplist-dev libsndfile1-dev libsamplerate0-dev sox)
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
