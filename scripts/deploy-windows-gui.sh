#!/bin/bash
# Puts beside kestrel.exe what it needs to run on a Windows machine as the folder stands: the Qt
# DLLs it links, the Windows platform plugin and style, and the MinGW runtime DLLs those link.
# The same beside kestrel-feed.exe, when it is built: Qt Core and Network for its
# broker source.
# Usage: scripts/deploy-windows-gui.sh BUILD_DIR QT_PREFIX
set -euo pipefail
build=$1 qt=$2
dir=$build/src/kestrel
[ -f "$dir/kestrel.exe" ] || { echo "deploy-windows-gui: $dir/kestrel.exe missing" >&2; exit 1; }
mkdir -p "$dir/platforms" "$dir/styles"
cp "$qt/plugins/platforms/qwindows.dll" "$dir/platforms/"
for style in "$qt"/plugins/styles/*.dll; do [ -f "$style" ] && cp "$style" "$dir/styles/"; done

# Every DLL the given files import that is not the system's, found among Qt's and the
# compiler's, copied once into the folder; their own imports in turn.
search=("$qt/bin" /usr/lib/gcc/x86_64-w64-mingw32/*-posix /usr/x86_64-w64-mingw32/lib)
deploy() {
    local into=$1 file dll d
    shift
    local pending=("$@")
    declare -A seen=()
    while [ ${#pending[@]} -gt 0 ]; do
        file=${pending[0]}
        pending=("${pending[@]:1}")
        [ -f "$file" ] || continue
        for dll in $(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p'); do
            [ -n "${seen[$dll]:-}" ] && continue
            seen[$dll]=1
            for d in "${search[@]}"; do
                if [ -f "$d/$dll" ]; then
                    cp "$d/$dll" "$into/"
                    pending+=("$into/$dll")
                    break
                fi
            done
        done
    done
}
deploy "$dir" "$dir/kestrel.exe" "$dir/platforms/qwindows.dll" "$dir"/styles/*.dll
echo "deploy-windows-gui: $(ls "$dir"/*.dll | wc -l) DLLs beside $dir/kestrel.exe"

feed=$build/tools/kestrel-feed
if [ -f "$feed/kestrel-feed.exe" ]; then
    deploy "$feed" "$feed/kestrel-feed.exe"
    # Every Qt DLL it imports must be there (a feed built without the broker source has none).
    for need in $(x86_64-w64-mingw32-objdump -p "$feed/kestrel-feed.exe" | sed -n 's/^\s*DLL Name: \(Qt6.*\)/\1/p'); do
        [ -f "$feed/$need" ] || { echo "deploy-windows-gui: $need missing beside $feed/kestrel-feed.exe" >&2; exit 1; }
    done
    echo "deploy-windows-gui: $(ls "$feed"/*.dll | wc -l) DLLs beside $feed/kestrel-feed.exe"
fi
