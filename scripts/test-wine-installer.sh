#!/usr/bin/env bash
# The Windows installer (make windows-installer) under Wine, as a trader installs, upgrades and
# removes it, in a fresh Wine prefix on a virtual display:
#   scripts/test-wine-installer.sh [BUILD_DIR] [SCREENSHOT]   (default build-wingui)
# 1. A silent install (/S /D=...): the programs, the uninstaller, the Start-menu entry and the
#    Add/Remove Programs entry are there.
# 2. The installed kestrel.exe, started as the Start-menu entry starts it (--home), makes the
#    trader's folder in the documents from the installed demo and replays it: the grid fills
#    (SCREENSHOT, when given, receives the screen) and the session's end saves a rising list.
# 3. An upgrade, the next version's installer run silently over it, keeps the working folder's
#    resume files and KESTREL.INI byte for byte and leaves one Add/Remove entry, of the new version.
# 4. A silent uninstall removes the program files and the registry entry and leaves the working
#    folder as it was.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build-wingui}"
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac
SHOT="${2:-}"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
SETUP="$BUILD/Kestrel-$version-Setup.exe"
[ -f "$SETUP" ] || { echo "test-wine-installer: $SETUP missing (make windows-installer)"; exit 1; }

# shellcheck source=scripts/wine-session.sh
source "$ROOT/scripts/wine-session.sh"
wine_session test-wine-installer 121 150
# A home of its own, so the prefix's documents folder is a folder of the prefix, not the user's.
mkdir -p "$TMP/home"
export HOME="$TMP/home"
# The Add/Remove Programs entry's value NAME, empty when there is none.
uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall\Kestrel'
reg_value() {
  local hive
  for hive in HKLM HKCU; do
    timeout 60 "$WINE" reg query "$hive\\$uninstall_key" /v "$1" 2>/dev/null | tr -d '\r' |
      awk -v k="$1" '$1 == k {sub(/^[ \t]*[^ \t]+[ \t]+REG_[A-Z_]+[ \t]+/, ""); print; exit}' |
      grep . && return 0
  done
  return 0
}
# Every file of a folder with its checksum, for "as it was".
sums() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum); }

timeout 300 "$WINE" wineboot -i >/dev/null 2>&1
"$WINESERVER" -w

INST="$WINEPREFIX/drive_c/Kestrel"
today=$(date +%Y%m%d)

# 1: the silent install.
echo "test-wine-installer: silent install of $(basename "$SETUP")"
timeout 300 "$WINE" "$SETUP" /S "/D=C:\\Kestrel" >/dev/null 2>&1
"$WINESERVER" -w
for f in bin/kestrel.exe bin/kestrel-feed.exe bin/kestrel-backtest.exe bin/Qt6Core.dll \
         bin/platforms/qwindows.dll share/kestrel/demo/kabu.txt Uninstall.exe; do
  [ -f "$INST/$f" ] || fail "the install has no $f"
done
lnk=$(find "$WINEPREFIX/drive_c" -path '*Start Menu*' -name 'Kestrel.lnk' 2>/dev/null | head -n 1)
[ -n "$lnk" ] || fail "no Start-menu entry Kestrel.lnk"
# The shortcut keeps its arguments in UTF-16.
grep -qaP -- '-\x00-\x00h\x00o\x00m\x00e\x00' "$lnk" 2>/dev/null ||
  fail "the Start-menu entry does not start the monitor with --home"
shown=$(reg_value DisplayVersion)
[ "$shown" = "$version" ] || fail "Add/Remove Programs shows version '${shown}', not $version"
echo "  installed: $(find "$INST" -type f | wc -l) files; Add/Remove Programs: $(reg_value DisplayName) $shown"

# 2: the first start from the Start menu's command line, in the documents.
docs=$(find "$WINEPREFIX/drive_c/users" -maxdepth 2 -name Documents | head -n 1)
HOMEDIR="$docs/Kestrel"
echo "test-wine-installer: the installed monitor, as the Start menu starts it"
"$WINE" "$INST/bin/kestrel.exe" --home >"$TMP/first.log" 2>&1 &
first=$!
sleep "${KESTREL_WINE_GUI_SECONDS:-25}"
if ! kill -0 "$first" 2>/dev/null; then
  cat "$TMP/first.log"
  fail "the installed monitor ended by itself"
else
  [ -n "$SHOT" ] && import -window root "$SHOT" && echo "  screenshot: $SHOT"
  timeout 60 "$WINE" wineboot --end-session >/dev/null 2>&1
  for _ in $(seq 1 300); do kill -0 "$first" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$first" 2>/dev/null && { fail "the monitor outlived the session's end"; kill "$first"; }
fi
wait "$first" 2>/dev/null
tr -d '\r' <"$TMP/first.log" | sed 's/^/  /'
if [ ! -f "$HOMEDIR/KESTREL.INI" ]; then
  fail "the first start made no working folder in the documents ($HOMEDIR)"
else
  cmp -s "$HOMEDIR/kabu.txt" "$ROOT/examples/demo/kabu.txt" ||
    fail "the working folder is no copy of the demo"
  if [ -s "$HOMEDIR/log/${today}_Asc.txt" ]; then
    echo "  the replay's rising list: $(grep -c '' "$HOMEDIR/log/${today}_Asc.txt") issues"
  else
    fail "the replay saved no rising list in $HOMEDIR/log"
  fi
fi

# 3: the next version over it. The trader's own settings first, to see they stay.
if [ -d "$HOMEDIR" ]; then
  printf '[DEBUG]\r\nflg=1\r\n[PARA]\r\nrate=2.5\r\ntime=3\r\n' >"$HOMEDIR/KESTREL.INI"
  sums "$HOMEDIR" >"$TMP/before.txt"
fi
next=$(echo "$version" | awk -F. '{printf "%d.%d.%d", $1, $2, $3 + 1}')
echo "test-wine-installer: upgrade to $next"
(cd "$BUILD" && cpack -G NSIS -B "$TMP/next" -D CPACK_PACKAGE_VERSION="$next" \
   -D CPACK_PACKAGE_FILE_NAME="Kestrel-$next-Setup" -D CPACK_NSIS_DISPLAY_NAME="Kestrel $next" \
   >"$TMP/cpack.log" 2>&1) || { tail -5 "$TMP/cpack.log"; fail "the next version's installer was not made"; }
if [ -f "$TMP/next/Kestrel-$next-Setup.exe" ]; then
  timeout 300 "$WINE" "$TMP/next/Kestrel-$next-Setup.exe" /S "/D=C:\\Kestrel" >/dev/null 2>&1
  "$WINESERVER" -w
  shown=$(reg_value DisplayVersion)
  [ "$shown" = "$next" ] || fail "after the upgrade Add/Remove Programs shows '${shown}', not $next"
  [ -f "$INST/bin/kestrel.exe" ] || fail "the upgrade left no kestrel.exe"
  if [ -d "$HOMEDIR" ]; then
    sums "$HOMEDIR" >"$TMP/after.txt"
    if cmp -s "$TMP/before.txt" "$TMP/after.txt"; then
      echo "  the working folder is as it was: $(grep -c '' "$TMP/after.txt") files"
    else
      fail "the upgrade changed the working folder"
      diff "$TMP/before.txt" "$TMP/after.txt" | head -6 | sed 's/^/  /'
    fi
  fi
fi

# 4: the silent uninstall (the uninstaller copies itself aside and goes on; wineserver -w waits).
echo "test-wine-installer: silent uninstall"
timeout 300 "$WINE" "$INST/Uninstall.exe" /S >/dev/null 2>&1
"$WINESERVER" -w
left=$(find "$INST" -type f 2>/dev/null | wc -l)
[ "$left" = 0 ] || { fail "the uninstall left $left files in $INST"; find "$INST" -type f | head -5 | sed 's/^/  /'; }
[ -z "$(reg_value DisplayName)" ] || fail "the uninstall left the Add/Remove Programs entry"
[ -z "$(find "$WINEPREFIX/drive_c" -path '*Start Menu*' -name 'Kestrel.lnk' 2>/dev/null)" ] ||
  fail "the uninstall left the Start-menu entry"
if [ -d "$HOMEDIR" ]; then
  sums "$HOMEDIR" >"$TMP/after.txt"
  cmp -s "$TMP/before.txt" "$TMP/after.txt" && echo "  the working folder is as it was" ||
    fail "the uninstall changed the working folder"
else
  fail "the uninstall removed the working folder"
fi

if [ ${#FAILED[@]} -gt 0 ]; then
  echo "test-wine-installer: ${#FAILED[@]} failed:"
  printf '  %s\n' "${FAILED[@]}"
  exit 1
fi
echo "test-wine-installer: all passed"
