#!/usr/bin/env bash
# macOS only: removes PelioDriver from /Library/Audio/Plug-Ins/HAL and restarts the audio server,
# which then no longer offers "Pelio iPhone". Asks for the administrator password.
set -euo pipefail
[ "$(uname -s)" = Darwin ] || { echo "macos-uninstall.sh: only on macOS" >&2; exit 1; }

bundle=/Library/Audio/Plug-Ins/HAL/PelioDriver.driver
if [ -d "$bundle" ]; then
  sudo rm -rf "$bundle"
  sudo killall coreaudiod
  echo "removed $bundle"
else
  echo "not installed: $bundle"
fi
