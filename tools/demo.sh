#!/bin/sh
# The driver at work without hardware: builds the driver library and the
# console host (native release build in build/demo), puts two simulated
# QELM controllers on a simulated device bus, gives them settings that
# route their channels apart, streams a few seconds with a test tone and
# records every input into build/demo/run/capture.wav. The controllers run
# in loopback: each records what it plays, so the file holds the tone.
#   tools/demo.sh            release build
#   tools/demo.sh debug      debug build (traces with KSASIO_TRACE=1)
#   tools/demo.sh counter    the controllers capture their test counter instead
#   SECONDS_TO_STREAM=10 tools/demo.sh
#   tools/demo.sh panel      the settings dialog under Wine, with a screenshot
#                            (tools/demo-panel.sh)
set -e
cd "$(dirname "$0")/.."
[ "${1:-}" = panel ] && exec sh tools/demo-panel.sh
TYPE=Release
SIGNAL=loopback
for argument in "$@"; do
  case $argument in
    debug) TYPE=Debug ;;
    counter) SIGNAL=counter ;;
    *) echo "usage: tools/demo.sh [debug] [counter]" >&2; exit 1 ;;
  esac
done
# What the simulated hardware adds between playing and recording, in frames.
LOOPBACK="loopback=64"
[ "$SIGNAL" = counter ] && LOOPBACK=""
BUILD=build/demo
[ "$TYPE" = Debug ] && BUILD=build/demo-debug
RUN=$PWD/$BUILD/run

sh tools/prerequisites.sh native
echo "=== Building the driver and the console host ($TYPE, $BUILD)"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=$TYPE -DBUILD_TESTING=OFF >/dev/null
cmake --build "$BUILD" --target ksasio_driver_library asio_host -j "${JOBS:-2}" >/dev/null
DRIVER=$(ls "$BUILD"/driver/*asio.so | head -n 1)

rm -rf "$RUN"
mkdir -p "$RUN/config/ksasio/registry"
# Two controllers: one in its 4 in / 4 out layout, one in 8 out / 2 in.
cat >"$RUN/bus.txt" <<BUS
# Simulated device bus of the demo: one controller per line.
QELM serial=QELM-A001 port=1 layout=4+4 $LOOPBACK
QELM serial=QELM-B002 port=2 layout=8+2 $LOOPBACK
BUS
# The settings the dialog would store: unit A on ASIO inputs 1-4 and
# outputs 1-4, unit B on inputs 5-6 and outputs 5-12, a 6 ms buffer.
{
  echo 'ksasio-settings 1'
  echo 'key :Software'
  echo 'key :Software\VEXA'
  echo 'key :Software\VEXA\VEXAASIO'
  echo 'dword :Buffer%20Size 4'
  echo 'key :Software\VEXA\VEXAASIO\Device%200'
  echo 'sz :SerialNumber :QELM-A001'
  echo 'dword :Type 5'
  echo 'key :Software\VEXA\VEXAASIO\Device%200\Configuration0'
  for c in 0 1 2 3; do echo "dword :Channel$c $c"; done
  for c in 0 1 2 3; do echo "dword :ChannelIn$c $c"; done
  echo 'key :Software\VEXA\VEXAASIO\Device%201'
  echo 'sz :SerialNumber :QELM-B002'
  echo 'dword :Type 5'
  echo 'key :Software\VEXA\VEXAASIO\Device%201\Configuration1'
  for c in 0 1 2 3 4 5 6 7; do echo "dword :Channel$c $((c + 4))"; done
  echo 'dword :ChannelIn0 4'
  echo 'dword :ChannelIn1 5'
  echo 'end'
} >"$RUN/config/ksasio/registry/user.reg"

echo "=== Streaming ${SECONDS_TO_STREAM:-4} s through $DRIVER"
set +e
KSASIO_SIM_BUS="$RUN/bus.txt" XDG_CONFIG_HOME="$RUN/config" \
  "$BUILD/tools/asio_host" --driver "$DRIVER" --seconds "${SECONDS_TO_STREAM:-4}" \
  --tone 0,1 --inputs 0-7 --wav "$RUN/capture.wav"
status=$?
set -e
cat <<'TEXT'

What happened: the driver found both simulated QELM units on the bus,
matched them by serial number to the remembered settings and streamed them
as one 16 in / 16 out device at 44100 Hz, 16 bits. The host played a 440 Hz
tone on outputs 0 and 1 (unit A's first two hardware channels) and recorded
ASIO inputs 0-7 into capture.wav.
TEXT
if [ "$SIGNAL" = loopback ]; then
  cat <<'TEXT'

What you hear: each simulated unit records what it plays (its "Master rec"
input fed from its master output, 64 frames of hardware delay), so the
file is the tone coming back. Channels 1 and 2 of the WAV file (ASIO
inputs 0 and 1, from unit A) carry a steady 440 Hz tone (the A above
middle C) at -12 dBFS; it starts after about 31 ms of silence, the round
trip through the driver (two buffers of 265 frames in, three out, as
getLatencies reports) and the hardware. Channels 3 to 8 are silent:
inputs 2-3 record unit A's outputs 2-3, inputs 4-5 unit B's outputs, and
the host played nothing there; inputs 6-7 are routed from no unit.
(tools/demo.sh counter shows the units' test counter instead.)
TEXT
else
  cat <<'TEXT'

What the WAV file holds: the simulated controllers capture a counter per
hardware channel, not sound: each sample is one more than the one before
(frame + channel x 4096, wrapping at 16 bits). In an audio editor inputs
0-3 (unit A) and inputs 4-5 (unit B) show full-scale sawtooth ramps that
start at 0, 4096, 8192 and 12288 and wrap from the top to the bottom every
65536 frames (about 1.5 s); inputs 6 and 7 are routed from no unit and
stay flat. Played back, the ramps are far below hearing: you hear silence
broken by a loud click at every wrap, about every 1.5 s. The first 265
frames (one buffer) are silence, before the first captured packet.
TEXT
fi
echo "WAV file: $RUN/capture.wav"
exit $status
