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
#   control-panel  the driver starts the program registered as its dialog
#                  (STAND_IN names it; the install folder must be registered)
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
  control-panel)
    [ -n "$INSTALL_FOLDER" ] || fail "INSTALL_FOLDER not set"
    rm -f "$INSTALL_FOLDER/started.txt"
    run "$host" "$@" --control-panel </dev/null >"$work/out.txt" 2>&1 || { cat "$work/out.txt"; fail "host exit status"; }
    cat "$work/out.txt"
    tries=0
    until [ -s "$INSTALL_FOLDER/started.txt" ]; do
      tries=$((tries + 1))
      [ $tries -lt 300 ] || fail "the dialog stand-in was not started"
      sleep 0.1
    done
    grep -qi "vexaasioconfig.exe\|orloasioconfig.exe" "$INSTALL_FOLDER/started.txt" || fail "wrong program started"
    ;;
  *) fail "unknown scenario $scenario" ;;
esac
echo "PASS: $scenario"
