#!/bin/sh
# The settings dialog at work without hardware: builds the Windows programs
# (mingw-w64, in build/demo-windows), opens vexaasioconfig.exe under Wine
# with two simulated QELM units on a bus file, selects unit B's "Master rec"
# row so that its routing drop-downs show, and saves a screenshot in
# build/demo-windows/panel.png. Without an X display it runs on Xvfb and
# closes the dialog after the screenshot; with one, the dialog stays open
# until you close it.
#   tools/demo.sh panel
set -e
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build/demo-windows
RUN=$BUILD/run
WINE="sh $ROOT/cmake/wine-run.sh"

sh tools/prerequisites.sh dialog
echo "=== Building the settings dialog and its remote for Windows ($BUILD)"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build "$BUILD" --target ksasio_panel_program panel_remote -j "${JOBS:-2}" >/dev/null

rm -rf "$RUN"
mkdir -p "$RUN"
cat >"$RUN/bus.txt" <<'BUS'
# Simulated device bus of the dialog demo: one controller per line.
QELM serial=QELM-A001 port=1 layout=4+4
QELM serial=QELM-B002 port=2 layout=8+2
BUS
cd "$BUILD"
had_display=${DISPLAY:-}
echo "=== Starting Wine (the first start of a new prefix takes a while)"
$WINE --start-server
trap '$WINE --stop-server' EXIT
# Wine draws the dialog's own frame, so the screenshot shows its caption.
$WINE reg add 'HKCU\Software\Wine\AppDefaults\vexaasioconfig.exe\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
# A fresh start: no remembered units.
$WINE reg delete 'HKCU\Software\VEXA' /f >/dev/null 2>&1 || true
KSASIO_SIM_BUS='Z:'$(echo "$RUN/bus.txt" | tr / '\\') KSASIO_POLL_INTERVAL_MS=200 \
  $WINE panel/vexaasioconfig.exe </dev/null >/dev/null 2>&1 &
dialog=$!
shot='Z:'$(echo "$BUILD/panel.png" | tr / '\\')
echo "=== Opening the dialog, selecting unit B's \"Master rec\" row, taking the screenshot"
$WINE tools/panel_remote.exe attach 60 wait-rows 9 20 print-rows select 8 wait-routing 8 10 screenshot "$shot"
if [ -n "$had_display" ]; then
  echo "The dialog is open on your display: change the routing, move the slider, press OK or Cancel."
else
  $WINE tools/panel_remote.exe attach 5 press 2 wait-closed 10 >/dev/null
fi
wait $dialog || true
echo "Screenshot: $BUILD/panel.png"
