#!/usr/bin/env bash
# Installs the Debian packages the project needs, for one purpose or for all of them.
# Idempotent: checks first and only touches apt when something is missing.
#
# Usage: scripts/setup-deps.sh [PURPOSE]          install what PURPOSE needs (no PURPOSE: all)
#        scripts/setup-deps.sh --list [PURPOSE]   print those packages, one a line
# PURPOSE: run      build and run the monitor and the console tools (make run)
#          test     the test suites: unit, sanitizers, fuzzers, the loaded run (make test-unit...)
#          windows  the MinGW-w64 cross builds and the Wine suites (make windows, test-wine...)
#          deb      the Debian package and its check (make deb, make test-deb)
# make test installs all of them.
set -euo pipefail

# One package a line, so that lists grown on two branches merge without a fight. Every purpose
# but run builds on run's packages too (added below).
RUN=(
  g++
  cmake
  ninja-build
  make
  pkg-config
  qt6-base-dev
  qt6-base-dev-tools
  libgl-dev
  qt6-multimedia-dev
  # the chart of an issue (Qt Charts' CMake package needs Qt OpenGL's, which Debian's
  # qt6-charts-dev does not pull in)
  qt6-charts-dev
  libqt6opengl6-dev
  # the feed's kabuステーション source (its PUSH WebSocket)
  qt6-websockets-dev
  libjpeg62-turbo-dev
  # the Japanese texts of the windows
  fonts-ipafont-gothic
  # scripts/run-monitor.sh on a machine without a display: a virtual one and its screenshot
  xvfb
  imagemagick
  # the picture of the study's report in docs/ (chromium --headless --screenshot)
  chromium
)

TEST=(
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  # the simulated kabuステーション API of the tests (its REST side)
  qt6-httpserver-dev
  # the script host's tests (a build without them has no script host: KESTREL_RUBY=OFF)
  ruby
  ruby-dev
  # the alert-sound test plays on a null sink of a PulseAudio server of its own
  pulseaudio
  xauth
  # the libFuzzer targets and the format check
  clang
  libclang-rt-14-dev
  clang-format
  # the comma-decimal locale of the number-format tests (generated below)
  locales
  python3
  # the load beside the suite in scripts/run-loaded.sh
  stress-ng
)

WINDOWS=(
  gcc-mingw-w64-x86-64
  g++-mingw-w64-x86-64
  wine
  wine64
  # the windowed suite under Wine: its virtual display, the clicks, the saved RTF read back
  xauth
  xdotool
  unrtf
  python3
  locales
  # the Windows installer (CPack's NSIS generator runs makensis)
  nsis
)

DEB=(
  # the package carries the script host
  ruby
  ruby-dev
  # CPack's dependency computation (dpkg-shlibdeps), its ELF detection, the man pages, the check
  dpkg-dev
  file
  help2man
  lintian
)

usage() {
  echo "usage: scripts/setup-deps.sh [--list] [run|test|windows|deb]" >&2
  exit 2
}

list=0
if [ "${1:-}" = "--list" ]; then
  list=1
  shift
fi
[ $# -le 1 ] || usage
purpose=${1:-all}

# The packages of the purpose, each once, in the order first named.
PKGS=()
add() {
  local p q
  for p in "$@"; do
    for q in "${PKGS[@]}"; do [ "$q" = "$p" ] && continue 2; done
    PKGS+=("$p")
  done
}
case "$purpose" in
  run) add "${RUN[@]}" ;;
  test) add "${RUN[@]}" "${TEST[@]}" ;;
  windows) add "${RUN[@]}" "${WINDOWS[@]}" ;;
  deb) add "${RUN[@]}" "${DEB[@]}" ;;
  all) add "${RUN[@]}" "${TEST[@]}" "${WINDOWS[@]}" "${DEB[@]}" ;;
  *) usage ;;
esac

if [ $list = 1 ]; then
  printf '%s\n' "${PKGS[@]}"
  exit 0
fi

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup-deps: all ${#PKGS[@]} packages for '$purpose' present"
else
  echo "setup-deps: installing for '$purpose': ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The number-format tests run once under a comma-decimal locale; generate it when missing.
# (Read the list first: under pipefail, grep -q closing the pipe early would fail `locale -a`.)
if [ "$purpose" = test ] || [ "$purpose" = all ]; then
  locales_present="$(locale -a 2>/dev/null || true)"
  if ! grep -qix 'de_DE\.utf-\?8' <<<"$locales_present"; then
    echo "setup-deps: generating locale de_DE.UTF-8"
    if ! $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8; then
      echo "setup-deps: warning: could not generate de_DE.UTF-8; the locale test will be skipped" >&2
    fi
  fi
fi
