#!/usr/bin/env bash
# The main job: one streamed session end to end on this machine. Installs what
# is missing, builds the agent, the reference launcher and a screen painter,
# starts a private virtual display with moving content, runs the agent
# standalone and the launcher against it for a few seconds, and prints what
# arrived.
#
#   scripts/run.sh                  the session (settings below)
#   scripts/run.sh agent [options]  just the agent, with its own options
#
# Settings (environment): VN_RUN_SECONDS (8), VN_RUN_SIZE (1280x720),
# VN_RUN_FPS (30), VN_RUN_BITRATE (8000000 bit/s), VN_RUN_DROP_PCT (0, simulated
# loss at the launcher), VN_RUN_PORT_BASE (47998), VN_RUN_OUT (build/run).
set -euo pipefail
cd "$(dirname "$0")/.."

export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
jobs=$(nproc 2>/dev/null || echo 2)

scripts/install-deps.sh
cmake --preset linux >/dev/null

if [ "${1:-}" = "agent" ]; then
  shift
  cmake --build --preset linux -j "$jobs" --target agent
  exec build/linux/agent/agent "$@"
fi

cmake --build --preset linux -j "$jobs" --target agent launcher screen_painter

seconds=${VN_RUN_SECONDS:-8}
size=${VN_RUN_SIZE:-1280x720}
fps=${VN_RUN_FPS:-30}
bitrate=${VN_RUN_BITRATE:-8000000}
drop_pct=${VN_RUN_DROP_PCT:-0}
port_base=${VN_RUN_PORT_BASE:-47998}
out=${VN_RUN_OUT:-build/run}
width=${size%x*}
height=${size#*x}
mkdir -p "$out"
out=$(cd "$out" && pwd)

pids=()
cleanup() {
  # Newest first: the painter goes before its display.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
}
trap cleanup EXIT

# A private display, whatever $DISPLAY is, so the session shows the same
# picture everywhere and never captures the user's desktop.
display=""
for n in $(seq 90 140); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "run: no free X display number" >&2; exit 1; }
Xvfb "$display" -screen 0 "${width}x${height}x24" -nolisten tcp >"$out/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
export DISPLAY=$display
# Twice the session's rate, so that every capture finds a changed screen.
build/linux/tools/screen_painter/screen_painter --fps "$((fps * 2))" &
pids+=($!)

token=$(od -An -tx1 -N16 /dev/urandom | tr -d ' \n')
agent_log=build/linux/agent/agent.log
rm -f "$agent_log"
echo "== agent: standalone session on TCP port $((port_base + 3)), ${width}x${height} @ ${fps} fps, display $display"
build/linux/agent/agent --width "$width" --height "$height" --fps "$fps" --bitrate "$bitrate" \
  --port-base "$port_base" --session-token "$token" >"$out/agent-console.txt" 2>&1 &
agent_pid=$!
pids+=("$agent_pid")

echo "== launcher: ${seconds}s of streaming"
set +e
build/linux/tools/launcher/launcher --host 127.0.0.1 --port-base "$port_base" --token "$token" \
  --duration "$seconds" --drop-pct "$drop_pct" --connect-timeout 30 \
  --save-png "$out/picture.png" --save-h264 "$out/stream.h264" --summary-json "$out/summary.json"
launcher_status=$?
wait "$agent_pid"
agent_status=$?
set -e

echo "== agent log (milestones)"
grep -E "Session established|Client requested|Launcher disconnected|encoder = |NAT traversal|Adaptive FEC|Stats:|Session stats|ended cleanly|stopped cleanly|critical|error" \
  "$agent_log" | sed 's/^/  /' || true
echo
echo "Received picture: $out/picture.png"
echo "Received stream:  $out/stream.h264 (raw H.264)"
echo "Summary (JSON):   $out/summary.json"
echo "Agent log:        $agent_log"
echo "Exit codes: launcher $launcher_status, agent $agent_status"
[ "$launcher_status" -eq 0 ] && [ "$agent_status" -eq 0 ]
