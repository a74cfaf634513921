#!/usr/bin/env bash
# The main job: one streamed session end to end on this machine, the way the
# service runs it. Installs what is missing, builds the agent, the reference
# launcher, the test backend and a screen painter, starts a private virtual
# display with moving content and the test backend, runs the agent against the
# backend, which asks for a session, streams to the launcher for a few seconds,
# and prints what arrived and what the backend was told.
#
#   scripts/run.sh                    the session through the backend (settings below)
#   scripts/run.sh standalone         the same session without a backend
#   scripts/run.sh agent [options]    just the agent, with its own options
#   scripts/run.sh backend [options]  just the test backend, with its own options
#
# Settings (environment): VN_RUN_SECONDS (8), VN_RUN_SIZE (1280x720),
# VN_RUN_FPS (30), VN_RUN_BITRATE (8000000 bit/s), VN_RUN_DROP_PCT (0, simulated
# loss at the launcher), VN_RUN_PORT_BASE (47998), VN_RUN_BACKEND_PORT (18080),
# VN_RUN_OUT (build/run).
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
if [ "${1:-}" = "backend" ]; then
  shift
  cmake --build --preset linux -j "$jobs" --target test_backend
  exec build/linux/tools/test_backend/test_backend "$@"
fi
mode=backend
if [ "${1:-}" = "standalone" ]; then mode=standalone; shift; fi

cmake --build --preset linux -j "$jobs" --target agent launcher screen_painter test_backend

seconds=${VN_RUN_SECONDS:-8}
size=${VN_RUN_SIZE:-1280x720}
fps=${VN_RUN_FPS:-30}
bitrate=${VN_RUN_BITRATE:-8000000}
drop_pct=${VN_RUN_DROP_PCT:-0}
port_base=${VN_RUN_PORT_BASE:-47998}
backend_port=${VN_RUN_BACKEND_PORT:-18080}
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
agent_args=(--width "$width" --height "$height" --fps "$fps" --bitrate "$bitrate" --port-base "$port_base")
if [ "$mode" = backend ]; then
  # The backend asks for the session as soon as the agent registers, with the
  # hash of the launcher's token, as the service does.
  agent_token="run-$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n')"
  token_hash=$(printf '%s' "$token" | sha256sum | cut -d' ' -f1)
  prepare="{\"type\":\"prepare_session\",\"session_id\":\"run-1\",\"session_token_sha256\":\"$token_hash\",\"constraints\":{\"resolution\":\"${width}x${height}\",\"max_fps\":$fps,\"bitrate_kbps\":$((bitrate / 1000))}}"
  echo "== test backend: ws://127.0.0.1:$backend_port/agent/connect"
  build/linux/tools/test_backend/test_backend --port "$backend_port" --agent-token "$agent_token" \
    --prepare-on-register "$prepare" </dev/null >"$out/backend.txt" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do grep -q '^listening on' "$out/backend.txt" 2>/dev/null && break; sleep 0.1; done
  grep -q '^listening on' "$out/backend.txt" || { cat "$out/backend.txt" >&2; echo "run: the test backend did not start" >&2; exit 1; }
  agent_args+=(--saas-host 127.0.0.1 --saas-port "$backend_port" --agent-token "$agent_token" --public-ip 127.0.0.1)
  echo "== agent: registers with the backend, session on TCP port $((port_base + 3)), ${width}x${height} @ ${fps} fps, display $display"
else
  agent_args+=(--session-token "$token")
  echo "== agent: standalone session on TCP port $((port_base + 3)), ${width}x${height} @ ${fps} fps, display $display"
fi
build/linux/agent/agent "${agent_args[@]}" >"$out/agent-console.txt" 2>&1 &
agent_pid=$!
pids+=("$agent_pid")

echo "== launcher: ${seconds}s of streaming"
set +e
build/linux/tools/launcher/launcher --host 127.0.0.1 --port-base "$port_base" --token "$token" \
  --duration "$seconds" --drop-pct "$drop_pct" --connect-timeout 30 \
  --save-png "$out/picture.png" --save-h264 "$out/stream.h264" --summary-json "$out/summary.json"
launcher_status=$?
if [ "$mode" = backend ]; then
  # The agent reports the end to the backend and waits for the next request;
  # stop it as an operator would.
  for _ in $(seq 150); do grep -q '"type":"session_ended"' "$out/backend.txt" && break; sleep 0.1; done
  kill -INT "$agent_pid" 2>/dev/null || true
fi
wait "$agent_pid"
agent_status=$?
set -e

echo "== agent log (milestones)"
grep -E "SaasConnector: (WebSocket connected|prepare_session)|Sent session_ready|Session established|Client requested|Launcher disconnected|encoder = |NAT traversal|Adaptive FEC|Stats:|Session stats|ended cleanly|stopped cleanly|critical|error" \
  "$agent_log" | sed 's/^/  /' || true
if [ "$mode" = backend ]; then
  echo "== the backend received"
  grep -E '^recv ' "$out/backend.txt" | grep -v '"type":"heartbeat"' | sed 's/^/  /' || true
  echo "  ($(grep -c '"type":"heartbeat"' "$out/backend.txt" || true) heartbeats)"
fi
echo
echo "Received picture: $out/picture.png"
echo "Received stream:  $out/stream.h264 (raw H.264)"
echo "Summary (JSON):   $out/summary.json"
echo "Agent log:        $agent_log"
[ "$mode" = backend ] && echo "Backend output:   $out/backend.txt"
echo "Exit codes: launcher $launcher_status, agent $agent_status"
ended=0
if [ "$mode" = backend ]; then grep -q '"type":"session_ended"' "$out/backend.txt" || ended=1; fi
[ "$launcher_status" -eq 0 ] && [ "$agent_status" -eq 0 ] && [ "$ended" -eq 0 ]
