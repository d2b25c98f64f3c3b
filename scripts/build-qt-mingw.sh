#!/bin/bash
# Cross-builds Qt 6 (qtbase: Core, Gui, Widgets, Network) for 64-bit Windows with the MinGW-w64
# posix toolchain, from the source Debian ships of the very Qt it packages (qt6-base), using
# Debian's host tools of the same version (moc, rcc, uic). Nothing is fetched from anywhere
# but Debian's own archive. The result goes to a cache folder outside the repository, once:
# a second run finds it and ends at once. On two cores it takes about half an hour.
# Usage: scripts/build-qt-mingw.sh [PREFIX]   (default $KESTREL_QT_MINGW or
#        ~/.cache/kestrel/qt6-mingw64)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${1:-${KESTREL_QT_MINGW:-$HOME/.cache/kestrel/qt6-mingw64}}
if [ -f "$prefix/.kestrel-built" ]; then
    echo "build-qt-mingw: Qt for MinGW already in $prefix ($(cat "$prefix/.kestrel-built"))"
    exit 0
fi
bash "$root/scripts/setup-deps.sh" windows
for tool in x86_64-w64-mingw32-g++-posix /usr/lib/qt6/libexec/moc; do
    [ -x "$(command -v "$tool" || echo "$tool")" ] || { echo "build-qt-mingw: $tool missing" >&2; exit 1; }
done
version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
start=$(date +%s)
# The work folder stays until the install is done, so a run cut short goes on where it stopped.
work=$prefix.work
mkdir -p "$work"
cd "$work"
# The source of the installed qt6-base-dev, from Debian's source archive.
if ! ls /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null |
        xargs grep -qs '^Types:.*deb-src\|^deb-src'; then
    cat >/etc/apt/sources.list.d/kestrel-deb-src.sources <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    apt-get update -q
fi
ls qt6-base_*.orig.tar.xz >/dev/null 2>&1 || apt-get source -q --download-only "qt6-base=$version"
src=$(find . -maxdepth 1 -type d -name 'qtbase*' | head -1)
if [ -z "$src" ]; then
    tar xf qt6-base_*.orig.tar.xz
    src=$(find . -maxdepth 1 -type d -name 'qtbase*' | head -1)
fi
# The compilers are the posix-thread ones. Debian's source leaves out the Wintab header, so
# there are no tablet events.
cmake -S "$src" -B build -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-libraries.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_dbus=OFF -DFEATURE_sql=OFF \
    -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_testlib=OFF \
    -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF -DFEATURE_system_zlib=OFF \
    -DFEATURE_sql_odbc=OFF -DFEATURE_sql_sqlite=OFF -DFEATURE_openssl=OFF \
    -DFEATURE_pkg_config=OFF -DFEATURE_tabletevent=OFF
cmake --build build -j "$(nproc)"
cmake --install build
echo "qt6-base $version, $(($(date +%s) - start)) s" >"$prefix/.kestrel-built"
cd /
rm -rf "$work"
echo "build-qt-mingw: Qt $version for MinGW in $prefix, built in $(($(date +%s) - start)) s"
