#!/bin/bash
# The study's peak memory and wall time as the days grow: N generated days of LINES quote lines
# over 2,000 issues (one day written, the others hard links to it), 12 settings, for each N
# given. With KESTREL_STUDY_REF set to another build of the tool, that one runs right after each,
# on the same days. One study at a time.
# Usage: bench/study-memory.sh BACKTEST [DAYS...]   (default days: 4 10 20; LINES=1000000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bt=$1
shift
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(4 10 20)
lines=${LINES:-1000000}
dir=${KESTREL_STUDY_DAYS:-/tmp/kestrel-study-days}
if [ ! -f "$dir/day/kabu.txt" ]; then
    echo "writing $lines lines to $dir/day ..." >&2
    python3 "$root/bench/make-large.py" "$dir/day" "$lines" 2000
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
max=0
for n in "${counts[@]}"; do ((n > max)) && max=$n; done
for ((i = 1; i <= max; i++)); do
    [ -d "$dir/d$i" ] || cp -al "$dir/day" "$dir/d$i"
done
run() {  # BINARY DAYS
    local days=()
    for ((i = 1; i <= $2; i++)); do days+=("$dir/d$i"); done
    rm -rf "$out/study"
    /usr/bin/time -o "$out/t" -f "%e %M" "$1" "${days[@]}" --sweep-rate 1.5:3:0.5 \
        --sweep-time 1,2,5 --quiet --out "$out/study" 2>/dev/null
    read -r w m <"$out/t"
    printf '%-8s %3d days x 12 settings: %7.1f s, peak RSS %4d MB\n' "$3" "$2" "$w" $((m / 1024))
}
for n in "${counts[@]}"; do
    run "$bt" "$n" tool
    [ -n "${KESTREL_STUDY_REF:-}" ] && run "$KESTREL_STUDY_REF" "$n" ref
done
