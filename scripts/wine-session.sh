# Sourced by the Wine tests: Wine's programs, and a session of its own for one test run.
#   wine_session NAME FIRST LAST
# makes a temporary folder TMP (/tmp/kestrel-NAME.*) holding a fresh prefix (WINEPREFIX), starts
# a virtual X display (DISPLAY) on the first free number from FIRST to LAST, and at the script's
# exit ends every Wine process of the prefix, the display and the folder. fail records a failure
# in FAILED, said with NAME; winpath gives a Linux path as Wine's Z: drive names it.
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINE" ] || WINE="$(command -v wine64)"
[ -x "$WINESERVER" ] || WINESERVER="$(command -v wineserver)"
FAILED=()
XPID=""

wine_session_end() {
  "$WINESERVER" -k 2>/dev/null || true
  "$WINESERVER" -w 2>/dev/null || true
  [ -n "$XPID" ] && kill "$XPID" 2>/dev/null
  rm -rf "$TMP"
}

wine_session() {
  SESSION_NAME=$1
  TMP="$(mktemp -d "/tmp/kestrel-$1.XXXXXX")"
  export WINEPREFIX="$TMP/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  trap wine_session_end EXIT
  local n number=""
  for n in $(seq "$2" "$3"); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { number=$n; break; }
  done
  [ -n "$number" ] || { echo "$1: no free X display from :$2 to :$3"; exit 1; }
  Xvfb ":$number" -screen 0 1280x900x24 -nolisten tcp >/dev/null 2>&1 &
  XPID=$!
  export DISPLAY=":$number"
  for _ in $(seq 1 100); do [ -e "/tmp/.X11-unix/X$number" ] && break; sleep 0.05; done
}

fail() { echo "$SESSION_NAME: FAILED: $*"; FAILED+=("$*"); }
winpath() { printf 'Z:%s' "${1//\//\\}"; }
