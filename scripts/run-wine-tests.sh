#!/usr/bin/env bash
# Runs the Windows build's DDE tests under Wine, headless, in a fresh Wine prefix:
#   scripts/run-wine-tests.sh [BUILD_DIR]      (default build-win)
# Needs Debian's wine/wine64 and a MinGW build (make windows). The ANSI code page must be 932,
# so the run uses the ja_JP.UTF-8 locale, generated here when it is missing.
#
# Every step runs under a watchdog: a step that runs past its limit has the stack of every
# thread of our programs printed (winedbg, symbolised from the build's debug information),
# is ended, and is named as failed. Each step reports its own result; the script goes on to
# the next one and fails at the end when any step failed. Nothing is tried twice.
set -uo pipefail

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
ADDR2LINE="$(command -v x86_64-w64-mingw32-addr2line 2>/dev/null || true)"

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

FAILED=()
SUITE_START=$SECONDS

# Prints one winedbg frame line, and below it the function, file and line (with the functions
# inlined there) when the frame lies in one of our programs.
symbolise() {
  local line module addr exe
  while IFS= read -r line; do
    printf '    %s\n' "$line"
    [ -n "$ADDR2LINE" ] || continue
    if [[ "$line" =~ ^[=\>\ ]*[0-9]+\ (0x[0-9a-fA-F]+)\ in\ ([A-Za-z0-9_.-]+)\ \(\+0x ]]; then
      addr="${BASH_REMATCH[1]}" module="${BASH_REMATCH[2]}"
      exe="$(find "$BUILD" -name "$module.exe" -print -quit 2>/dev/null)"
      [ -n "$exe" ] && "$ADDR2LINE" -f -C -i -p -e "$exe" "$addr" 2>/dev/null | sed 's/^/        /'
    fi
  done
}

# The stacks of every thread of the running Windows processes whose image is one of ours.
dump_threads() {
  local procs pid name p4
  procs="$(timeout 60 "$WINE" winedbg --command "info proc" 2>/dev/null | tr -d '\r')"
  while read -r pid name; do
    p4="$(printf '%04x' "$((16#$pid))")"
    echo "  process $p4 $name:"
    # "bt all" walks every process of the prefix; keep the threads of this one.
    timeout 120 "$WINE" winedbg --command "bt all" "0x$pid" 2>/dev/null | tr -d '\r' |
      awk -v P="$p4" '/^Backtracing for thread/ { show = ($7 == P) } show && NF' | symbolise
  done < <(printf '%s\n' "$procs" |
             sed -n "s/^[ =]*\([0-9a-fA-F]\{8\}\) .*'\(kestrel-[a-z]*\.exe\|dde-[a-z-]*\.exe\)'.*/\1 \2/p")
}

# run_step NAME LIMIT COMMAND...: runs COMMAND under the watchdog and records its result.
run_step() {
  local name="$1" limit="$2"
  shift 2
  echo "run-wine-tests: $name"
  local start=$SECONDS log="$TMP/step.log"
  "$@" >"$log" 2>&1 &
  local pid=$! rc
  while kill -0 "$pid" 2>/dev/null && ((SECONDS - start < limit)); do sleep 0.2; done
  if kill -0 "$pid" 2>/dev/null; then
    cat "$log"
    echo "  TIMED OUT: $name ran past its limit of $limit s; where the threads of our programs stand:"
    dump_threads
    "$WINESERVER" -k 2>/dev/null
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    FAILED+=("$name (timed out after $limit s)")
    "$WINESERVER" -w 2>/dev/null
    return
  fi
  wait "$pid"
  rc=$?
  "$WINESERVER" -w 2>/dev/null
  cat "$log"
  if [ "$rc" = 0 ]; then
    echo "run-wine-tests: $name passed ($((SECONDS - start)) s)"
  else
    echo "run-wine-tests: $name FAILED (exit $rc, $((SECONDS - start)) s)"
    FAILED+=("$name (exit $rc)")
  fi
}

# waits_for FILE TEXT LIMIT PID: until FILE holds TEXT; false when PID ends first or LIMIT s pass.
waits_for() {
  local file="$1" text="$2" limit="$3" pid="$4" start=$SECONDS
  until grep -qF "$text" "$file" 2>/dev/null; do
    kill -0 "$pid" 2>/dev/null || return 1
    ((SECONDS - start < limit)) || return 1
    sleep 0.05
  done
}

prepare_prefix() {
  timeout 300 "$WINE" wineboot -i >/dev/null 2>&1
  timeout 60 "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || return 1
  "$WINESERVER" -w
  local acp
  acp=$(timeout 60 "$WINE" reg query 'HKLM\System\CurrentControlSet\Control\Nls\CodePage' /v ACP 2>/dev/null |
    tr -d '\r' | awk '/ACP/ {print $NF}')
  echo "  ANSI code page ${acp:-unknown}"
  [ "$acp" = 932 ]
}

# A recorded folder: the demo's first lines, which hold its early sharp moves.
FOLDER="$TMP/folder"
WORK="$TMP/work"
mkdir -p "$FOLDER/log" "$WORK/bt" "$WORK/watch" "$WORK/short/log"
for f in KESTREL.INI std.csv 株式売買値幅.txt 監視銘柄.txt 銘柄情報.txt; do
  cp "$ROOT/examples/demo/$f" "$FOLDER/"
  cp "$ROOT/examples/demo/$f" "$WORK/short/"
done
head -n "${KESTREL_WINE_LINES:-1500}" "$ROOT/examples/demo/kabu.txt" >"$FOLDER/kabu.txt"
head -n "${KESTREL_WATCH_LINES:-600}" "$FOLDER/kabu.txt" >"$WORK/short/kabu.txt"

dde_tests() {
  "$WINE" "$BUILD/tests/dde/dde-tests.exe" "$BUILD/tests/dde/dde-test-server.exe" "$FOLDER" "$WORK" |
    sed -u 's/\r$//'
}

backtest() {
  "$WINE" "$BUILD/tools/kestrel-backtest/kestrel-backtest.exe" "$WORK/short" --out "$WORK/bt" \
    --date 20261208 2>"$WORK/bt.log" | tr -d '\r' >"$WORK/bt.txt"
  local rc=$?
  tr -d '\r' <"$WORK/bt.log" | sed 's/^/  /'
  [ "$rc" = 0 ] && [ -s "$WORK/bt.txt" ] || { echo "  FAILED: kestrel-backtest printed no event line"; return 1; }
}

# kestrel-watch.exe against the server, which moves on once the client has gone quiet, prints
# the event lines and writes the lists that kestrel-backtest.exe makes of the same folder.
# Its input stays open while the server serves; the end of the input ends it.
watch_against_server() {
  local links server watch_pid rc ok=0
  links="$(grep -c '' "$WORK/short/監視銘柄.txt")"
  "$WINE" "$BUILD/tests/dde/dde-test-server.exe" "$WORK/short" --paced 40 --exit-at-end \
    --wait-links "$links" 2>"$WORK/server.log" &
  server=$!
  if ! waits_for "$WORK/server.log" "serving RSS" 120 "$server"; then
    echo "  FAILED: the test server never offered its service"
    tr -d '\r' <"$WORK/server.log" | sed 's/^/  /'
    return 1
  fi
  mkfifo "$WORK/in"
  "$WINE" "$BUILD/tools/kestrel-watch/kestrel-watch.exe" "$WORK/short" --out "$WORK/watch" \
    --date 20261208 <"$WORK/in" 2>"$WORK/watch.log" | tr -d '\r' >"$WORK/watch.txt" &
  watch_pid=$!
  # The input is held open until the server has served its last change and ended.
  exec {hold}>"$WORK/in"
  wait "$server"
  exec {hold}>&-
  wait "$watch_pid"
  rc=$?
  tr -d '\r' <"$WORK/watch.log" | sed 's/^/  /'
  tr -d '\r' <"$WORK/server.log" | sed 's/^/  /'
  [ "$rc" = 0 ] || { echo "  FAILED: kestrel-watch exited with $rc"; ok=1; }
  if ! cmp -s "$WORK/bt.txt" "$WORK/watch.txt"; then
    echo "  FAILED: event lines differ (backtest $(grep -c '' "$WORK/bt.txt"), watch $(grep -c '' "$WORK/watch.txt"))"
    diff "$WORK/bt.txt" "$WORK/watch.txt" | head -10 | sed 's/^/  /'
    ok=1
  fi
  for f in 20261208_Asc.txt 20261208_Dsc.txt; do
    if ! cmp -s "$WORK/bt/$f" "$WORK/watch/$f"; then echo "  FAILED: $f differs"; ok=1; fi
  done
  [ "$ok" = 0 ] && echo "  kestrel-watch: $(grep -c '' "$WORK/watch.txt") event lines and both lists as kestrel-backtest"

  # A restart on the same day (no server now, input at its end at once) goes on with the
  # day's lists and so writes them back unchanged; --fresh starts empty.
  mkdir -p "$WORK/again"
  cp "$WORK/watch/"20261208_*.txt "$WORK/again/"
  "$WINE" "$BUILD/tools/kestrel-watch/kestrel-watch.exe" "$WORK/short" --out "$WORK/again" \
    --date 20261208 </dev/null >/dev/null 2>"$WORK/again.log"
  for f in 20261208_Asc.txt 20261208_Dsc.txt; do
    if ! cmp -s "$WORK/watch/$f" "$WORK/again/$f"; then
      echo "  FAILED: a restart of kestrel-watch did not keep $f"
      tr -d '\r' <"$WORK/again.log" | sed 's/^/  /'
      ok=1
    fi
  done
  "$WINE" "$BUILD/tools/kestrel-watch/kestrel-watch.exe" "$WORK/short" --out "$WORK/again" \
    --date 20261208 --fresh </dev/null >/dev/null 2>"$WORK/again.log"
  if [ -s "$WORK/again/20261208_Asc.txt" ]; then
    echo "  FAILED: kestrel-watch --fresh still holds the day's rising list"
    ok=1
  fi
  [ "$ok" = 0 ] && echo "  kestrel-watch: a restart keeps the day's lists, --fresh starts empty"
  return "$ok"
}

# Each limit only guards against a hang: many times the step's run on a machine busy with other
# work (there: the prefix 20 s, dde-tests 50-110 s, the backtest 5 s, kestrel-watch 45 s).
run_step "preparing a Wine prefix" 400 prepare_prefix
if [ ${#FAILED[@]} = 0 ]; then
  run_step "dde-tests" 1200 dde_tests
  run_step "kestrel-backtest of the short folder" 120 backtest
  if [ -s "$WORK/bt.txt" ]; then
    run_step "kestrel-watch against the test server" 600 watch_against_server
  else
    FAILED+=("kestrel-watch against the test server (not run: no backtest to compare with)")
  fi
fi

if [ ${#FAILED[@]} = 0 ]; then
  echo "run-wine-tests: all passed ($((SECONDS - SUITE_START)) s)"
  exit 0
fi
echo "run-wine-tests: FAILED ($((SECONDS - SUITE_START)) s):"
printf '  %s\n' "${FAILED[@]}"
exit 1
