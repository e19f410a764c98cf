#!/usr/bin/env bash
# macOS only: builds PelioDriver (universal arm64 + x86_64, release), installs it into
# /Library/Audio/Plug-Ins/HAL with cmake --install (root:wheel, 755/644, ad-hoc signature) and
# restarts the audio server so that it loads the new bundle. Asks for the administrator password.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(uname -s)" = Darwin ] || { echo "macos-install.sh: only on macOS" >&2; exit 1; }

cmake -S . -B build/macos -DCMAKE_BUILD_TYPE=Release -DPELIO_BUILD_TESTS=OFF "-DCMAKE_OSX_ARCHITECTURES=arm64;x86_64"
cmake --build build/macos --target PelioDriver
sudo cmake --install build/macos
# launchctl kickstart is refused under System Integrity Protection; launchd restarts the server.
sudo killall coreaudiod
echo "installed /Library/Audio/Plug-Ins/HAL/PelioDriver.driver"
