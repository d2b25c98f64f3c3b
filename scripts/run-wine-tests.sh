#!/usr/bin/env bash
# Runs the Windows build's DDE tests under Wine, headless, in a fresh Wine prefix:
#   scripts/run-wine-tests.sh [BUILD_DIR]      (default build-win)
# Needs Debian's wine/wine64 and a MinGW build (make windows). The ANSI code page must be 932,
# so the run uses the ja_JP.UTF-8 locale, generated here when it is missing.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build-win}"
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac

WINE=""
for w in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null || true)"; do
  if [ -n "$w" ] && [ -x "$w" ]; then WINE="$w"; break; fi
done
WINESERVER=""
for w in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver "$(command -v wineserver 2>/dev/null || true)"; do
  if [ -n "$w" ] && [ -x "$w" ]; then WINESERVER="$w"; break; fi
done
if [ -z "$WINE" ] || [ -z "$WINESERVER" ]; then
  echo "run-wine-tests: wine64 not installed, Wine suite skipped"
  exit 0
fi

if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8 2>/dev/null ||
    { echo "run-wine-tests: cannot generate the ja_JP.UTF-8 locale"; exit 1; }
fi

TMP="$(mktemp -d /tmp/kestrel-wine.XXXXXX)"
export WINEPREFIX="$TMP/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
       LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 DISPLAY=
cleanup() {
  "$WINESERVER" -k 2>/dev/null || true
  "$WINESERVER" -w 2>/dev/null || true
  rm -rf "$TMP"
}
trap cleanup EXIT

echo "run-wine-tests: preparing a Wine prefix"
timeout 300 "$WINE" wineboot -i >/dev/null 2>&1 || true
timeout 60 "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
"$WINESERVER" -w
acp=$(timeout 60 "$WINE" reg query 'HKLM\System\CurrentControlSet\Control\Nls\CodePage' /v ACP 2>/dev/null |
  tr -d '\r' | awk '/ACP/ {print $NF}' || true)
echo "run-wine-tests: ANSI code page ${acp:-unknown}"

# A recorded folder: the demo's first lines, which hold its early sharp moves.
FOLDER="$TMP/folder"
mkdir -p "$FOLDER/log"
for f in KESTREL.INI std.csv 株式売買値幅.txt 監視銘柄.txt 銘柄情報.txt; do cp "$ROOT/examples/demo/$f" "$FOLDER/"; done
head -n "${KESTREL_WINE_LINES:-1500}" "$ROOT/examples/demo/kabu.txt" >"$FOLDER/kabu.txt"
WORK="$TMP/work"
mkdir -p "$WORK"

status=0
echo "run-wine-tests: dde-tests"
timeout 600 "$WINE" "$BUILD/tests/dde/dde-tests.exe" "$BUILD/tests/dde/dde-test-server.exe" \
  "$FOLDER" "$WORK" | tr -d '\r' || status=1
"$WINESERVER" -w || true

# kestrel-watch.exe against the server, which moves on once the client has gone quiet, prints
# the event lines and writes the lists that kestrel-backtest.exe makes of the same folder.
echo "run-wine-tests: kestrel-watch against the test server"
mkdir -p "$WORK/bt" "$WORK/watch"
head -n "${KESTREL_WATCH_LINES:-600}" "$FOLDER/kabu.txt" >"$WORK/kabu-short.txt"
mkdir -p "$WORK/short/log"
cp "$FOLDER"/*.txt "$FOLDER"/*.csv "$FOLDER"/KESTREL.INI "$WORK/short/"
cp "$WORK/kabu-short.txt" "$WORK/short/kabu.txt"
timeout 120 "$WINE" "$BUILD/tools/kestrel-backtest/kestrel-backtest.exe" "$WORK/short" --out "$WORK/bt" \
  --date 20261208 2>/dev/null | tr -d '\r' >"$WORK/bt.txt"
timeout 300 "$WINE" "$BUILD/tests/dde/dde-test-server.exe" "$WORK/short" --paced 40 --exit-at-end \
  --wait-links "$(grep -c '' "$WORK/short/監視銘柄.txt")" \
  2>"$WORK/server.log" &
server=$!
sleep 2
mkfifo "$WORK/in"
( while kill -0 $server 2>/dev/null; do sleep 0.2; done; sleep 0.5 ) >"$WORK/in" &
feeder=$!
timeout 300 "$WINE" "$BUILD/tools/kestrel-watch/kestrel-watch.exe" "$WORK/short" --out "$WORK/watch" \
  --date 20261208 <"$WORK/in" 2>"$WORK/watch.log" | tr -d '\r' >"$WORK/watch.txt" || true
wait $server || true
wait $feeder || true
cat "$WORK/watch.log" "$WORK/server.log" | tr -d '\r' | sed 's/^/  /'
watch_ok=1
if [ ! -s "$WORK/bt.txt" ]; then echo "  FAILED: kestrel-backtest printed no event line"; watch_ok=0; fi
if ! cmp -s "$WORK/bt.txt" "$WORK/watch.txt"; then
  echo "  FAILED: event lines differ (backtest $(wc -l <"$WORK/bt.txt"), watch $(wc -l <"$WORK/watch.txt"))"
  diff "$WORK/bt.txt" "$WORK/watch.txt" | head -10 | sed 's/^/  /'
  watch_ok=0
fi
for f in 20261208_Asc.txt 20261208_Dsc.txt; do
  if ! cmp -s "$WORK/bt/$f" "$WORK/watch/$f"; then echo "  FAILED: $f differs"; watch_ok=0; fi
done
if [ $watch_ok = 1 ]; then
  echo "[  OK  ] kestrel-watch: $(wc -l <"$WORK/watch.txt") event lines and both lists as kestrel-backtest"
else
  status=1
fi

if [ $status = 0 ]; then echo "run-wine-tests: all passed"; else echo "run-wine-tests: FAILED"; fi
exit $status
