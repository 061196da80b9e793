#!/bin/sh
# Benchmark of korrin on the largest string an HP49 object can hold.
# Usage: sh run.sh PATH_TO_KORRIN
# It prints figures, one "name: value" per line, and judges none of them.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: sh run.sh PATH_TO_KORRIN" >&2
    exit 2
fi
korrin=$1
size=524285     # L = 2 * 524285 + 5 = FFFFF hex fills the length field
pairs=11        # korrin/cp pairs and memory readings; odd, so a median is one of them
runs=5          # runs per timed sample

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
trap 'exit 1' HUP INT TERM
head -c $size /dev/urandom > "$dir/in"
: > "$dir/empty"
# A run that fails would measure nothing; this one also warms the file cache.
"$korrin" "$dir/in" "$dir/out" > "$dir/dots" || { echo "korrin failed" >&2; exit 1; }

have() { command -v "$1" > /dev/null 2>&1; }
now() { date +%s%N; }   # nanoseconds (GNU date)
if now | grep -q '^[0-9][0-9]*$'; then precise=yes; else precise=no; fi
median() {              # of the numbers on standard input, one a line
    sort -n | awk '{ v[NR] = $1 } END { m = int((NR + 1) / 2)
        print (NR % 2) ? v[m] : (v[m] + v[m + 1]) / 2 }'
}

# 1. Instructions of the whole run, start-up and exit included, per input byte.
if have valgrind; then
    valgrind --tool=callgrind --callgrind-out-file="$dir/callgrind" \
        "$korrin" "$dir/in" "$dir/out" > "$dir/dots" 2> "$dir/valgrind.log"
    awk -v n=$size '$1 == "totals:" || $1 == "summary:" {
        printf "instructions: %d\ninstructions per byte: %.2f\n", $2, $2 / n; exit }' \
        "$dir/callgrind"
else
    echo "instructions per byte: skipped (valgrind not found)"
fi

# 2. korrin against cp on the same file, both whole processes writing new
# files, alternated so that both see the same state of the machine.  Each
# sample is a batch of runs less the cost of reading the clock around it.
if [ $precise = yes ]; then
    i=0
    while [ $i -lt $pairs ]; do t0=$(now); t1=$(now); echo $((t1 - t0)); i=$((i + 1)); done > "$dir/clock"
    clock=$(median < "$dir/clock")
    i=0
    while [ $i -lt $pairs ]; do
        mkdir "$dir/new"
        t0=$(now)
        r=0; while [ $r -lt $runs ]; do
            "$korrin" "$dir/in" "$dir/new/obj$r" > "$dir/new/dots$r"; r=$((r + 1)); done
        t1=$(now)
        r=0; while [ $r -lt $runs ]; do cp "$dir/in" "$dir/new/copy$r"; r=$((r + 1)); done
        t2=$(now)
        echo $((t1 - t0 - clock)) $((t2 - t1 - clock))
        rm -rf "$dir/new"
        i=$((i + 1))
    done > "$dir/times"
    awk -v r=$runs -v c="$clock" '{ k += $1; p += $2 } END {
        printf "clock reading cost: %.2f ms\n", c / 1e6
        printf "korrin wall time (mean): %.2f ms\ncp wall time (mean): %.2f ms\n",
            k / NR / r / 1e6, p / NR / r / 1e6 }' "$dir/times"
    ratio=$(awk '{ printf "%.4f\n", $1 / $2 }' "$dir/times" | median)
    echo "time ratio korrin/cp (median of $pairs pairs): $ratio"
else
    echo "time ratio korrin/cp: skipped (date cannot print nanoseconds)"
fi

# 3. Peak memory: the copy goes through fixed buffers, so it should not
# grow with the input.  Address-space randomisation shifts a single reading
# by tens of KiB from run to run; with it turned off (setarch -R) readings
# repeat exactly.  Medians of several readings are compared either way.
if /usr/bin/time -v true > /dev/null 2>&1; then
    fixed=
    if setarch "$(uname -m)" -R true > /dev/null 2>&1; then fixed="setarch $(uname -m) -R"; fi
    i=0
    while [ $i -lt $pairs ]; do
        for f in empty in; do
            /usr/bin/time -v -a -o "$dir/time.$f" $fixed "$korrin" "$dir/$f" "$dir/out" > "$dir/dots"
        done
        i=$((i + 1))
    done
    rss() { awk '/Maximum resident set size/ { print $NF }' "$dir/time.$1" | median; }
    small=$(rss empty)
    large=$(rss in)
    echo "peak RSS empty input (median of $pairs): $small KiB"
    echo "peak RSS largest input (median of $pairs): $large KiB"
    echo "peak RSS difference: $((large - small)) KiB"
else
    echo "peak RSS: skipped (/usr/bin/time -v not available)"
fi

# 4. On a terminal standard output is unbuffered, so each dot is a write of
# its own: this is the run a user watching the dots waits for.
if have script && [ $precise = yes ]; then
    # The shell that script starts expands the exported names itself, so
    # names with spaces reach korrin whole.
    export korrin dir
    t0=$(now)
    # shellcheck disable=SC2016
    script -qefc '"$korrin" "$dir/in" "$dir/out"' /dev/null < /dev/null > /dev/null
    t1=$(now)
    awk -v t=$((t1 - t0)) 'BEGIN { printf "wall time on a terminal: %.1f ms\n", t / 1e6 }'
else
    echo "wall time on a terminal: skipped (script or a nanosecond date not found)"
fi
