#!/bin/bash
# Fails when a C or C++ file of ours is not in the house style (.clang-format). Prints the files
# and what clang-format would change. Usage: scripts/check-format.sh [clang-format]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
fmt=${1:-clang-format}
cd "$root"
mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.h' 'tools/*.cpp' 'tools/*.h' 'tests/*.cpp' \
                     'tests/*.h' 'bench/*.cpp' 'bench/*.h' 'bench/*.c' 2>/dev/null ||
                     find src tools tests bench -name '*.cpp' -o -name '*.h' -o -name '*.c')
bad=0
for f in "${files[@]}"; do
    [ -f "$f" ] || continue
    if ! out=$("$fmt" --style=file "$f" | diff -u "$f" -); then
        echo "check-format: $f is not in the house style:"
        echo "$out" | head -n 20
        bad=1
    fi
done
[ $bad = 0 ] && echo "check-format: ${#files[@]} files in the house style"
exit $bad
