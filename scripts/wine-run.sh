#!/usr/bin/env bash
# Runs a Windows executable under Wine; the exit code is the program's.
# Used as CMAKE_CROSSCOMPILING_EMULATOR by cmake/toolchains/mingw-w64-x86_64.cmake,
# so ctest (and gtest_discover_tests) run .exe tests through it.
#
#   scripts/wine-run.sh prog.exe [args...]
#
# Uses $WINEPREFIX when set (scripts/run-wine-tests.sh sets a fresh one).
# Otherwise uses a per-user prefix under the temp dir, created on first use
# (${TMPDIR:-/tmp}/vn-wine-prefix-$UID). Needs wine64 (or wine) installed;
# scripts/run-wine-tests.sh installs it.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 program.exe [args...]" >&2
  exit 2
fi

WINE=""
for w in wine64 /usr/lib/wine/wine64 wine; do
  if command -v "$w" >/dev/null 2>&1; then WINE=$(command -v "$w"); break; fi
done
if [ -z "$WINE" ]; then
  echo "wine-run: wine64/wine not found (apt-get install wine64, or use scripts/run-wine-tests.sh)" >&2
  exit 127
fi

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64

if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX="${TMPDIR:-/tmp}/vn-wine-prefix-$(id -u)"
  export WINEPREFIX
  if [ ! -f "$WINEPREFIX/.vn-ready" ]; then
    mkdir -p "$WINEPREFIX"
    # Serialise the first boot when ctest runs tests in parallel.
    exec 8>"$WINEPREFIX.lock"
    flock 8
    if [ ! -f "$WINEPREFIX/.vn-ready" ]; then
      echo "wine-run: creating Wine prefix $WINEPREFIX (first use, takes a while)" >&2
      WINESERVER=""
      for w in wineserver /usr/lib/wine/wineserver64 wineserver64; do
        if command -v "$w" >/dev/null 2>&1; then WINESERVER=$(command -v "$w"); break; fi
      done
      # Debian's wine64 package ships no wineboot wrapper: run the builtin.
      "$WINE" wineboot -i >/dev/null 2>&1 || true
      if [ -n "$WINESERVER" ]; then "$WINESERVER" -w || true; fi
      touch "$WINEPREFIX/.vn-ready"
    fi
    exec 8>&-
  fi
fi

exec "$WINE" "$@"
