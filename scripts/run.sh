#!/usr/bin/env bash
# The main job: installs what is missing, builds the agent and runs it with the
# given options (standalone when no --saas-host is given).
set -euo pipefail
cd "$(dirname "$0")/.."

export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc 2>/dev/null || echo 2)" --target agent
exec build/linux/agent/agent "$@"
