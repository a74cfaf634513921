#!/usr/bin/env bash
# Runs a Windows (mingw-w64) build's ctest suite under Wine and Xvfb.
#
#   scripts/run-wine-tests.sh BUILD_DIR [ctest args...]
#
# Installs wine64, xvfb and xauth when missing, boots a fresh Wine prefix in a
# temp dir, runs `ctest --test-dir BUILD_DIR --output-on-failure [args]` under
# `xvfb-run -a` with it (tests go through scripts/wine-run.sh, the toolchain's
# emulator), then stops wineserver and removes the prefix, also on error or
# interrupt. Exit status: ctest's.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [ctest args...]" >&2
  exit 2
fi
BUILD_DIR=$1; shift
[ -d "$BUILD_DIR" ] || { echo "run-wine-tests: no build dir $BUILD_DIR" >&2; exit 2; }

log() { echo "[run-wine-tests] $*" >&2; }

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

missing=()
for p in wine64 xvfb xauth; do
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]}"
  if ! $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2; then
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
  fi
fi

# Debian's wine64 package puts its binaries in /usr/lib/wine only.
find_tool() {
  local t
  for t in "$@"; do
    if command -v "$t" >/dev/null 2>&1; then command -v "$t"; return 0; fi
  done
  echo "run-wine-tests: none of $* found" >&2
  exit 1
}
WINE=$(find_tool wine64 /usr/lib/wine/wine64 wine)
WINESERVER=$(find_tool wineserver /usr/lib/wine/wineserver64 wineserver64)

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64
WINE_TMP=$(mktemp -d "${TMPDIR:-/tmp}/vn-wine-tests.XXXXXX")
export WINEPREFIX="$WINE_TMP/prefix"

cleanup() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -w >/dev/null 2>&1 || true
  # wineserver leaves its socket dir as /tmp/wine-XXXXXX/server-<dev>-<inode>.
  if [ -d "$WINEPREFIX" ]; then
    local name d
    name=$(printf 'server-%s-%x' "$(stat -c %D "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
    for d in /tmp/wine-*/"$name"; do
      [ -d "$d" ] || continue
      rm -rf "$d"
      rmdir "$(dirname "$d")" 2>/dev/null || true
    done
  fi
  rm -rf "$WINE_TMP"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

log "booting Wine prefix $WINEPREFIX"
t0=$SECONDS
"$WINE" wineboot -i >/dev/null 2>&1 || { log "wineboot failed"; exit 1; }
"$WINESERVER" -w
log "Wine prefix ready in $((SECONDS - t0)) s"

# Inside the Xvfb session: first start a persistent wineserver and Wine's
# background processes (services, explorer for the desktop) with their output
# on /dev/null. Otherwise every test's first Wine process starts them with the
# test's output pipe inherited, and ctest waits ~1.6 s per test for them to go
# away (or forever, were the server persistent). Warm, a test exe starts in
# ~0.1 s. Then ctest.
rc=0
xvfb-run -a bash -c '
  "$1" -p </dev/null >/dev/null 2>&1
  "$2" rundll32 user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true
  build_dir=$3
  shift 3
  exec ctest --test-dir "$build_dir" --output-on-failure "$@"
' run-wine-tests "$WINESERVER" "$WINE" "$BUILD_DIR" "$@" || rc=$?
exit "$rc"
