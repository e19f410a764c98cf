#!/usr/bin/env bash
# Streams as a user streams, and measures it. Builds the release programs (as run.sh does), serves
# the PelioDriver bundle with pelio-host, listens with pelio-listen on the Pelio port, loads every
# core with busy processes at normal priority, and plays a two-tone signal through "Pelio iPhone"
# for $1 seconds (default 60). Then joins the server's cycle log (when each IO cycle ended, after
# WriteMix) with the receiver's arrival log by sequence number, and prints:
#   - datagrams written (one per 512-frame cycle), received, lost (and the receiver's own count);
#   - the latency from the end of the cycle's WriteMix to the datagram's arrival: median, p99, max;
#   - late IO cycles, and whether the IO thread had real-time priority.
# Usage: scripts/stream-bench.sh [seconds]     (port 47583 must be free)
# The logs stay in the folder it names at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/processes.sh
build_release

bin=build/release
seconds=${1:-60}
out=$(mktemp -d "${TMPDIR:-/tmp}/pelio-stream-bench.XXXXXX")
export PELIO_HOST_SOCKET="$out/host.sock"
trap stop_all EXIT
trap 'echo "interrupted"; exit 130' INT TERM

"$bin/host/pelio-host" serve --plugins "$bin/HAL" --state "$out/state" --cycle-log "$out/cycles.csv" \
  2>"$out/serve.log" &
server=$!
started+=("$server")
await "$server" "$out/serve.log" "pelio-host: serving" || { echo "pelio-host serve did not start" >&2; exit 1; }

"$bin/tools/listen/pelio-listen" --arrivals "$out/arrivals.csv" --json >"$out/summary.json" 2>"$out/listen.log" &
listener=$!
started+=("$listener")
await "$listener" "$out/listen.log" "listening on" ||
  { echo "pelio-listen cannot listen: is port 47583 taken by another program?" >&2; exit 1; }

cores=$(nproc)
for _ in $(seq "$cores"); do
  bash -c 'while :; do :; done' &
  started+=("$!")
done

echo "playing for $seconds s with $cores busy processes beside it"
"$bin/host/pelio-host" play --signal two-tone --seconds "$seconds" 2>"$out/play.log"

sleep 0.2
kill -INT "$listener" 2>/dev/null || true
wait "$listener" || true
kill -TERM "$server" 2>/dev/null || true
wait "$server" || true
stop_all

grep -h "IO thread runs at\|IO thread stopped" "$out/serve.log" | sed 's/^pelio-host: /server: /'
echo "receiver: $(cat "$out/summary.json")"
awk -F, -v latencies="$out/latencies" '
  FNR == 1 { next }
  NR == FNR { end[n++] = $3; late += $4; next }
  $4 == "late" || $4 == "duplicate" { next }
  {
    if (!seen++) first = $2
    index_ = $2 - first
    if (index_ >= 0 && index_ < n) print $1 - end[index_] > latencies
    received++
  }
  END {
    printf "datagrams: %d written, %d received, %d lost\n", n, received, n - received
    printf "late IO cycles: %d of %d\n", late, n
    printf "" > latencies
  }' "$out/cycles.csv" "$out/arrivals.csv"
sort -n "$out/latencies" | awk '
  { value[NR] = $1 }
  END {
    if (NR == 0) { print "latency: no datagram arrived"; exit }
    median = value[int(NR * 0.50) + 1]; p99 = value[int(NR * 0.99) + 1]
    printf "latency WriteMix to arrival: median %.2f ms, p99 %.2f ms, max %.2f ms (%d datagrams)\n",
           median / 1e6, p99 / 1e6, value[NR] / 1e6, NR
  }'
echo "logs: $out"
