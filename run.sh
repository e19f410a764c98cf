#!/usr/bin/env bash
# Builds the driver and the probe (release) and runs pelio-probe.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh build
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELIO_BUILD_TESTS=OFF >/dev/null
cmake --build build/release
build/release/probe/pelio-probe
