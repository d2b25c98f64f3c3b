# Sourced by the benches that measure kestrel-backtest against the split floor: the tool and the
# floor (built by `make bench`), the generated day (written when missing), a scratch folder, and
# the wall time, median and spread of runs. Sourced with the bench's arguments,
# [DIR] [LINES] [ROUNDS] [-- ARGS]: the tool's own arguments go to `extra`.
dir=${1:-/tmp/kestrel-large}
lines=${2:-10000000}
rounds=${3:-${default_rounds:-3}}
shift $(($# < 3 ? $# : 3))
[ "${1:-}" = -- ] && shift
extra=("$@")
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bt=${KESTREL_BACKTEST:-$root/build-bench/tools/kestrel-backtest/kestrel-backtest}
floor=$root/build-bench/bench/split-floor
[ -x "$bt" ] && [ -x "$floor" ] || { echo "run make bench first" >&2; exit 2; }
if [ ! -f "$dir/kabu.txt" ]; then
    echo "writing $lines lines to $dir ..." >&2
    python3 "$root/bench/make-large.py" "$dir" "$lines"
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# Runs a command; its wall time in w (s), its peak RSS in m (KiB).
wall() { /usr/bin/time -o "$out/t" -f "%e %M" "$@"; read -r w m <"$out/t"; }
median() { sort -n | awk '{ r[NR] = $1 } END { print r[int((NR + 1) / 2)] }'; }
spread() { sort -n | awk 'NR == 1 { lo = $1 } { hi = $1 } END { print lo ".." hi }'; }
# One round's floor run.
floor_round() { wall "$floor" "$dir/kabu.txt" >/dev/null; echo "$w" >>"$out/floor"; }
# The builds measured: bt, and ref when KESTREL_BACKTEST_REF names one; side_bin gives its binary.
sides() { echo bt; [ -z "${KESTREL_BACKTEST_REF:-}" ] || echo ref; }
side_bin() { if [ "$1" = ref ]; then echo "$KESTREL_BACKTEST_REF"; else echo "$bt"; fi; }
# Keeps the last run's wall time, peak RSS and ratio to this round's floor, as KEY, KEYrss and
# KEYratio with SUFFIX after each.
keep() {
    echo "$w" >>"$out/$1$2"
    echo "$m" >>"$out/${1}rss$2"
    awk -v f="$(tail -1 "$out/floor")" -v b="$w" 'BEGIN { printf "%.2f\n", b / f }' \
        >>"$out/${1}ratio$2"
}
