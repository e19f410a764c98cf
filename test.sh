#!/usr/bin/env bash
# Builds and runs every test in each configuration, warnings as errors:
#   default  g++, all tests
#   asan     clang 22, AddressSanitizer + UndefinedBehaviorSanitizer, all tests
#   tsan     clang 22, ThreadSanitizer, the concurrency tests
#   rtsan    clang 22, RealtimeSanitizer, the tests of what the real-time IO thread runs
# and checks the substitute platform against the real SDK's declarations.
# Usage: ./test.sh [preset...]   (default: all four)
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh test

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default asan tsan rtsan)

conformance=../shared/conformance/check
if [ -x "$conformance" ]; then
  "$conformance" "$PWD"
fi

for preset in "${presets[@]}"; do
  echo "=== $preset"
  cmake --preset "$preset" -DPELIO_WARNINGS_AS_ERRORS=ON >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
