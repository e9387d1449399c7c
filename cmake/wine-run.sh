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

# One prefix per build folder, unless KSASIO_WINEPREFIX names another one
# (the installer tests keep a prefix of their own).
if [ -z "${KSASIO_WINEPREFIX:-}" ]; then
  KSASIO_WINEPREFIX=${CTEST_BINARY_DIR:-$PWD}/wineprefix
  # CTest runs tests from their build folder; find the top of the build tree.
  dir=$PWD
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ -f "$dir/CMakeCache.txt" ] && KSASIO_WINEPREFIX=$dir/wineprefix
fi
export WINEPREFIX=$KSASIO_WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

# Windows with windows need an X display from the moment the Wine server
# starts (its desktop process picks the display driver once). Without one,
# --start-server starts Xvfb and notes its display beside the prefix; every
# later run uses it, and --stop-server ends it.
DISPLAY_STATE=$WINEPREFIX.display
use_display() {
  [ -n "${DISPLAY:-}" ] && return 0
  [ -f "$DISPLAY_STATE" ] || return 0
  read -r number pid <"$DISPLAY_STATE" || return 0
  kill -0 "$pid" 2>/dev/null && export DISPLAY=":$number"
  return 0
}
start_display() {
  use_display
  [ -n "${DISPLAY:-}" ] && return 0
  command -v Xvfb >/dev/null 2>&1 || return 0
  ready=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$ready" </dev/null >/dev/null 2>&1 &
  pid=$!
  tries=0
  while [ ! -s "$ready" ] && [ $tries -lt 100 ] && kill -0 $pid 2>/dev/null; do sleep 0.1; tries=$((tries + 1)); done
  if [ -s "$ready" ]; then
    echo "$(tr -d '\n' <"$ready") $pid" >"$DISPLAY_STATE"
    use_display
  fi
  rm -f "$ready"
}
stop_display() {
  [ -f "$DISPLAY_STATE" ] || return 0
  read -r number pid <"$DISPLAY_STATE" && kill "$pid" 2>/dev/null
  rm -f "$DISPLAY_STATE"
}

# Tests started in parallel must not create the prefix twice at once: two
# concurrent wineboots can leave a process waiting forever.
init_prefix() {
  [ -f "$WINEPREFIX/.ksasio-ready" ] && return 0
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.ksasio-ready" ]; then
      "$WINE_LOADER" wineboot --init </dev/null >/dev/null 2>&1 || true
      # A program that crashes must end (and fail its test), not wait for
      # someone to close the debugger's crash window on the display.
      "$WINE_LOADER" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
        </dev/null >/dev/null 2>&1 || true
      "$WINESERVER" -w || true
      touch "$WINEPREFIX/.ksasio-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
}

# Wine's own fonts (Debian's fonts-wine: Tahoma, which "MS Shell Dlg" maps
# to, and Marlett for the caption buttons) are only found in the prefix's
# Fonts folder; without them dialogs fall back to a wider font.
install_fonts() {
  fonts=$WINEPREFIX/drive_c/windows/Fonts
  [ -d "$fonts" ] && [ -d /usr/share/wine/fonts ] || return 0
  for font in /usr/share/wine/fonts/*.ttf; do
    [ -f "$font" ] && [ ! -f "$fonts/${font##*/}" ] && cp "$font" "$fonts/" 2>/dev/null
  done
  return 0
}

case "$1" in
  --require-32bit)
    # The 64-bit loader hands 32-bit programs to the 32-bit one beside it.
    [ -x "$(dirname "$WINE_LOADER")/wine" ] && exit 0
    echo "wine-run: 32-bit Windows programs need Debian's wine32:i386 (dpkg --add-architecture i386; apt-get update; apt-get install wine32:i386)" >&2
    exit 127 ;;
  --start-server)
    # The server outlives this script: keep it off CTest's output pipe, or
    # CTest waits for the pipe to close. A server already running is fine.
    init_prefix </dev/null >/dev/null 2>&1
    install_fonts
    start_display
    "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
    # The first program of a server session starts Wine's own services, which
    # would inherit the pipe of whichever test ran first: start them here.
    "$WINE_LOADER" cmd /c exit </dev/null >/dev/null 2>&1 || true
    exit 0 ;;
  --stop-server)
    "$WINESERVER" -k 2>/dev/null || true
    stop_display
    exit 0 ;;
  --prefix)
    echo "$WINEPREFIX"; exit 0 ;;
esac
init_prefix
use_display
exec "$WINE_LOADER" "$@"
