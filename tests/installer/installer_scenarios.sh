#!/bin/sh
# The installer under Wine, as a user and an administrator meet it, in a
# Wine prefix of its own (never the build's, where the other tests register
# the driver by hand). Each scenario is one CTest entry; they run in this
# order and share the prefix:
#   prefix        a fresh prefix with its own persistent wineserver
#   install       silent install; every file and key in both registry views
#   hosts         the 64-bit and the 32-bit console host find the driver by
#                 name through CoCreateInstance and stream, with simulated
#                 units and without; controlPanel starts the installed dialog
#   refusals      controlPanel with a broken install folder value or no
#                 dialog program, in both bitnesses: ASE_NotPresent, no text
#   in-use        setup and uninstaller refuse while a host holds the driver
#                 and change nothing; so does an uninstaller on another folder
#   uninstall     removes its files and keys; settings, other drivers and
#                 the user's own files stay
#   upgrade       an older version upgraded in place, then moved, then removed
#   stop          ends the prefix's wineserver
#   installer_scenarios.sh SCENARIO CONFIG WORKDIR
# CONFIG (written by CMake) names the programs, the built files and the
# brand's names; RUNNER is cmake/wine-run.sh.
set -e
scenario=$1
. "$2"
work=$3/$scenario
rm -rf "$work"
mkdir -p "$work"
export KSASIO_WINEPREFIX="$PREFIX"
unset KSASIO_SIM_BUS

fail() { echo "FAIL: $*"; exit 1; }
# Polls COMMAND every 0.1 s, at most 30 s; fails with MESSAGE.
wait_until() {  # MESSAGE COMMAND...
  message=$1; shift
  tries=0
  until "$@"; do
    tries=$((tries + 1))
    [ $tries -lt 300 ] || fail "$message"
    sleep 0.1
  done
}
wine() { "$RUNNER" "$@" </dev/null; }
winpath() { wine winepath -w "$1" 2>/dev/null | tr -d '\r'; }

default_folder='C:\Program Files'"\\$BRAND_NAME"
drive_c=$PREFIX/drive_c
# The Unix path of a folder below C:\.
unix_folder() { echo "$drive_c/$(echo "$1" | sed 's/^C:\\//; s/\\/\//g')"; }
shortcut="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/$BRAND_NAME/ASIO Settings.lnk"

install_key="HKLM\\Software\\$BRAND_NAME\\$DRIVER_ID"
asio_key="HKLM\\Software\\ASIO\\$ASIO_NAME"
class_key="HKCR\\CLSID\\$CLASS_ID"
program_key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$DRIVER_ID"
settings_key="HKCU\\Software\\$BRAND_NAME\\$DRIVER_ID"

# The values of one key in one view ("NAME TYPE DATA" lines; the default
# value is "(Default)"); fails when the key is absent.
key_values() {
  wine reg query "$2" /reg:"$1" 2>/dev/null | tr -d '\r' | sed -n 's/^    \([^ ].*\)    \(REG_[A-Z_]*\)    \(.*\)$/\1 \2 \3/p; s/^    \([^ ].*\)    \(REG_[A-Z_]*\)$/\1 \2 /p'
  wine reg query "$2" /reg:"$1" >/dev/null 2>&1
}
# expect_values VIEW KEY "NAME TYPE DATA"...
expect_values() {
  view=$1; key=$2; shift 2
  values=$(key_values "$view" "$key") || fail "$key is missing in the $view-bit view"
  for line in "$@"; do
    printf '%s\n' "$values" | grep -qxF "$line" || { printf '%s\n' "$values"; fail "$key ($view-bit view) has no '$line'"; }
  done
}
expect_no_key() {
  ! wine reg query "$2" /reg:"$1" >/dev/null 2>&1 || fail "$2 is still there in the $1-bit view"
}

# Runs setup or the uninstaller and checks its exit code.
run_setup() {  # EXPECTED SETUP ARGUMENTS...
  expected=$1; shift
  status=0
  wine "$@" >"$work/setup.txt" 2>&1 || status=$?
  [ "$status" = "$expected" ] || { cat "$work/setup.txt"; fail "$* exited with $status, not $expected"; }
}
# /D= and _?= must come last and unquoted, even with spaces in the folder,
# which Wine would quote when it builds the command line from separate
# arguments: cmd starts the program with its command line as given (the
# folder split on purpose) and waits for it.
run_with_folder() {  # EXPECTED PROGRAM OPTION FOLDER: PROGRAM /S OPTION=FOLDER
  # shellcheck disable=SC2086
  run_setup "$1" cmd /c "$2" /S "$3"=$4
}
# The uninstaller copies itself away and returns at once unless it is told
# its folder with _?=. The copy the test runs stays outside the folder, so
# the real one can be removed.
run_uninstaller() {  # EXPECTED FOLDER
  cp "$(unix_folder "$2")/uninstall.exe" "$drive_c/uninstall-copy.exe"
  run_with_folder "$1" 'C:\uninstall-copy.exe' _? "$2"
  rm -f "$drive_c/uninstall-copy.exe"
}

# Every file and key an installation in FOLDER consists of, with VERSION.
check_installed() {  # FOLDER VERSION
  folder=$1; unix=$(unix_folder "$1")
  cmp -s "$unix/$DRIVER_FILE" "$DRIVER64" || fail "$unix/$DRIVER_FILE is not the 64-bit driver of this build"
  cmp -s "$unix/x86/$DRIVER_FILE" "$DRIVER32" || fail "$unix/x86/$DRIVER_FILE is not the 32-bit driver"
  cmp -s "$unix/$DIALOG_FILE" "$DIALOG" || fail "$unix/$DIALOG_FILE is not the dialog"
  [ -f "$unix/uninstall.exe" ] || fail "no uninstaller in $unix"
  length=$(printf '%s' "$folder\\x86\\$DRIVER_FILE" | wc -c)
  [ "$length" -lt 127 ] || fail "the 32-bit library's path has $length characters"
  for view in 64 32; do
    if [ $view = 64 ]; then library="$folder\\$DRIVER_FILE"; else library="$folder\\x86\\$DRIVER_FILE"; fi
    expect_values $view "$install_key" "(Default) REG_SZ $folder"
    expect_values $view "$asio_key" "CLSID REG_SZ $CLASS_ID" "Description REG_SZ $ASIO_NAME"
    expect_values $view "$class_key\\InprocServer32" "(Default) REG_SZ $library" "ThreadingModel REG_SZ Apartment"
  done
  expect_values 64 "$program_key" "DisplayName REG_SZ $DRIVER_DESCRIPTION" "DisplayVersion REG_SZ $2" \
    "Publisher REG_SZ $BRAND_NAME" "UninstallString REG_SZ \"$folder\\uninstall.exe\"" \
    "QuietUninstallString REG_SZ \"$folder\\uninstall.exe\" /S" "InstallLocation REG_SZ $folder"
  [ -f "$shortcut" ] || fail "no Start-menu entry $shortcut"
  grep -qaF "$folder\\$DIALOG_FILE" "$shortcut" || fail "the Start-menu entry does not start $folder\\$DIALOG_FILE"
}
check_removed() {  # FOLDER
  unix=$(unix_folder "$1")
  for file in "$DRIVER_FILE" "x86/$DRIVER_FILE" "$DIALOG_FILE" uninstall.exe x86; do
    [ ! -e "$unix/$file" ] || fail "$unix/$file is still there"
  done
  [ ! -e "$shortcut" ] || fail "the Start-menu entry is still there"
  [ ! -e "$(dirname "$shortcut")" ] || fail "the Start-menu folder is still there"
  for view in 64 32; do
    expect_no_key $view "$install_key"
    expect_no_key $view "$asio_key"
    expect_no_key $view "$class_key"
  done
  expect_no_key 64 "$program_key"
}

# Starts a host that streams for a while and holds the driver; returns once
# it streams. hold_end waits for it and checks that its stream stayed sound.
hold_start() {  # HOST
  "$RUNNER" "$1" --name "$ASIO_NAME" --seconds 8 --tone none </dev/null >"$work/holder.txt" 2>&1 &
  holder=$!
  wait_until "the host never started streaming" grep -q "^Streaming" "$work/holder.txt"
}
hold_end() {
  status=0
  wait "$holder" || status=$?
  [ $status = 0 ] && grep -q "Result: sound" "$work/holder.txt" || { cat "$work/holder.txt"; fail "the holding host's stream was disturbed"; }
}
# Everything an installation changes, to compare before and after a refusal.
snapshot() {
  unix=$(unix_folder "$default_folder")
  for file in "$DRIVER_FILE" "x86/$DRIVER_FILE" "$DIALOG_FILE" uninstall.exe; do stat -c '%n %z' "$unix/$file"; done
  for view in 64 32; do
    for key in "$install_key" "$asio_key" "$class_key\\InprocServer32"; do echo "$key $view"; key_values $view "$key"; done
  done
  key_values 64 "$program_key"
}

# The installed dialog is seen running in the prefix's process list, by
# the path it was started from, and ended.
control_panel() {  # HOST: runs --control-panel; the output is in $work/panel.txt
  status=0
  "$RUNNER" "$1" --name "$ASIO_NAME" --control-panel </dev/null >"$work/panel.txt" 2>&1 || status=$?
  return $status
}
dialog_process() {  # the dialog's process id in the prefix, if it runs
  wine wmic process get name,processid 2>/dev/null | tr -d '\000\r' |
    awk -v name="$DIALOG_FILE" 'tolower($1) == tolower(name) { print $2 }'
}
dialog_running() { [ -n "$(dialog_process)" ]; }
dialog_gone() { ! dialog_running; }
end_dialog() { wine taskkill /f /pid "$(dialog_process)" >/dev/null 2>&1 || true; }
expect_dialog_started() {
  wait_until "the installed dialog was not started" dialog_running
  end_dialog
  wait_until "the dialog did not end" dialog_gone
}
expect_refused() {  # HOST WHAT
  ! control_panel "$1" || { cat "$work/panel.txt"; fail "controlPanel started something with $2"; }
  grep -q 'controlPanel: not available (-1000); error text ""' "$work/panel.txt" ||
    { cat "$work/panel.txt"; fail "controlPanel with $2: not ASE_NotPresent with the error text untouched"; }
  ! dialog_running || { end_dialog; fail "a dialog was started with $2"; }
}

case "$scenario" in
  prefix)
    "$RUNNER" --stop-server
    rm -rf "$PREFIX" "$PREFIX.lock"
    "$RUNNER" --start-server
    ;;
  stop)
    "$RUNNER" --stop-server
    ;;
  install)
    # A folder whose library path would pass the hosts' limit: refused
    # before anything is written.
    long='C:\'$(printf '%0120d' 0)
    run_setup 4 "$SETUP" /S "/D=$long"
    [ ! -e "$(unix_folder "$long")" ] || fail "setup created the too-long folder"
    expect_no_key 64 "$install_key"
    expect_no_key 32 "$asio_key"
    run_setup 0 "$SETUP" /S
    check_installed "$default_folder" "$VERSION"
    ;;
  hosts)
    # The simulated units are QELM controllers, which only the VEXA build drives.
    streams=stream-nobus
    [ "$BRAND_NAME" != VEXA ] || streams="stream-bus stream-nobus"
    for bits in 64 32; do
      if [ $bits = 64 ]; then host=$HOST64; else host=$HOST32; fi
      for stream in $streams; do
        sh "$HOST_SCENARIOS" $stream "$work/$bits-$stream" "$RUNNER" "$host" --name "$ASIO_NAME" \
          >"$work/$bits-$stream.txt" 2>&1 || { cat "$work/$bits-$stream.txt"; fail "$bits-bit host, $stream"; }
        grep -q "^Loaded registered driver \"$ASIO_NAME\"" "$work/$bits-$stream.txt" || fail "$bits-bit host did not load by name"
      done
      control_panel "$host" || { cat "$work/panel.txt"; fail "$bits-bit controlPanel refused"; }
      expect_dialog_started
      echo "$bits-bit host: streams with and without units, starts the dialog"
    done
    # The dialog (64-bit) stores the user's settings; both drivers read them.
    default_size=$(grep "^Buffer size:" "$work/64-stream-nobus.txt")
    wine reg add "$settings_key" /v "Buffer Size" /t REG_DWORD /d 8 /f /reg:64 >/dev/null
    for host in "$HOST64" "$HOST32"; do
      wine "$host" --name "$ASIO_NAME" --list >"$work/list.txt" 2>&1 || { cat "$work/list.txt"; fail "--list failed"; }
      size=$(grep "^Buffer size:" "$work/list.txt" | tr -d '\r')
      [ -n "$size" ] && [ "$size" != "$default_size" ] || fail "$host did not take the stored buffer length ($size)"
      [ -z "${stored_size:-}" ] || [ "$size" = "$stored_size" ] || fail "the hosts report $stored_size and $size"
      stored_size=$size
    done
    wine reg delete "$settings_key" /f >/dev/null
    ;;
  refusals)
    dialog="$(unix_folder "$default_folder")/$DIALOG_FILE"
    for bits in 64 32; do
      if [ $bits = 64 ]; then host=$HOST64; else host=$HOST32; fi
      # Each driver reads the install folder from its own view only.
      set_folder() { wine reg add "$install_key" /ve "$@" /f /reg:$bits >/dev/null; }
      wine reg delete "$install_key" /ve /f /reg:$bits >/dev/null
      expect_refused "$host" "no install folder value"
      set_folder /d ""
      expect_refused "$host" "an empty install folder"
      set_folder /t REG_DWORD /d 7
      expect_refused "$host" "a number for the install folder"
      set_folder /d "C:\\$(printf '%0600d' 0)"
      expect_refused "$host" "an install folder longer than a path"
      set_folder /d "$default_folder"
      mv "$dialog" "$dialog.away"
      expect_refused "$host" "no dialog program"
      mv "$dialog.away" "$dialog"
      echo "$bits-bit driver: every refusal is ASE_NotPresent with the error text untouched"
    done
    check_installed "$default_folder" "$VERSION"
    ;;
  in-use)
    before=$(snapshot)
    hold_start "$HOST64"
    run_setup 3 "$SETUP" /S
    [ "$(snapshot)" = "$before" ] || fail "setup changed the installation while the 64-bit driver was in use"
    hold_end
    hold_start "$HOST32"
    run_uninstaller 3 "$default_folder"
    [ "$(snapshot)" = "$before" ] || fail "the uninstaller changed the installation while the 32-bit driver was in use"
    hold_end
    # An uninstaller started on a folder that holds no installation leaves
    # the real one alone.
    cp "$(unix_folder "$default_folder")/uninstall.exe" "$drive_c/uninstall-copy.exe"
    run_with_folder 2 'C:\uninstall-copy.exe' _? 'C:\users'
    rm -f "$drive_c/uninstall-copy.exe"
    [ "$(snapshot)" = "$before" ] || fail "an uninstaller on another folder changed the installation"
    check_installed "$default_folder" "$VERSION"
    ;;
  uninstall)
    # What is not the installer's: a user's settings, another driver, another
    # program of the brand, a file of the user's in the install folder.
    wine reg add "$settings_key" /v "Buffer Size" /t REG_DWORD /d 5 /f >/dev/null
    other_id="{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}"
    for view in 64 32; do
      wine reg add "HKLM\\Software\\ASIO\\Other ASIO" /v CLSID /d "$other_id" /f /reg:$view >/dev/null
      wine reg add "HKCR\\CLSID\\$other_id\\InprocServer32" /ve /d 'C:\other.dll' /f /reg:$view >/dev/null
    done
    wine reg add "HKLM\\Software\\$BRAND_NAME\\Other" /ve /d kept /f /reg:64 >/dev/null
    echo notes >"$(unix_folder "$default_folder")/notes.txt"
    run_uninstaller 0 "$default_folder"
    check_removed "$default_folder"
    [ -f "$(unix_folder "$default_folder")/notes.txt" ] || fail "the user's own file went"
    expect_values 64 "$settings_key" "Buffer Size REG_DWORD 0x5"
    for view in 64 32; do
      expect_values $view "HKLM\\Software\\ASIO\\Other ASIO" "CLSID REG_SZ $other_id"
      expect_values $view "HKCR\\CLSID\\$other_id\\InprocServer32" '(Default) REG_SZ C:\other.dll'
    done
    expect_values 64 "HKLM\\Software\\$BRAND_NAME\\Other" "(Default) REG_SZ kept"
    rm -rf "$(unix_folder "$default_folder")"
    for view in 64 32; do
      wine reg delete "HKLM\\Software\\ASIO\\Other ASIO" /f /reg:$view >/dev/null
      wine reg delete "HKCR\\CLSID\\$other_id" /f /reg:$view >/dev/null
    done
    wine reg delete "HKLM\\Software\\$BRAND_NAME" /f /reg:64 >/dev/null
    ;;
  upgrade)
    old_folder='C:\Audio\'"$BRAND_NAME"
    run_setup 0 "$PREVIOUS_SETUP" /S "/D=$old_folder"
    expect_values 64 "$program_key" "DisplayVersion REG_SZ $PREVIOUS_VERSION"
    wine reg add "$settings_key" /v "Buffer Size" /t REG_DWORD /d 6 /f >/dev/null
    old_time=$(stat -c %z "$(unix_folder "$old_folder")/$DRIVER_FILE")
    # Without a folder, setup upgrades the installation where it is.
    run_setup 0 "$SETUP" /S
    check_installed "$old_folder" "$VERSION"
    [ "$(stat -c %z "$(unix_folder "$old_folder")/$DRIVER_FILE")" != "$old_time" ] || fail "the upgrade kept the old driver file"
    [ ! -e "$(unix_folder "$default_folder")" ] || fail "the upgrade installed a second copy"
    expect_values 64 "$settings_key" "Buffer Size REG_DWORD 0x6"
    for host in "$HOST64" "$HOST32"; do
      sh "$HOST_SCENARIOS" stream-nobus "$work/stream" "$RUNNER" "$host" --name "$ASIO_NAME" >"$work/stream.txt" 2>&1 ||
        { cat "$work/stream.txt"; fail "no stream after the upgrade"; }
    done
    # Into another folder: the old one goes.
    run_with_folder 0 "$(winpath "$SETUP")" /D "$default_folder"
    check_installed "$default_folder" "$VERSION"
    [ ! -e "$(unix_folder "$old_folder")" ] || fail "moving the installation left $old_folder behind"
    run_uninstaller 0 "$default_folder"
    check_removed "$default_folder"
    [ ! -e "$(unix_folder "$default_folder")" ] || fail "the install folder is still there"
    expect_no_key 64 "HKLM\\Software\\$BRAND_NAME"
    expect_no_key 32 "HKLM\\Software\\$BRAND_NAME"
    expect_values 64 "$settings_key" "Buffer Size REG_DWORD 0x6"
    ;;
  *) fail "unknown scenario $scenario" ;;
esac
echo "PASS: installer $scenario"
