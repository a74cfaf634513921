#!/usr/bin/env bash
# Installs what is missing, checks the include layers, then builds and runs
# every test: the Linux build, the same tests under AddressSanitizer +
# UndefinedBehaviorSanitizer, the agent's unit, process and end-to-end tests
# under ThreadSanitizer, a short run of every fuzz target, and the Windows
# cross build with its tests under Wine. Exits non-zero on the first failure.
# VN_SKIP_WINDOWS=1 leaves the Windows stage out (local runs only).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
# ccache hits across clones in other folders (CI builds a fresh clone).
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true

scripts/install-deps.sh

echo "== layers: every folder includes only the folders below it"
python3 scripts/check-layers.py

# The tsan presets pick their own targets and tests (see CMakePresets.json).
for preset in linux asan tsan; do
  echo "== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== ${preset}: tests"
  ctest --preset "$preset" -j "$jobs"
done

echo "== fuzz: build the libFuzzer targets and run each briefly"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
fuzz_seconds=${VN_FUZZ_SECONDS:-15}
for fuzzer in build/fuzz/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  echo "-- $(basename "$fuzzer") for ${fuzz_seconds}s"
  corpus=$(mktemp -d)
  "$fuzzer" -max_total_time="$fuzz_seconds" -print_final_stats=0 "$corpus" 2>&1 | tail -n 1
  rm -rf "$corpus"
done

if [ "${VN_SKIP_WINDOWS:-0}" != "1" ]; then
  echo "== windows: dependencies (cached after the first build)"
  prefix=$(scripts/build-win-deps.sh | tail -n 1)
  echo "== windows: configure and build"
  cmake --preset windows -DVN_WIN_DEPS_PREFIX="$prefix" >/dev/null
  cmake --build --preset windows -j "$jobs"
  echo "== windows: tests under Wine"
  scripts/run-wine-tests.sh build/windows
fi
