#!/bin/sh
# Registers the Windows driver in a Wine prefix the way an installer
# registers it on Windows, so that ASIO hosts find it:
#   HKLM\SOFTWARE\ASIO\<name>            CLSID, Description
#   HKCR\CLSID\{clsid}\InprocServer32    (default) = library path,
#                                        ThreadingModel = Apartment
#   HKLM\Software\<brand>\<driver id>    (default) = install folder, where
#                                        the driver starts its settings dialog
# Usage:
#   tools/register-wine-driver.sh DLL [--name NAME] [--clsid {GUID}]
#       [--brand BRAND --driver-id ID] [--install-folder DIR] [--view 64|32]
#       [--unregister]
# Defaults are the VEXA driver's. --view 32 registers a 32-bit library in
# the 32-bit registry view, where 32-bit hosts look (default: 64). WINE names the command that runs Windows
# programs (default: cmake/wine-run.sh, whose prefix is the build folder's;
# WINEPREFIX as usual otherwise).
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
WINE=${WINE:-$here/cmake/wine-run.sh}
dll=""; name="VEXA ASIO"; clsid="{b5834147-757e-45ec-9a70-4b8611658929}"
brand=VEXA; driver_id=VEXAASIO; folder=""; unregister=0; view=64
while [ $# -gt 0 ]; do
  case "$1" in
    --name) name=$2; shift 2 ;;
    --clsid) clsid=$2; shift 2 ;;
    --brand) brand=$2; shift 2 ;;
    --driver-id) driver_id=$2; shift 2 ;;
    --install-folder) folder=$2; shift 2 ;;
    --view) view=$2; shift 2 ;;
    --unregister) unregister=1; shift ;;
    -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
    -*) echo "register-wine-driver: unknown option $1" >&2; exit 1 ;;
    *) dll=$1; shift ;;
  esac
done
if [ -z "$dll" ] || [ ! -f "$dll" ]; then
  echo "register-wine-driver: name the driver library (vexaasio.dll); '$dll' is no file" >&2
  exit 1
fi
case "$view" in
  64|32) ;;
  *) echo "register-wine-driver: --view is 64 or 32, not '$view'" >&2; exit 1 ;;
esac
reg() { "$WINE" reg "$@" /reg:"$view" </dev/null >/dev/null; }
if [ "$unregister" = 1 ]; then
  reg delete "HKLM\\SOFTWARE\\ASIO\\$name" /f || true
  reg delete "HKCR\\CLSID\\$clsid" /f || true
  reg delete "HKLM\\Software\\$brand\\$driver_id" /f || true
  exit 0
fi
winpath() { "$WINE" winepath -w "$1" </dev/null 2>/dev/null | tr -d '\r'; }
library=$(winpath "$(cd "$(dirname "$dll")" && pwd)/$(basename "$dll")")
[ -n "$folder" ] || folder=$(dirname "$dll")
if [ ! -d "$folder" ]; then
  echo "register-wine-driver: the install folder $folder does not exist" >&2
  exit 1
fi
install=$(winpath "$(cd "$folder" && pwd)")
reg add "HKLM\\SOFTWARE\\ASIO\\$name" /v CLSID /t REG_SZ /d "$clsid" /f
reg add "HKLM\\SOFTWARE\\ASIO\\$name" /v Description /t REG_SZ /d "$name" /f
reg add "HKCR\\CLSID\\$clsid" /ve /t REG_SZ /d "$name" /f
reg add "HKCR\\CLSID\\$clsid\\InprocServer32" /ve /t REG_SZ /d "$library" /f
reg add "HKCR\\CLSID\\$clsid\\InprocServer32" /v ThreadingModel /t REG_SZ /d Apartment /f
reg add "HKLM\\Software\\$brand\\$driver_id" /ve /t REG_SZ /d "$install" /f
echo "Registered \"$name\" $clsid: $library (install folder $install)"
