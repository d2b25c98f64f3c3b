#!/usr/bin/env bash
# The package lists of scripts/setup-deps.sh keep their promises: what `make run` installs
# holds no cross compiler, Wine, clang, sound server or Ruby headers (the monitor builds
# without them); every purpose includes run's packages; no purpose (what `make test` installs)
# is all of them together; an unknown purpose is refused.
set -uo pipefail
deps="$(dirname "$0")/setup-deps.sh"
failures=0
fail() {
  echo "test-deps-lists: FAIL: $*"
  failures=$((failures + 1))
}

run=$(bash "$deps" --list run) || fail "--list run ended with an error"
[ -n "$run" ] || fail "--list run is empty"
heavy=$(grep -Ei 'wine|mingw|clang|pulseaudio|ruby|stress|gtest|gmock' <<<"$run")
[ -z "$heavy" ] || fail "--list run names $(tr '\n' ' ' <<<"$heavy")"
for p in qt6-base-dev qt6-multimedia-dev libjpeg62-turbo-dev cmake ninja-build g++; do
  grep -qx "$p" <<<"$run" || fail "--list run lacks $p, which the monitor's build needs"
done

all=$(bash "$deps" --list) || fail "--list ended with an error"
[ "$(sort <<<"$all" | uniq -d)" = "" ] || fail "--list names a package twice"
for purpose in test windows deb; do
  list=$(bash "$deps" --list "$purpose") || fail "--list $purpose ended with an error"
  missing=$(comm -23 <(sort <<<"$run") <(sort <<<"$list"))
  [ -z "$missing" ] || fail "--list $purpose lacks run's $(tr '\n' ' ' <<<"$missing")"
  extra=$(comm -13 <(sort <<<"$all") <(sort <<<"$list"))
  [ -z "$extra" ] || fail "--list $purpose names $(tr '\n' ' ' <<<"$extra") that the whole list lacks"
done
for p in libgtest-dev wine64 g++-mingw-w64-x86-64 clang lintian; do
  grep -qx "$p" <<<"$all" || fail "--list (everything, for make test) lacks $p"
done

if bash "$deps" --list nonsense >/dev/null 2>&1; then fail "an unknown purpose was accepted"; fi

[ $failures -eq 0 ] || exit 1
echo "test-deps-lists: run installs $(wc -l <<<"$run") packages of $(wc -l <<<"$all")"
