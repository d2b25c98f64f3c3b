#!/usr/bin/env bash
# The Debian package as a user meets it: builds it (scripts/build-deb.sh), has lintian check it
# (any error fails), unpacks it into an empty root with dpkg -x and checks what a user would
# rely on there: the programs, the RSS link, the desktop entry and icon, the demo folder, the
# man pages; every program resolves its libraries (ldd); the monitor says its version; the
# backtest replays the installed demo; the RSS link serves the quotes the console monitor
# follows; the desktop entry's start makes ~/Kestrel from the demo once and never again.
# Skipped with one line where dpkg-deb or lintian is missing.
# Usage: scripts/test-deb.sh [BUILD_DIR]   (default build-deb)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-deb}
for tool in dpkg-deb lintian; do
  if ! command -v "$tool" >/dev/null; then
    echo "test-deb: $tool not installed, Debian package test skipped"
    exit 0
  fi
done

failures=0
fail() {
  echo "test-deb: FAIL: $*"
  failures=$((failures + 1))
}
pass() { echo "test-deb: ok: $*"; }

deb=$(bash "$root/scripts/build-deb.sh" "$build" | tail -n 1)
[ -f "$deb" ] || { echo "test-deb: no package was made (build-deb said '$deb')"; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
echo "test-deb: $deb ($(du -k "$deb" | cut -f1) KiB), version $version"
case "$(basename "$deb")" in
  "kestrel_${version}_$(dpkg --print-architecture).deb") pass "file name $(basename "$deb")" ;;
  *) fail "file name $(basename "$deb") is not kestrel_${version}_ARCH.deb" ;;
esac
depends=$(dpkg-deb -f "$deb" Depends)
# The monitor's libraries, as dpkg-shlibdeps found them: a hand-written list would miss them.
for lib in libqt6widgets6 libqt6network6 libqt6multimedia6 libqt6charts6 libjpeg62-turbo libruby; do
  grep -q "$lib" <<<"$depends" || fail "Depends has no $lib: $depends"
done

# lintian: errors fail the test; warnings and the rest are shown.
lintian_out=$(lintian --tag-display-limit 0 "$deb" 2>&1) && lintian_rc=0 || lintian_rc=$?
lintian_out=$(grep -v 'running with root privileges' <<<"$lintian_out" || true)
[ -n "$lintian_out" ] && printf '%s\n' "$lintian_out" | sed 's/^/  lintian: /'
errors=$(grep -c '^E: ' <<<"$lintian_out" || true)
warnings=$(grep -c '^W: ' <<<"$lintian_out" || true)
if [ "$errors" -ne 0 ] || [ "$lintian_rc" -ne 0 ]; then
  fail "lintian: $errors errors (exit code $lintian_rc)"
else
  pass "lintian: no errors, $warnings warnings"
fi

tmp=$(mktemp -d)
cleanup() {
  [ -n "${feed_pid:-}" ] && kill "$feed_pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
dest="$tmp/root"
dpkg -x "$deb" "$dest"

# What the package must hold.
for f in usr/bin/kestrel usr/bin/kestrel-feed usr/bin/kestrel-backtest usr/bin/kestrel-watch \
  usr/libexec/kestrel/kestrel-desktop; do
  [ -f "$dest/$f" ] && [ -x "$dest/$f" ] || fail "$f is missing or not executable"
done
[ "$(readlink "$dest/usr/bin/RSS" || true)" = kestrel-feed ] || fail "usr/bin/RSS is no link to kestrel-feed"
for f in usr/share/applications/kestrel.desktop usr/share/icons/hicolor/256x256/apps/kestrel.png \
  usr/share/doc/kestrel/copyright usr/share/doc/kestrel/changelog.gz \
  usr/share/man/man1/kestrel.1.gz usr/share/man/man1/kestrel-feed.1.gz \
  usr/share/man/man1/kestrel-backtest.1.gz usr/share/man/man1/kestrel-watch.1.gz; do
  [ -s "$dest/$f" ] || fail "$f is missing or empty"
done
[ "$(readlink "$dest/usr/share/man/man1/RSS.1.gz" || true)" = kestrel-feed.1.gz ] ||
  fail "usr/share/man/man1/RSS.1.gz is no link to kestrel-feed.1.gz"
for f in KESTREL.INI kabu.txt std.csv 銘柄情報.txt 株式売買値幅.txt 監視銘柄.txt; do
  cmp -s "$root/examples/demo/$f" "$dest/usr/share/kestrel/demo/$f" ||
    fail "usr/share/kestrel/demo/$f differs from examples/demo/$f"
done
desktop="$dest/usr/share/applications/kestrel.desktop"
grep -qx 'Exec=/usr/libexec/kestrel/kestrel-desktop' "$desktop" || fail "kestrel.desktop: wrong Exec line"
grep -qx 'Categories=Office;Finance;' "$desktop" || fail "kestrel.desktop: wrong Categories"
grep -q '^Name\[ja\]=' "$desktop" || fail "kestrel.desktop: no Japanese name"
[ $failures -eq 0 ] && pass "file list: $(cd "$dest" && find . -type f -o -type l | wc -l) files and links"

# Every program finds every library it links (the package's Depends bring them).
for exe in "$dest"/usr/bin/*; do
  missing=$(ldd "$exe" 2>&1 | grep 'not found' || true)
  if [ -n "$missing" ]; then
    fail "ldd $(basename "$exe"): $missing"
  else
    pass "ldd $(basename "$exe"): all libraries found"
  fi
done

export QT_QPA_PLATFORM=offscreen
# A runtime folder of its own: the monitor's one-per-user guard and the feed's socket live there.
export XDG_RUNTIME_DIR="$tmp/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"
got=$("$dest/usr/bin/kestrel" --version 2>&1 || true)
[ "$got" = "kestrel $version" ] && pass "kestrel --version: $got" || fail "kestrel --version said '$got'"

# The backtest over the installed demo folder (written elsewhere: /usr/share is no place to write).
mkdir "$tmp/backtest" "$tmp/live-lists"
if "$dest/usr/bin/kestrel-backtest" "$dest/usr/share/kestrel/demo" --out "$tmp/backtest" \
  >"$tmp/backtest.txt" 2>&1; then
  events=$(grep -c '^[0-9][0-9]:[0-9][0-9] ' "$tmp/backtest.txt" || true)
  lists=$(find "$tmp/backtest" -name '*_Asc.txt' -size +0 | wc -l)
  if [ "$events" -gt 0 ] && [ "$lists" -eq 1 ]; then
    pass "kestrel-backtest on the demo: $events event lines, lists written"
  else
    fail "kestrel-backtest on the demo: $events event lines, $lists rising lists"
    cat "$tmp/backtest.txt"
  fi
else
  fail "kestrel-backtest on the demo ended with an error:"
  cat "$tmp/backtest.txt"
fi

# The RSS link serves the service RSS: the console monitor follows the demo day through it.
cp -R "$dest/usr/share/kestrel/demo" "$tmp/live"
(cd "$tmp/live" && exec "$dest/usr/bin/RSS" --step-ms 5 >"$tmp/feed.log" 2>&1) &
feed_pid=$!
for _ in $(seq 300); do
  [ -S "$XDG_RUNTIME_DIR/kestrel/RSS.sock" ] && break
  kill -0 "$feed_pid" 2>/dev/null || break
  sleep 0.1
done
mkfifo "$tmp/watch-in"
"$dest/usr/bin/kestrel-watch" "$tmp/live" --out "$tmp/live-lists" <"$tmp/watch-in" \
  >"$tmp/watch.txt" 2>&1 &
watch_pid=$!
exec 3>"$tmp/watch-in"
# Until the first event lines arrive; the limit only guards against a hang.
for _ in $(seq 600); do
  grep -q '^[0-9][0-9]:[0-9][0-9] ' "$tmp/watch.txt" && break
  kill -0 "$watch_pid" 2>/dev/null || break
  sleep 0.1
done
exec 3>&- # the end of input: the console monitor writes its lists and ends
watch_rc=0
wait "$watch_pid" || watch_rc=$?
kill "$feed_pid" 2>/dev/null || true
wait "$feed_pid" 2>/dev/null || true
feed_pid=
live_events=$(grep -c '^[0-9][0-9]:[0-9][0-9] ' "$tmp/watch.txt" || true)
if [ "$watch_rc" -eq 0 ] && [ "$live_events" -gt 0 ] &&
  [ -n "$(find "$tmp/live-lists" -name '*_Asc.txt' 2>/dev/null)" ]; then
  pass "RSS link: kestrel-watch followed it, $live_events event lines, lists written"
else
  fail "RSS link: kestrel-watch ended with $watch_rc after $live_events event lines"
  sed 's/^/  watch: /' "$tmp/watch.txt"
  sed 's/^/  feed: /' "$tmp/feed.log"
fi

# The desktop entry's start: the first makes ~/Kestrel from the demo, a later one leaves it be.
home="$tmp/home"
mkdir "$home"
got=$(HOME="$home" "$dest/usr/libexec/kestrel/kestrel-desktop" --version 2>/dev/null || true)
[ "$got" = "kestrel $version" ] || fail "kestrel-desktop --version said '$got'"
if cmp -s "$root/examples/demo/kabu.txt" "$home/Kestrel/kabu.txt" && [ -d "$home/Kestrel/log" ] &&
  [ -z "$(find "$home" -name '.kestrel-demo.*')" ]; then
  echo "[DEBUG]" >"$home/Kestrel/KESTREL.INI"
  rm "$home/Kestrel/kabu.txt"
  HOME="$home" "$dest/usr/libexec/kestrel/kestrel-desktop" --version >/dev/null 2>&1 || true
  if [ "$(cat "$home/Kestrel/KESTREL.INI")" = "[DEBUG]" ] && [ ! -e "$home/Kestrel/kabu.txt" ]; then
    pass "kestrel-desktop: ~/Kestrel made from the demo once, then left as the user keeps it"
  else
    fail "kestrel-desktop: a second start changed the user's ~/Kestrel"
  fi
else
  fail "kestrel-desktop: the first start made no copy of the demo in ~/Kestrel"
fi

if [ $failures -ne 0 ]; then
  echo "test-deb: $failures checks failed"
  exit 1
fi
echo "test-deb: the package passed every check"
