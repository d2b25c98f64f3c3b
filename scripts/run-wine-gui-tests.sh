#!/usr/bin/env bash
# The windowed monitor for Windows (make windows-gui) under Wine, on a virtual X display, in a
# fresh Wine prefix with the Japanese code page:
#   scripts/run-wine-gui-tests.sh [BUILD_DIR] [SCREENSHOT]   (default build-wingui)
# 1. Debug mode on a copy of examples/demo fills the grid and the event viewer; the session's
#    end (wineboot --end-session, as at a Windows log-off) saves both lists before the process
#    goes. SCREENSHOT, when given, receives a picture of the screen meanwhile.
# 2. A second start while the first runs brings the first forward and ends with 0.
# 3. Live mode against dde-test-server.exe (make windows), with the event viewer open: both lists
#    saved at the session's end, and the event viewer's lines saved as a user saves them (xdotool:
#    right button on the log, 保存(&Z), はい(&Y); the RTF file read back with unrtf), equal
#    kestrel-backtest.exe's for the same recorded lines.
# 4. Debug mode on another copy, ended by the main window's close box: both lists are saved.
# 5. Live quotes of the simulated kabuステーション API (the Linux kabu-sim on 127.0.0.1, its clock
#    moved by this script once every link is open) through kestrel-feed.exe --source kabu
#    --record, watched by kestrel-watch.exe (make windows): its event lines equal those
#    kestrel-backtest.exe prints over the folder the feed recorded, so do the lists it saves at
#    its end, and the recording holds every frame the simulator pushed. Half way the PUSH connection is cut and must be opened
#    again; at the end another program takes it, which the feed must say and leave alone.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build-wingui}"
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac
SHOT="${2:-}"
EXE="$BUILD/src/kestrel/kestrel.exe"
[ -f "$EXE" ] || { echo "run-wine-gui-tests: $EXE missing (make windows-gui)"; exit 1; }

# shellcheck source=scripts/wine-session.sh
source "$ROOT/scripts/wine-session.sh"
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8 2>/dev/null ||
    { echo "run-wine-gui-tests: cannot generate the ja_JP.UTF-8 locale"; exit 1; }
fi
wine_session run-wine-gui-tests 90 120
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
# Waits up to $3 s for the text $2 in the file $1.
waitlog() {
  local deadline=$((SECONDS + $3))
  until tr -d '\r' <"$1" 2>/dev/null | grep -qF "$2"; do
    ((SECONDS > deadline)) && return 1
    sleep 0.2
  done
}

# The event viewer's context menu, driven as a user does: right button on the log, 保存(&Z), and
# はい(&Y) in the confirmation. There is no window manager on the display, so each window is given
# the input focus itself. Every step is retried until LOG*.txt is complete in $1 (the monitor's
# working folder) or 40 s have gone; each xdotool call is bounded, so nothing waits for ever.
# Sets EVENT_LOG to the file, empty when none was saved.
xdo() { timeout 5 xdotool "$@" 2>/dev/null; }
shown() { xdo search --onlyvisible --name "$1" | head -n 1; }
saved_log() {
  local f
  for f in "$1"/LOG*.txt; do
    # Complete once it ends with the closing brace, on a line after the font table's own.
    [ -f "$f" ] && [ "$(tail -c 3 "$f" | tr -d '\r\n')" = "}" ] && [ "$(grep -c '' "$f")" -ge 2 ] &&
      { EVENT_LOG="$f"; return 0; }
  done
  return 1
}
save_event_log() {
  local viewer="" box="" i deadline=$((SECONDS + 40))
  EVENT_LOG=""
  while [ -z "$viewer" ] && ((SECONDS < deadline)); do
    viewer=$(shown '^EventViewer$')
    [ -n "$viewer" ] || sleep 0.2
  done
  [ -n "$viewer" ] || { fail "the event viewer window was not found"; return 1; }
  while ! saved_log "$1" && ((SECONDS < deadline)); do
    box=$(shown '^確認$')
    if [ -n "$box" ]; then
      xdo windowfocus --sync "$box"
      xdo key y
      # The file is written once the box has gone, which takes 2 s here: Wine waits that long for
      # a window manager to withdraw the box. Answer again only while the box is still there
      # after that, and never ask twice for one save (a second save in the same minute would
      # replace the first with the emptied log).
      for i in $(seq 1 60); do
        saved_log "$1" && return 0
        ((i >= 40)) && [ -n "$(shown '^確認$')" ] && break
        sleep 0.1
      done
      continue
    fi
    xdo windowraise "$viewer"
    xdo windowfocus --sync "$viewer"
    xdo key Escape  # a menu left open by an earlier try
    xdo mousemove --window "$viewer" 190 180 click 3
    # z until the menu, once it is up, opens the confirmation.
    for i in $(seq 1 20); do
      xdo key z
      sleep 0.1
      [ -n "$(shown '^確認$')" ] && break
    done
  done
  saved_log "$1" || { fail "no LOG file was saved from the event viewer"; return 1; }
}

# The lines of an RTF file as UTF-8, one a line, through unrtf's HTML: <br> ends a paragraph,
# other tags go, character references are decoded (a character beyond the BMP comes as two, a
# surrogate pair). Every character of an event line comes through as it is; a tab or a run of
# spaces would not, and event lines have neither.
rtf_lines() {
  unrtf --html "$1" 2>/dev/null | python3 -c '
import html, re, sys
doc = sys.stdin.read()
if "<body>" not in doc or "</body>" not in doc:
    sys.exit("unrtf gave no <body>")
body = doc[doc.index("<body>") + 6:doc.index("</body>")]
ref = lambda m: chr(int(m[1][1:])) if m[1][0] == "#" else html.unescape(m[0])
lines, line = [], ""
for tag, text in re.findall(r"(<[^>]*>)|([^<]+)", body):
    if tag == "<br>":
        lines.append(line)
        line = ""
    elif text:
        line += re.sub(r"&(#[0-9]+|[A-Za-z]+);", ref, text.replace("\n", ""))
if line:
    lines.append(line)
out = "".join(l + "\n" for l in lines)
sys.stdout.buffer.write(out.encode("utf-16-le", "surrogatepass").decode("utf-16-le").encode())
'
}

timeout 300 "$WINE" wineboot -i >/dev/null 2>&1
"$WINESERVER" -w
acp=$(timeout 60 "$WINE" reg query 'HKLM\System\CurrentControlSet\Control\Nls\CodePage' /v ACP \
  2>/dev/null | tr -d '\r' | awk '/ACP/ {print $NF}')
[ "$acp" = 932 ] || { echo "run-wine-gui-tests: ANSI code page ${acp:-unknown}, not 932"; exit 1; }

today=$(date +%Y%m%d)

# 1 and 2: debug mode on the demo, a second start, the session's end.
DEMO="$TMP/demo"
cp -r "$ROOT/examples/demo" "$DEMO"
mkdir -p "$DEMO/log"
echo "run-wine-gui-tests: debug mode on the demo"
"$WINE" "$EXE" --workdir "$(winpath "$DEMO")" --show-events >"$TMP/first.log" 2>&1 &
FIRST=$!
sleep "${KESTREL_WINE_GUI_SECONDS:-25}"
if ! kill -0 "$FIRST" 2>/dev/null; then
  cat "$TMP/first.log"
  fail "the monitor ended by itself"
else
  [ -n "$SHOT" ] && import -window root "$SHOT" && echo "  screenshot: $SHOT"
  echo "run-wine-gui-tests: a second start"
  start=$SECONDS
  timeout 60 "$WINE" "$EXE" --workdir "$(winpath "$DEMO")" >"$TMP/second.log" 2>&1
  rc=$?
  [ "$rc" = 0 ] || { cat "$TMP/second.log"; fail "the second start ended with $rc, not 0"; }
  kill -0 "$FIRST" 2>/dev/null || fail "the first monitor went with the second start"
  echo "  the second start ended with $rc after $((SECONDS - start)) s; the first runs on"
  echo "run-wine-gui-tests: the session ends"
  timeout 60 "$WINE" wineboot --end-session >/dev/null 2>&1
  for _ in $(seq 1 300); do kill -0 "$FIRST" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$FIRST" 2>/dev/null && { fail "the monitor outlived the session's end"; kill "$FIRST"; }
  wait "$FIRST" 2>/dev/null
  cat "$TMP/first.log"
  for side in Asc Dsc; do
    f="$DEMO/log/${today}_$side.txt"
    if [ ! -f "$f" ]; then
      fail "no $side list saved at the session's end"
    else
      echo "  $side list: $(wc -l <"$f") issues"
    fi
  done
  [ -s "$DEMO/log/${today}_Asc.txt" ] || fail "the rising list saved is empty"
fi

# 3: live mode against the DDE test server, which serves the recorded lines as changes and ends
# after the last; then the session ends. The lists equal those kestrel-backtest.exe makes of the
# same lines.
WINBUILD="${KESTREL_WIN_BUILD:-$ROOT/build-win}"
SERVER="$WINBUILD/tests/dde/dde-test-server.exe"
BACKTEST="$WINBUILD/tools/kestrel-backtest/kestrel-backtest.exe"
if [ ! -f "$SERVER" ] || [ ! -f "$BACKTEST" ]; then
  fail "live mode not tried: $SERVER or $BACKTEST missing (make windows)"
else
  echo "run-wine-gui-tests: live mode against the DDE test server"
  LIVE="$TMP/live"
  mkdir -p "$LIVE/log" "$TMP/bt"
  for f in std.csv 株式売買値幅.txt 監視銘柄.txt 銘柄情報.txt; do cp "$ROOT/examples/demo/$f" "$LIVE/"; done
  head -n "${KESTREL_WINE_LIVE_LINES:-600}" "$ROOT/examples/demo/kabu.txt" >"$LIVE/kabu.txt"
  printf '[DEBUG]\r\nflg=0\r\n[PARA]\r\nrate=2.0\r\ntime=2\r\n' >"$LIVE/KESTREL.INI"
  timeout 300 "$WINE" "$BACKTEST" "$(winpath "$LIVE")" --out "$(winpath "$TMP/bt")" --date "$today" \
    >"$TMP/bt.txt" 2>"$TMP/bt.log" || { cat "$TMP/bt.log"; fail "kestrel-backtest.exe failed"; }
  links="$(grep -c '' "$LIVE/監視銘柄.txt")"
  "$WINE" "$SERVER" "$(winpath "$LIVE")" --paced 40 --exit-at-end --wait-links "$links" \
    2>"$TMP/server.log" &
  server=$!
  for _ in $(seq 1 1200); do grep -qF "serving RSS" "$TMP/server.log" 2>/dev/null && break; sleep 0.1; done
  # Started from its folder, as a shortcut's working folder does: the event viewer saves there.
  (cd "$LIVE" && exec "$WINE" "$EXE" --workdir "$(winpath "$LIVE")" --show-events) \
    >"$TMP/live.log" 2>&1 &
  monitor=$!
  # Once the monitor has answered WM_ENDSESSION, wineboot ends it with TerminateProcess (as
  # Windows may), and Wine sends SIGKILL when it lingers: not a job of this shell, so that is not
  # reported as a crash.
  disown "$monitor"
  start=$SECONDS
  while kill -0 "$server" 2>/dev/null && ((SECONDS - start < 600)); do sleep 0.5; done
  if kill -0 "$server" 2>/dev/null; then
    fail "the test server did not serve its lines within 600 s"
    kill "$server"
  fi
  sleep 3  # the last changes' notices reach the trackers
  save_event_log "$LIVE"
  timeout 60 "$WINE" wineboot --end-session >/dev/null 2>&1
  for _ in $(seq 1 300); do kill -0 "$monitor" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$monitor" 2>/dev/null && { fail "the live monitor outlived the session's end"; kill "$monitor"; }
  tr -d '\r' <"$TMP/server.log" | tail -3 | sed 's/^/  /'
  for side in Asc Dsc; do
    f="${today}_$side.txt"
    if cmp -s "$TMP/bt/$f" "$LIVE/log/$f"; then
      echo "  $side list as kestrel-backtest.exe's: $(grep -c '' "$LIVE/log/$f") issues"
    else
      fail "the live $side list differs from kestrel-backtest.exe's"
      diff <(tr -d '\r' <"$TMP/bt/$f") <(tr -d '\r' <"$LIVE/log/$f" 2>/dev/null) | head -6 | sed 's/^/  /'
    fi
  done
  if [ -n "$EVENT_LOG" ]; then
    sed 's/\r$//' "$TMP/bt.txt" >"$TMP/bt-lines.txt"
    if ! rtf_lines "$EVENT_LOG" >"$TMP/viewer.txt"; then
      fail "the saved event log $(basename "$EVENT_LOG") did not read back"
    elif cmp -s "$TMP/bt-lines.txt" "$TMP/viewer.txt"; then
      echo "  event lines as kestrel-backtest.exe's: $(grep -c '' "$TMP/viewer.txt") lines" \
           "($(basename "$EVENT_LOG"))"
    else
      fail "the live event lines differ from kestrel-backtest.exe's"
      diff "$TMP/bt-lines.txt" "$TMP/viewer.txt" | head -6 | sed 's/^/  /'
    fi
  fi
fi

# 4: debug mode once more, ended by the main window's close box as a user ends it (Alt+F4, which
# the system turns into the close): both lists are saved on the way out, into a folder that had
# none. What they hold after a few seconds of replay depends on the speed of the machine; that a
# replay fills them is step 1's check.
echo "run-wine-gui-tests: debug mode closed by its close box"
CLOSED="$TMP/closed"
cp -r "$ROOT/examples/demo" "$CLOSED"
mkdir -p "$CLOSED/log"
"$WINE" "$EXE" --workdir "$(winpath "$CLOSED")" >"$TMP/closed.log" 2>&1 &
closing=$!
sleep "${KESTREL_WINE_CLOSE_SECONDS:-15}"
main=$(shown '^KESTREL 2005')
if [ -z "$main" ]; then
  fail "the main window was not found to close"
else
  xdo windowraise "$main"
  xdo windowfocus --sync "$main"
  xdo key alt+F4
fi
for _ in $(seq 1 300); do kill -0 "$closing" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$closing" 2>/dev/null; then
  fail "the monitor did not end when its window was closed"
  kill "$closing"
fi
wait "$closing" 2>/dev/null
for side in Asc Dsc; do
  f="$CLOSED/log/${today}_$side.txt"
  if [ -f "$f" ]; then
    echo "  $side list saved at the close: $(grep -c '' "$f") issues"
  else
    fail "no $side list saved when the window was closed"
  fi
done

# 5: the kabuステーション API, simulated, through kestrel-feed.exe to kestrel-watch.exe. The
# simulator's clock stands until every link is open and the feed has had time to register the
# topics; then it moves 100 ms every 200 ms, so each issue changes at most once in 800 ms (the
# API sends one frame per issue per 400 ms) and the monitor reads every change before the next.
FEED="$BUILD/tools/kestrel-feed/kestrel-feed.exe"
WATCH="$WINBUILD/tools/kestrel-watch/kestrel-watch.exe"
KABUSIM="${KESTREL_LINUX_BUILD:-$ROOT/build}/tests/support/kabu-sim"
if [ ! -f "$FEED" ] || [ ! -f "$WATCH" ] || [ ! -f "$BACKTEST" ] || [ ! -x "$KABUSIM" ]; then
  fail "the kabu feed not tried: $FEED (make windows-gui), $WATCH or $BACKTEST (make windows) or $KABUSIM (make build) missing"
else
  echo "run-wine-gui-tests: kestrel-feed.exe --source kabu against kabu-sim, kestrel-watch.exe watching"
  KL="$TMP/kabu"
  mkdir -p "$KL/work/log" "$KL/rec" "$KL/watch" "$KL/bt"
  issues=30
  watchlist="" master=""
  for ((i = 1000; i < 1000 + issues; i++)); do
    watchlist+="$i.T"$'\r\n'
    master+="$i,\"模擬$i\",100,,信用,,東証"$'\r\n'
  done
  printf '%s' "$watchlist" | iconv -f UTF-8 -t CP932 >"$KL/work/監視銘柄.txt"
  printf '%s' "$master" | iconv -f UTF-8 -t CP932 >"$KL/work/銘柄情報.txt"
  cp "$ROOT/examples/demo/株式売買値幅.txt" "$KL/work/"
  printf '[DEBUG]\r\nflg=0\r\n[PARA]\r\nrate=2.0\r\ntime=2\r\n' >"$KL/work/KESTREL.INI"
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  export KABU_API_PASSWORD=kestrel-wine-step
  mkfifo "$KL/sim.in" "$KL/watch.in"
  "$KABUSIM" --port "$port" --simulate "$issues" --changes 20 --speed 0 --push-log "$KL/pushed.txt" \
    <"$KL/sim.in" 2>"$KL/sim.log" &
  sim=$!
  exec {simin}>"$KL/sim.in"
  "$WINE" "$FEED" --source kabu --kabu-url "http://127.0.0.1:$port/kabusapi" \
    --record "$(winpath "$KL/rec")" --record-from "$(winpath "$KL/work")" --record-date "$today" \
    2>"$KL/feed.log" &
  feed=$!
  for _ in $(seq 1 1200); do grep -qF "serving RSS" "$KL/feed.log" 2>/dev/null && break; sleep 0.1; done
  "$WINE" "$WATCH" "$(winpath "$KL/work")" --out "$(winpath "$KL/watch")" --date "$today" --fresh \
    <"$KL/watch.in" >"$KL/watch.raw" 2>"$KL/watch.log" &
  watcher=$!
  exec {watchin}>"$KL/watch.in"
  start=$SECONDS
  until grep -qF "$issues of $issues links open" "$KL/watch.log" 2>/dev/null; do
    if ((SECONDS - start > 120)) || ! kill -0 "$watcher" 2>/dev/null; then break; fi
    sleep 0.2
  done
  if ! grep -qF "$issues of $issues links open" "$KL/watch.log" 2>/dev/null; then
    fail "kestrel-watch.exe did not open its $issues links to kestrel-feed.exe within 120 s"
    tr -d '\r' <"$KL/feed.log" | tail -5 | sed 's/^/  /'
  else
    sleep 5  # the feed registers the topics with the API
    rounds=${KESTREL_WINE_KABU_ROUNDS:-300}
    for ((round = 1; round <= rounds; round++)); do
      echo "advance 100" >&"$simin"
      sleep 0.2
      # Half way the simulator cuts the PUSH connection (no close frame); its clock stands
      # until the feed has opened it again, so no frame is missed.
      if ((round == rounds / 2)); then
        echo drop >&"$simin"
        if waitlog "$KL/feed.log" "PUSH connection is open again" 60; then
          echo "  a cut PUSH connection was opened again"
        else
          fail "kestrel-feed.exe did not open a cut PUSH connection again within 60 s"
        fi
      fi
    done
    sleep 5  # the last frames' notices reach the trackers
    # Another program opens a PUSH connection: the app closes ours with a close frame, and the
    # feed says so instead of taking it back.
    echo rival >&"$simin"
    if waitlog "$KL/feed.log" "another program took" 60; then
      echo "  a PUSH connection taken by another program is said and left to it"
    else
      fail "kestrel-feed.exe did not say that another program took the PUSH connection"
    fi
  fi
  exec {watchin}>&-
  for _ in $(seq 1 600); do kill -0 "$watcher" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$watcher" 2>/dev/null; then
    fail "kestrel-watch.exe did not end at the end of its input"
    kill "$watcher"
  fi
  wait "$watcher" 2>/dev/null
  echo quit >&"$simin"
  exec {simin}>&-
  kill "$feed" 2>/dev/null
  wait "$feed" 2>/dev/null
  wait "$sim" 2>/dev/null
  tr -d '\r' <"$KL/watch.log" | sed 's/^/  /'
  tr -d '\r' <"$KL/feed.log" | head -5 | sed 's/^/  /'
  day="$KL/rec/$today"
  if [ ! -s "$day/kabu.txt" ]; then
    fail "kestrel-feed.exe recorded nothing into $day"
  else
    timeout 300 "$WINE" "$BACKTEST" "$(winpath "$day")" --out "$(winpath "$KL/bt")" --date "$today" \
      >"$KL/bt.raw" 2>"$KL/bt.log" || { tr -d '\r' <"$KL/bt.log"; fail "kestrel-backtest.exe of the recorded day failed"; }
    tr -d '\r' <"$KL/bt.raw" >"$KL/bt.txt"
    tr -d '\r' <"$KL/watch.raw" >"$KL/watch.txt"
    if [ ! -s "$KL/bt.txt" ]; then
      fail "kestrel-backtest.exe printed no event line for the recorded day (nothing to compare)"
    elif cmp -s "$KL/bt.txt" "$KL/watch.txt"; then
      echo "  event lines as kestrel-backtest.exe's of the recording: $(grep -c '' "$KL/watch.txt") lines"
    else
      fail "kestrel-watch.exe's event lines differ from kestrel-backtest.exe's of the recording"
      diff "$KL/bt.txt" "$KL/watch.txt" | head -6 | sed 's/^/  /'
    fi
    # The lists kestrel-watch.exe saved at its end are the backtest's of the recording.
    for side in Asc Dsc; do
      f="${today}_$side.txt"
      if [ -f "$KL/bt/$f" ] && cmp -s "$KL/bt/$f" "$KL/watch/$f"; then
        echo "  $side list as kestrel-backtest.exe's of the recording: $(grep -c '' "$KL/watch/$f") issues"
      else
        fail "kestrel-watch.exe's $side list differs from kestrel-backtest.exe's of the recording"
        diff <(tr -d '\r' <"$KL/bt/$f" 2>/dev/null) <(tr -d '\r' <"$KL/watch/$f" 2>/dev/null) | head -6 | sed 's/^/  /'
      fi
    done
    # Every frame pushed with a trade is a line of the recording.
    if cmp -s <(sort "$KL/pushed.txt") <(sort "$day/kabu.txt"); then
      echo "  the recording holds the $(grep -c '' "$KL/pushed.txt") frames pushed"
    else
      fail "the recorded kabu.txt is not the frames kabu-sim pushed"
      diff <(sort "$KL/pushed.txt") <(sort "$day/kabu.txt") | head -6 | sed 's/^/  /'
    fi
  fi
  unset KABU_API_PASSWORD
fi

if [ ${#FAILED[@]} -gt 0 ]; then
  echo "run-wine-gui-tests: ${#FAILED[@]} failed:"
  printf '  %s\n' "${FAILED[@]}"
  exit 1
fi
echo "run-wine-gui-tests: all passed"
