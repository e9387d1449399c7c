#!/bin/sh
# Runs a Windows program under Wine for CTest.
# The Wine prefix lives in the build folder (created on first use), so a test
# run never touches the user's own ~/.wine. --start-server / --stop-server keep
# one persistent wineserver alive for the whole test run.
set -e
WINE_LOADER=${WINE_LOADER:-}
for candidate in "$WINE_LOADER" /usr/lib/wine/wine64 /usr/lib/x86_64-linux-gnu/wine/wine64 "$(command -v wine64 || true)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then WINE_LOADER=$candidate; break; fi
done
if [ -z "$WINE_LOADER" ] || [ ! -x "$WINE_LOADER" ]; then
  echo "wine-run: no wine64 loader found (install Debian's wine64 package)" >&2
  exit 127
fi
WINESERVER=$(dirname "$WINE_LOADER")/wineserver
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver || echo wineserver)

: "${KSASIO_WINEPREFIX:=${CTEST_BINARY_DIR:-$PWD}/wineprefix}"
# CTest runs tests from their build folder; find the top of the build tree.
dir=$PWD
while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
[ -f "$dir/CMakeCache.txt" ] && KSASIO_WINEPREFIX=$dir/wineprefix
export WINEPREFIX=$KSASIO_WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

# Tests started in parallel must not create the prefix twice at once: two
# concurrent wineboots can leave a process waiting forever.
init_prefix() {
  [ -f "$WINEPREFIX/.ksasio-ready" ] && return 0
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.ksasio-ready" ]; then
      "$WINE_LOADER" wineboot --init </dev/null >/dev/null 2>&1 || true
      "$WINESERVER" -w || true
      touch "$WINEPREFIX/.ksasio-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
}

case "$1" in
  --start-server)
    # The server outlives this script: keep it off CTest's output pipe, or
    # CTest waits for the pipe to close. A server already running is fine.
    init_prefix </dev/null >/dev/null 2>&1
    "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
    # The first program of a server session starts Wine's own services, which
    # would inherit the pipe of whichever test ran first: start them here.
    "$WINE_LOADER" cmd /c exit </dev/null >/dev/null 2>&1 || true
    exit 0 ;;
  --stop-server)
    "$WINESERVER" -k 2>/dev/null || true
    exit 0 ;;
  --prefix)
    echo "$WINEPREFIX"; exit 0 ;;
esac
init_prefix
exec "$WINE_LOADER" "$@"
