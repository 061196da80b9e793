#!/bin/sh
# Benchmark of korrin and unkorrin on the largest string an HP49 object can
# hold, and on a small one, where a run is mostly the start of the process.
# Usage: sh run.sh PATH_TO_KORRIN PATH_TO_UNKORRIN
# It prints figures, one "name: value" per line, and judges none of them.
set -eu

if [ $# -ne 2 ]; then
    echo "usage: sh run.sh PATH_TO_KORRIN PATH_TO_UNKORRIN" >&2
    exit 2
fi
korrin=$1
unkorrin=$2
size=524285     # L = 2 * 524285 + 5 = FFFFF hex fills the length field
small=2048
medium=131072   # more than any buffer of either program
pairs=11        # korrin/cp pairs and memory readings; odd, so a median is one of them
runs=5          # runs per timed sample

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
trap 'exit 1' HUP INT TERM
head -c $size /dev/urandom > "$dir/in"
head -c $small /dev/urandom > "$dir/small"
head -c $medium /dev/urandom > "$dir/medium"
: > "$dir/empty"
# A run that fails would measure nothing; these also warm the file cache.
for f in in small medium empty; do
    "$korrin" "$dir/$f" "$dir/$f.hp" > "$dir/dots" || { echo "korrin failed" >&2; exit 1; }
    "$unkorrin" "$dir/$f.hp" "$dir/back" > "$dir/report" || { echo "unkorrin failed" >&2; exit 1; }
done
cp "$dir/in.hp" "$dir/out"

have() { command -v "$1" > /dev/null 2>&1; }
now() { date +%s%N; }   # nanoseconds (GNU date)
if now | grep -q '^[0-9][0-9]*$'; then precise=yes; else precise=no; fi
median() {              # of the numbers on standard input, one a line
    sort -n | awk '{ v[NR] = $1 } END { m = int((NR + 1) / 2)
        print (NR % 2) ? v[m] : (v[m] + v[m + 1]) / 2 }'
}

# 1. Instructions of whole runs, start-up and exit included: korrin's per
# input byte on the largest input, and each program's on the small one,
# where they are mostly the start of the process.
instructions() {        # PROGRAM FROM TO: the total callgrind counts
    valgrind --tool=callgrind --callgrind-out-file="$dir/callgrind" \
        "$1" "$2" "$3" > "$dir/report" 2> "$dir/valgrind.log"
    awk '$1 == "totals:" || $1 == "summary:" { print $2; exit }' "$dir/callgrind"
}
if have valgrind; then
    total=$(instructions "$korrin" "$dir/in" "$dir/out")
    awk -v t="$total" -v n=$size 'BEGIN {
        printf "korrin instructions, largest input: %d\nkorrin instructions per byte: %.2f\n", t, t / n }'
    echo "korrin instructions, $small bytes: $(instructions "$korrin" "$dir/small" "$dir/out")"
    echo "unkorrin instructions, $small bytes: $(instructions "$unkorrin" "$dir/small.hp" "$dir/back")"
else
    echo "instructions: skipped (valgrind not found)"
fi

# 2. Each program against cp on the same file, both whole processes writing
# new files, alternated so that both see the same state of the machine.
# Each sample is a batch of runs less the cost of reading the clock around
# it.  Usage: against_cp NAME PROGRAM FILE; prints the mean wall times and
# the median ratio of the pairs.
against_cp() {
    name=$1 program=$2 file=$3
    i=0
    while [ $i -lt $pairs ]; do
        mkdir "$dir/new"
        t0=$(now)
        r=0; while [ $r -lt $runs ]; do
            "$program" "$file" "$dir/new/out$r" > "$dir/new/report$r"; r=$((r + 1)); done
        t1=$(now)
        r=0; while [ $r -lt $runs ]; do cp "$file" "$dir/new/copy$r"; r=$((r + 1)); done
        t2=$(now)
        echo $((t1 - t0 - clock)) $((t2 - t1 - clock))
        rm -rf "$dir/new"
        i=$((i + 1))
    done > "$dir/times"
    awk -v r=$runs -v n="$name" '{ k += $1; p += $2 } END {
        printf "%s wall time (mean): %.2f ms, cp: %.2f ms\n", n, k / NR / r / 1e6, p / NR / r / 1e6 }' "$dir/times"
    ratio=$(awk '{ printf "%.4f\n", $1 / $2 }' "$dir/times" | median)
    echo "$name time ratio to cp (median of $pairs pairs): $ratio"
}
if [ $precise = yes ]; then
    i=0
    while [ $i -lt $pairs ]; do t0=$(now); t1=$(now); echo $((t1 - t0)); i=$((i + 1)); done > "$dir/clock"
    clock=$(median < "$dir/clock")
    awk -v c="$clock" 'BEGIN { printf "clock reading cost: %.2f ms\n", c / 1e6 }'
    against_cp "korrin, largest input" "$korrin" "$dir/in"
    against_cp "unkorrin, largest object" "$unkorrin" "$dir/in.hp"
    against_cp "korrin, $small bytes" "$korrin" "$dir/small"
    against_cp "unkorrin, $small bytes" "$unkorrin" "$dir/small.hp"
else
    echo "time ratios to cp: skipped (date cannot print nanoseconds)"
fi

# 3. Peak memory: both copies go through fixed buffers, so it should not
# grow with the string.  Between an empty string and one larger than every
# buffer it grows by the buffers alone; past that, not at all.  Address-space randomisation shifts a single reading
# by tens of KiB from run to run; with it turned off (setarch -R) readings
# repeat exactly.  Medians of several readings are compared either way.
if /usr/bin/time -v true > /dev/null 2>&1; then
    fixed=
    if setarch "$(uname -m)" -R true > /dev/null 2>&1; then fixed="setarch $(uname -m) -R"; fi
    i=0
    while [ $i -lt $pairs ]; do
        for f in empty medium in; do
            /usr/bin/time -v -a -o "$dir/time.$f" $fixed "$korrin" "$dir/$f" "$dir/out" > "$dir/dots"
            /usr/bin/time -v -a -o "$dir/time.$f.hp" $fixed "$unkorrin" "$dir/$f.hp" "$dir/back" > "$dir/report"
        done
        i=$((i + 1))
    done
    rss() { awk '/Maximum resident set size/ { print $NF }' "$dir/time.$1" | median; }
    for program in korrin unkorrin; do
        if [ $program = korrin ]; then suffix=; else suffix=.hp; fi
        empty=$(rss empty$suffix); some=$(rss medium$suffix); most=$(rss in$suffix)
        echo "$program peak RSS, empty / $medium bytes / largest string (medians of $pairs):" \
            "$empty / $some / $most KiB; largest less $medium bytes: $((most - some)) KiB"
    done
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
