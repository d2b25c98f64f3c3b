#!/bin/bash
# Cross-builds libjpeg (Debian's libjpeg-turbo source, the library the splash is decoded with on
# Linux) as a static library for 64-bit Windows with MinGW-w64, into the same cache folder as the
# Windows Qt, once. Nothing is fetched but Debian's own source package.
# Usage: scripts/build-jpeg-mingw.sh [PREFIX]   (default as scripts/build-qt-mingw.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${1:-${KESTREL_QT_MINGW:-$HOME/.cache/kestrel/qt6-mingw64}}
if [ -f "$prefix/lib/libjpeg.a" ]; then
    echo "build-jpeg-mingw: libjpeg for MinGW already in $prefix"
    exit 0
fi
version=$(dpkg-query -W -f='${Version}' libjpeg62-turbo-dev)
work=$(mktemp -d /tmp/kestrel-jpeg-mingw.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
apt-get source -q --download-only "libjpeg-turbo=$version"
tar xf libjpeg-turbo_*.orig.tar.gz
src=$(find . -maxdepth 1 -type d -name 'libjpeg-turbo*' | head -1)
cmake -S "$src" -B build -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-libraries.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DENABLE_SHARED=OFF \
    -DENABLE_STATIC=ON -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF -DWITH_JPEG8=OFF
cmake --build build -j "$(nproc)"
cmake --install build
echo "build-jpeg-mingw: libjpeg-turbo $version for MinGW in $prefix"
