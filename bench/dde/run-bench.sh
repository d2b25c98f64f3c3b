#!/usr/bin/env bash
# The DDEML figures under Wine: request round trip (dde-bench.exe) and the changes a second
# that kestrel-watch.exe absorbs from dde-test-server delivering more than it can take.
#   bench/dde/run-bench.sh [BUILD_DIR]     (default build-win; make windows first)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="${1:-$ROOT/build-win}"
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
TMP="$(mktemp -d /tmp/kestrel-dde-bench.XXXXXX)"
export WINEPREFIX="$TMP/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=ja_JP.UTF-8 DISPLAY=
trap '"$WINESERVER" -k 2>/dev/null || true; "$WINESERVER" -w 2>/dev/null || true; rm -rf "$TMP"' EXIT
"$WINE" wineboot -i >/dev/null 2>&1 || true
"$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
"$WINESERVER" -w

"$WINE" "$BUILD/bench/dde/dde-bench.exe" "$BUILD/tests/dde/dde-test-server.exe" "${REQUESTS:-20000}" | tr -d '\r'
"$WINESERVER" -w

# 100 simulated issues, all watched; the server offers RATE changes a second for SECONDS.
RATE="${RATE:-1000}" SECONDS_RUN="${SECONDS_RUN:-10}"
DIR="$TMP/sim"
mkdir -p "$DIR/log"
python3 - "$DIR" <<'PY'
import sys, os
d = sys.argv[1]
def w(name, lines):
    open(os.path.join(d, name), "wb").write("".join(l + "\r\n" for l in lines).encode("cp932"))
w("KESTREL.INI", ["[DEBUG]", "flg=0"])
w("監視銘柄.txt", ["%d.T" % (1000 + i) for i in range(100)])
w("銘柄情報.txt", ["%d,\"模擬%d\",100,,信用,貸借,東証" % (1000 + i, 1000 + i) for i in range(100)])
w("株式売買値幅.txt", ["0,100,30,0", "100,200,50,0", "200,500,80,0", "500,700,100,0", "700,1000,150,0",
                     "1000,1500,300,0", "1500,2000,400,0", "2000,3000,500,0", "3000,5000,700,0",
                     "5000,7000,1000,0", "7000,10000,1500,0"])
PY
"$WINE" "$BUILD/tests/dde/dde-test-server.exe" --simulate 100 --rate "$RATE" --seconds "$SECONDS_RUN" --wait-links 100 \
  2>"$TMP/server.log" &
server=$!
sleep 0.5
mkfifo "$TMP/in"
( while kill -0 $server 2>/dev/null; do sleep 0.1; done ) >"$TMP/in" &
"$WINE" "$BUILD/tools/kestrel-watch/kestrel-watch.exe" "$DIR" --quiet <"$TMP/in" 2>"$TMP/watch.log" || true
wait $server || true
tr -d '\r' <"$TMP/server.log"
tr -d '\r' <"$TMP/watch.log"
changes=$(tr -d '\r' <"$TMP/watch.log" | sed -n 's/.* events, .* listed, \([0-9]*\) changes,.*/\1/p')
echo "changes absorbed by kestrel-watch: ${changes:-?} in ${SECONDS_RUN} s = $(( ${changes:-0} / SECONDS_RUN )) changes/s (offered $RATE/s)"
