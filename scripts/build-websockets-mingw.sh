#!/bin/bash
# Cross-builds Qt WebSockets for 64-bit Windows with MinGW-w64, from the source Debian ships of
# the very version it packages (qt6-websockets), against the Windows Qt of
# scripts/build-qt-mingw.sh, into the same cache folder, once. The broker source of
# kestrel-feed.exe needs it. Nothing is fetched but Debian's own source package.
# Usage: scripts/build-websockets-mingw.sh [PREFIX]   (default as scripts/build-qt-mingw.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${1:-${KESTREL_QT_MINGW:-$HOME/.cache/kestrel/qt6-mingw64}}
if [ -f "$prefix/lib/cmake/Qt6WebSockets/Qt6WebSocketsConfig.cmake" ]; then
    echo "build-websockets-mingw: Qt WebSockets for MinGW already in $prefix"
    exit 0
fi
[ -f "$prefix/.kestrel-built" ] && [ -f "$prefix/lib/cmake/Qt6/qt.toolchain.cmake" ] ||
    { echo "build-websockets-mingw: no Windows Qt in $prefix (scripts/build-qt-mingw.sh builds it)" >&2; exit 1; }
version=$(dpkg-query -W -f='${Version}' qt6-websockets-dev)
start=$(date +%s)
work=$(mktemp -d /tmp/kestrel-websockets-mingw.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
apt-get source -q --download-only "qt6-websockets=$version"
tar xf qt6-websockets_*.orig.tar.xz
src=$(find . -maxdepth 1 -type d -name 'qtwebsockets*' | head -1)
# A module built outside qtbase's tree goes through the toolchain file the Windows Qt installed
# (qt.toolchain.cmake): it loads ours and adds the Qt prefix to the paths a cross build may
# search, which ours alone (rooted at /usr/x86_64-w64-mingw32) would not look in. The Qt Quick
# parts are left out by themselves: there is no Qt Quick in the prefix. TLS is what the Windows
# Qt Network has, and plain ws:// is all the feed uses.
cmake -S "$src" -B build -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$prefix/lib/cmake/Qt6/qt.toolchain.cmake" \
    -DQT_CHAINLOAD_TOOLCHAIN_FILE="$root/cmake/mingw-w64-libraries.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
cmake --build build -j "$(nproc)"
cmake --install build
echo "build-websockets-mingw: Qt WebSockets $version for MinGW in $prefix, built in $(($(date +%s) - start)) s"
