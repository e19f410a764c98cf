# What the scripts that run the whole system share; sourced, from the repository's root.

# Builds the driver, the simulated audio server, the receiver and the probe, release, into
# build/release, installing what the build needs first.
build_release() {
  scripts/install-deps.sh build
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELIO_BUILD_TESTS=OFF >/dev/null
  cmake --build build/release
}

# The processes started in the background, which stop_all ends: add each one's PID.
started=()
stop_all() {
  for pid in "${started[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${started[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  started=()
}

# Waits up to 10 s for a line in a log; fails when the process writing it ends first.
await() {
  local pid=$1 log=$2 line=$3
  for _ in $(seq 100); do
    grep -q "$line" "$log" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$log" >&2
  return 1
}
