#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Idempotent: checks first and only touches apt when something is missing.
set -euo pipefail

PKGS=(
  g++ cmake ninja-build make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-multimedia-dev
  # the kabuステーション API source (PUSH WebSocket) and its simulator (HTTP server)
  qt6-websockets-dev qt6-httpserver-dev
  # the alert-sound test plays on a null sink of a PulseAudio server of its own
  pulseaudio
  libjpeg62-turbo-dev
  ruby ruby-dev
  xvfb xauth imagemagick fonts-ipafont-gothic unrtf xdotool
  clang libclang-rt-14-dev clang-format
  gcc-mingw-w64-x86-64 g++-mingw-w64-x86-64 wine wine64 locales python3
  # the load beside the suite in scripts/run-loaded.sh
  stress-ng
)

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup-deps: all ${#PKGS[@]} packages present"
else
  echo "setup-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The number-format tests run once under a comma-decimal locale; generate it when missing.
# (Read the list first: under pipefail, grep -q closing the pipe early would fail `locale -a`.)
locales_present="$(locale -a 2>/dev/null || true)"
if ! grep -qix 'de_DE\.utf-\?8' <<<"$locales_present"; then
  echo "setup-deps: generating locale de_DE.UTF-8"
  if ! $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8; then
    echo "setup-deps: warning: could not generate de_DE.UTF-8; the locale test will be skipped" >&2
  fi
fi
