#!/bin/bash
# Byte-identity of two kestrel-backtest binaries' studies: study.csv, alerts.csv, report.html,
# every run's lists and the stdout summary, for each case. A case is a list of day folders and
# the study's settings, separated by "--" (one case a line on stdin):
#   DIR [DIR...] -- STUDY-ARGS
# Exit 0 only when every case agrees.
# Usage: bench/compare-study.sh REFERENCE CANDIDATE < cases
set -uo pipefail
ref=$1 new=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0 n=0
while read -r line; do
    [ -z "$line" ] && continue
    n=$((n + 1))
    dirs=${line%% -- *} args=${line#* -- }
    for side in ref new; do
        bin=$ref
        [ $side = new ] && bin=$new
        rm -rf "$work/$side" && mkdir -p "$work/$side"
        # shellcheck disable=SC2086
        "$bin" $dirs $args --date 20261208 --out "$work/$side/study" >"$work/$side/stdout" \
            2>"$work/$side/stderr"
        echo $? >"$work/$side/rc"
        # What may differ: the closing line's time and the study's own folder name.
        sed -i -e 's/; [0-9.]* s$//' -e "s|$work/$side|OUT|g" "$work/$side/stderr" \
            "$work/$side/stdout"
    done
    if diff -r "$work/ref" "$work/new" >"$work/diff"; then
        echo "same: $line ($(du -sb "$work/new/study" | cut -f1) bytes)"
    else
        echo "DIFFERENT: $line"
        head -20 "$work/diff"
        fail=1
    fi
done
echo "$n cases"
exit $fail
