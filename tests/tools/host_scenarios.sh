#!/bin/sh
# Runs the console host against the driver in one scenario and checks the
# outcome. Natively RUNNER is "-"; for the Windows build it is the Wine
# runner (cmake/wine-run.sh), and paths handed to the Windows programs are
# converted with winepath.
#   host_scenarios.sh SCENARIO WORKDIR RUNNER HOST [DRIVER ARGUMENTS...]
# Scenarios:
#   stream-bus     two simulated QELM units: sound stream, WAV written
#   stream-nobus   no bus: the device streams on its simulated clock
#   reset-request  a second process signals a settings change while the
#                  host streams: exactly one reset request
#   panel-apply    (Wine) the host streams two simulated units; the driver
#                  starts the real settings dialog from the registered
#                  install folder; PANEL_REMOTE changes a routing and the
#                  buffer length and presses Apply: exactly one reset
#                  request, the host creates the driver anew, and the new
#                  buffer size and channel activity are in effect
set -e
scenario=$1; work=$2; runner=$3; host=$4; shift 4
rm -rf "$work"; mkdir -p "$work"

run() {
  if [ "$runner" = - ]; then "$@"; else "$runner" "$@"; fi
}
# A path as the program run by `run` names it.
native_path() {
  if [ "$runner" = - ]; then echo "$1"; else "$runner" winepath -w "$1" </dev/null 2>/dev/null | tr -d '\r'; fi
}
fail() { echo "FAIL: $*"; exit 1; }

export XDG_CONFIG_HOME="$work/config"
# Natively the driver's named events live here: the host and the process
# that signals it share them, no other program on the machine does.
if [ "$runner" = - ]; then
  export XDG_RUNTIME_DIR="$work/run"
  mkdir -p "$XDG_RUNTIME_DIR"
fi
unset KSASIO_SIM_BUS

case "$scenario" in
  stream-bus)
    printf 'QELM serial=SCEN-A1 port=4 layout=4+4\nQELM serial=SCEN-B2 port=5 layout=8+2\n' >"$work/bus.txt"
    KSASIO_SIM_BUS=$(native_path "$work/bus.txt") run "$host" "$@" --seconds 2 --wav "$(native_path "$work/in.wav")" \
      --inputs 0-3 </dev/null >"$work/out.txt" 2>&1 || { cat "$work/out.txt"; fail "host exit status $?"; }
    cat "$work/out.txt"
    grep -q "Result: sound" "$work/out.txt" || fail "stream not sound"
    grep -q "  0  In 1 .*active" "$work/out.txt" || fail "input 0 not active with units on the bus"
    [ -s "$work/in.wav" ] || fail "no WAV file"
    grep -q "input  0: peak" "$work/out.txt" || fail "input 0 carried no signal"
    ;;
  stream-nobus)
    run "$host" "$@" --seconds 1 </dev/null >"$work/out.txt" 2>&1 || { cat "$work/out.txt"; fail "host exit status"; }
    cat "$work/out.txt"
    grep -q "Result: sound" "$work/out.txt" || fail "stream not sound"
    ;;
  reset-request)
    run "$host" "$@" --seconds 8 --tone none --expect-resets 1 </dev/null >"$work/out.txt" 2>&1 &
    pid=$!
    # The host's driver creates the event when it is loaded; signal once
    # it exists. A signal before the stream starts is kept for it.
    tries=0
    until run "$host" --notify-settings-changed </dev/null >"$work/notify.txt" 2>&1; do
      tries=$((tries + 1))
      [ $tries -lt 100 ] || { kill $pid 2>/dev/null; cat "$work/notify.txt"; fail "event never appeared"; }
      sleep 0.1
    done
    status=0
    wait $pid || status=$?
    cat "$work/out.txt"
    [ $status = 0 ] || fail "host exit status $status"
    grep -q "Reset requests: 1;" "$work/out.txt" || fail "not exactly one reset request"
    ;;
  panel-apply)
    [ -n "$PANEL_REMOTE" ] || fail "PANEL_REMOTE not set"
    [ "$runner" != - ] || fail "panel-apply runs under Wine only"
    printf 'QELM serial=QELM-A001 port=1 layout=4+4\nQELM serial=QELM-B002 port=2 layout=8+2\n' >"$work/bus.txt"
    # The driver, the dialog it starts and the remote see the same bus; the
    # dialog polls it often.
    KSASIO_SIM_BUS=$(native_path "$work/bus.txt")
    KSASIO_POLL_INTERVAL_MS=100
    export KSASIO_SIM_BUS KSASIO_POLL_INTERVAL_MS
    forget() { run reg delete 'HKCU\Software\VEXA' /f </dev/null >/dev/null 2>&1 || true; }
    forget
    run "$host" "$@" --seconds 60 --seconds-after-reset 1 --tone none --expect-resets 1 </dev/null \
      >"$work/out.txt" 2>&1 &
    pid=$!
    tries=0
    until grep -q "^Streaming" "$work/out.txt"; do
      tries=$((tries + 1))
      [ $tries -lt 300 ] && kill -0 $pid 2>/dev/null || { cat "$work/out.txt"; fail "the host did not stream"; }
      sleep 0.1
    done
    run "$host" "$@" --control-panel </dev/null >"$work/panel.txt" 2>&1 || { cat "$work/panel.txt"; fail "controlPanel"; }
    # Unit B ("8 in - 2 out") is rows 4 to 8; row 8 is its "Master rec".
    # Its right channel goes to ASIO input 8, the buffer to step 8 (10 ms).
    run "$PANEL_REMOTE" attach 30 wait-rows 9 20 print-rows select 8 wait-routing 8 10 choose 1015 8 slider 8 \
      wait-enabled 3 yes 5 press 3 wait-enabled 3 no 10 press 2 wait-closed 10 </dev/null >"$work/remote.txt" 2>&1 \
      || { cat "$work/remote.txt"; kill $pid 2>/dev/null; fail "driving the dialog"; }
    status=0
    wait $pid || status=$?
    forget
    cat "$work/remote.txt" "$work/out.txt"
    [ $status = 0 ] || fail "host exit status $status"
    grep -q "Reset requests: 1;" "$work/out.txt" || fail "no reset request"
    sed -n '1,/^Reset requested/p' "$work/out.txt" >"$work/before.txt"
    sed -n '/^Reset requested/,$p' "$work/out.txt" >"$work/after.txt"
    [ -s "$work/after.txt" ] || fail "the driver was not created anew"
    grep -q "preferred 265," "$work/before.txt" || fail "the first driver did not report 6 ms"
    grep -q "    7  In 8 .*inactive" "$work/before.txt" || fail "input 8 was active before"
    grep -q "preferred 441," "$work/after.txt" || fail "the new buffer length is not in effect"
    grep -q "^Streaming .* with 441-sample buffers" "$work/after.txt" || fail "the stream did not use 441 samples"
    grep -q "    7  In 8 .* active" "$work/after.txt" || fail "input 8 is not active after the change"
    grep -q "^Result: sound" "$work/out.txt" || fail "the run was not sound"
    ;;
  *) fail "unknown scenario $scenario" ;;
esac
echo "PASS: $scenario"
