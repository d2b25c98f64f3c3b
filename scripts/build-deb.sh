#!/usr/bin/env bash
# Builds the Debian package build-deb/kestrel_<version>_amd64.deb: a Release build of its own
# (no tests, the script host and the man pages in), compiled with the flags Debian builds its
# own packages with (dpkg-buildflags, all hardening on), packed by cpack's DEB generator, which
# has dpkg-shlibdeps work out the libraries it depends on. The package's path is the last line.
# Usage: scripts/build-deb.sh [BUILD_DIR]   (default build-deb; CMAKE_FLAGS adds to the configure)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-deb}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
for tool in dpkg-buildflags dpkg-shlibdeps cpack help2man; do
  command -v "$tool" >/dev/null ||
    { echo "build-deb: $tool is missing (bash scripts/setup-deps.sh deb installs it)" >&2; exit 1; }
done

cd "$root"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cflags="$(dpkg-buildflags --get CFLAGS) $cppflags"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $cppflags"
ldflags=$(dpkg-buildflags --get LDFLAGS)
# shellcheck disable=SC2086 # CMAKE_FLAGS is a list of options
# Release, at the optimisation Debian builds its packages with (dpkg-buildflags' -O2), not
# CMake's -O3.
cmake -S "$root" -B "$build" -G Ninja -DKESTREL_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
  -DKESTREL_GUI=ON -DKESTREL_QT=ON -DKESTREL_RUBY=ON -DKESTREL_TESTS=OFF -DKESTREL_MANPAGES=ON \
  -DCMAKE_INSTALL_PREFIX=/usr "-DCMAKE_C_FLAGS=$cflags" "-DCMAKE_CXX_FLAGS=$cxxflags" \
  "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" ${CMAKE_FLAGS:-}
cmake --build "$build" -j "${JOBS:-$(nproc)}"
rm -f "$build"/kestrel_*.deb
(cd "$build" && cpack -G DEB)
ls "$build"/kestrel_*.deb
