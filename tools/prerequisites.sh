#!/bin/sh
# Installs the Debian packages the builds and tests need, when any is missing.
# Safe to run repeatedly; does nothing when everything is there.
#   tools/prerequisites.sh          everything the tests need
#   tools/prerequisites.sh native   only what a native build of the programs needs
#   tools/prerequisites.sh dialog   what the settings dialog's demo needs (Windows build, Wine, Xvfb)
set -e
if [ "${1:-}" = native ]; then
  PACKAGES="cmake ninja-build g++"
elif [ "${1:-}" = dialog ]; then
  PACKAGES="cmake ninja-build g++ g++-mingw-w64-x86-64 mingw-w64-x86-64-dev wine64 fonts-wine xvfb"
else
  PACKAGES="cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev googletest libbenchmark-dev pkg-config \
g++-mingw-w64-x86-64 mingw-w64-x86-64-dev g++-mingw-w64-i686 mingw-w64-i686-dev wine64 wine32:i386 nsis \
fonts-wine xvfb libspeexdsp-dev libsoxr-dev valgrind"
fi
missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
# The 32-bit driver's tests run on Debian's 32-bit Wine, an i386 package.
case "$missing" in
  *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386 ;;
esac
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
