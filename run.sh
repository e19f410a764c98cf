#!/usr/bin/env bash
# The main job in one command. Builds the driver, the simulated audio server, the receiver and the
# probe (release); serves the built PelioDriver bundle with pelio-host in a temporary state folder;
# listens on the Pelio port with pelio-listen; plays a two-tone test signal (440 Hz left, 660 Hz
# right) through "Pelio iPhone" for a few seconds ($PELIO_RUN_SECONDS, default 4); runs pelio-probe
# while it plays; and ends with the receiver's summary and the paths of the WAV and the
# spectrogram. Every process it starts ends with it, also on Ctrl-C: before the playing starts,
# Ctrl-C just stops everything; while it plays, it stops the playing and shows what arrived.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/processes.sh
build_release

bin=build/release
seconds=${PELIO_RUN_SECONDS:-4}
out=$(mktemp -d "${TMPDIR:-/tmp}/pelio-run.XXXXXX")
export PELIO_HOST_SOCKET="$out/host.sock"

trap stop_all EXIT
trap 'echo "interrupted"; exit 130' INT TERM

"$bin/host/pelio-host" serve --plugins "$bin/HAL" --state "$out/state" 2>"$out/serve.log" &
server=$!
started+=("$server")
await "$server" "$out/serve.log" "pelio-host: serving" || { echo "pelio-host serve did not start" >&2; exit 1; }

"$bin/tools/listen/pelio-listen" --wav "$out/pelio.wav" --spectrogram "$out/pelio.png" \
  >"$out/summary.txt" 2>"$out/listen.log" &
listener=$!
started+=("$listener")
await "$listener" "$out/listen.log" "listening on" ||
  { echo "pelio-listen cannot listen: is port 47583 taken by another program?" >&2; exit 1; }

interrupted=0
trap 'interrupted=1' INT TERM
echo "playing a two-tone signal through \"Pelio iPhone\" for $seconds s"
"$bin/host/pelio-host" play --signal two-tone --seconds "$seconds" &
player=$!
started+=("$player")
sleep 1 || true
[ "$interrupted" = 1 ] || echo "pelio-probe: $("$bin/probe/pelio-probe")"
wait "$player" || true
if [ "$interrupted" = 1 ]; then
  echo "interrupted: the playing stops"
  kill -TERM "$player" 2>/dev/null || true
  wait "$player" 2>/dev/null || true
fi
trap 'echo "interrupted"; exit 130' INT TERM

# The receiver prints its summary and writes its files when it is told to stop.
sleep 0.2
kill -INT "$listener" 2>/dev/null || true
wait "$listener" || true
kill -TERM "$server" 2>/dev/null || true
wait "$server" || true
started=()

echo
cat "$out/summary.txt"
echo
echo "WAV:         $out/pelio.wav"
echo "spectrogram: $out/pelio.png"
echo "logs:        $out/serve.log, $out/listen.log"
