#!/usr/bin/env bash
# Takes docs/screenshot-editor.png: the monitor replaying a fresh copy of examples/demo on a
# virtual X display (Xvfb), with the watch-list editor opened from 編集 → 監視銘柄.
# Usage: scripts/editor-screenshot.sh [BUILD_DIR] [OUT]   (defaults build, docs/screenshot-editor.png)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
out=${2:-$root/docs/screenshot-editor.png}
exe="$build/src/kestrel/kestrel"
[ -x "$exe" ] || { echo "editor-screenshot: $exe is missing" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/demo" "$work/run"
chmod 700 "$work/run"
cp -r "$root/examples/demo/." "$work/demo/"
cat > "$work/shot.sh" <<SHOT
#!/usr/bin/env bash
# A runtime folder of its own: a monitor running elsewhere would take this start for a second one.
export XDG_RUNTIME_DIR="$work/run"
"$exe" --workdir "$work/demo" >"$work/kestrel.log" 2>&1 &
pid=\$!
sleep 8
q=\$(xdotool search --onlyvisible --name '確認' | head -1 || true)
[ -n "\$q" ] && xdotool key --window "\$q" alt+n
sleep 12
# No window manager: the menu 編集 is clicked where the window puts it, then its first item.
xdotool mousemove 400 115 click 1
sleep 1
xdotool key 1
sleep 3
import -window root -crop 800x603+303+108 +repage "$out"
kill \$pid
wait \$pid || true
SHOT
chmod +x "$work/shot.sh"
xvfb-run -a -s "-screen 0 1280x800x24" "$work/shot.sh"
echo "editor-screenshot: wrote $out"
