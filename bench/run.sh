#!/bin/sh
# Benchmark of korrin and unkorrin on the largest string an HP49 object can
# hold, on a small one, where a run is mostly the start of the process, and
# of korrin --text on the largest text.
# Usage: sh run.sh PATH_TO_KORRIN PATH_TO_UNKORRIN
# It prints figures, one "name: value" per line; each figure that has a
# target (the README's Performance table) is printed with it. The exit
# status is 0 when every target is met, and 1, after a list of the misses,
# when any is missed or could not be measured.
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
pairs=21        # alternated pairs; odd, so a median is one of them
runs=5          # runs per timed sample

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
trap 'exit 1' HUP INT TERM
head -c $size /dev/urandom > "$dir/in"
head -c $small /dev/urandom > "$dir/small"
head -c $medium /dev/urandom > "$dir/medium"
: > "$dir/empty"
# The largest text: lines of ASCII letters, digits, + and /, which --text
# turns into a string as long as the file.
head -c 400000 /dev/urandom | base64 -w 76 | head -c $size > "$dir/text"
# A run that fails would measure nothing; these also warm the file cache.
for f in in small medium empty text; do
    "$korrin" "$dir/$f" "$dir/$f.hp" > "$dir/dots" || { echo "korrin failed" >&2; exit 1; }
    "$unkorrin" "$dir/$f.hp" "$dir/back" > "$dir/report" || { echo "unkorrin failed" >&2; exit 1; }
done
cp "$dir/in.hp" "$dir/out"
# --text is judged apart: a build without it still gives the other figures.
if "$korrin" --text "$dir/text" "$dir/text.t.hp" > "$dir/dots" 2>&1 && cmp -s "$dir/text.hp" "$dir/text.t.hp"; then
    text=yes
else
    text=no
fi

have() { command -v "$1" > /dev/null 2>&1; }
now() { date +%s%N; }   # nanoseconds (GNU date)
if now | grep -q '^[0-9][0-9]*$'; then precise=yes; else precise=no; fi
median() {              # of the numbers on standard input, one a line
    sort -n | awk '{ v[NR] = $1 } END { m = int((NR + 1) / 2)
        print (NR % 2) ? v[m] : (v[m] + v[m + 1]) / 2 }'
}

# The judged figures. judge NAME VALUE LIMIT prints the figure with its
# target, at most LIMIT, and records a miss; unmeasured NAME WHY records a
# figure that could not be taken, which is no more a success than a miss.
: > "$dir/missed"
judge() {
    if awk -v v="$2" -v l="$3" 'BEGIN { exit !(v + 0 <= l + 0) }'; then
        echo "$1: $2 (target: at most $3)"
    else
        echo "$1: $2 (target: at most $3) MISSED"
        echo "$1: $2, target at most $3" >> "$dir/missed"
    fi
}
unmeasured() {
    echo "$1: not measured ($2)"
    echo "$1: not measured ($2)" >> "$dir/missed"
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
    echo "korrin instructions, largest input: $total"
    judge "korrin instructions per byte" "$(awk -v t="$total" -v n=$size 'BEGIN { printf "%.2f", t / n }')" 25
    echo "korrin instructions, $small bytes: $(instructions "$korrin" "$dir/small" "$dir/out")"
    echo "unkorrin instructions, $small bytes: $(instructions "$unkorrin" "$dir/small.hp" "$dir/back")"
else
    unmeasured "korrin instructions per byte" "valgrind not found"
fi

# 2. Wall time of one run against another's, both whole processes writing
# new files, alternated so that both see the same state of the machine.
# Each sample is a batch of runs less the cost of reading the clock around
# it.  Usage: against NAME FIRST SECOND LIMIT, where FIRST and SECOND are
# commands that take the file to write; prints the mean wall times and
# judges the median ratio of the pairs, FIRST's time to SECOND's.
against() {
    name=$1 first=$2 second=$3 limit=$4
    i=0
    while [ $i -lt $pairs ]; do
        mkdir "$dir/new"
        t0=$(now)
        r=0; while [ $r -lt $runs ]; do $first "$dir/new/first$r"; r=$((r + 1)); done
        t1=$(now)
        r=0; while [ $r -lt $runs ]; do $second "$dir/new/second$r"; r=$((r + 1)); done
        t2=$(now)
        echo $((t1 - t0 - clock)) $((t2 - t1 - clock))
        rm -rf "$dir/new"
        i=$((i + 1))
    done > "$dir/times"
    awk -v r=$runs -v n="$name" '{ a += $1; b += $2 } END {
        printf "%s wall time (mean): %.2f ms against %.2f ms\n", n, a / NR / r / 1e6, b / NR / r / 1e6 }' "$dir/times"
    judge "$name, time ratio (median of $pairs pairs)" \
        "$(awk '{ printf "%.4f\n", $1 / $2 }' "$dir/times" | median)" "$limit"
}
# The commands compared, each writing the file it is given; a program's
# report goes beside that file.
korrin_largest() { "$korrin" "$dir/in" "$1" > "$1.report"; }
unkorrin_largest() { "$unkorrin" "$dir/in.hp" "$1" > "$1.report"; }
korrin_small() { "$korrin" "$dir/small" "$1" > "$1.report"; }
unkorrin_small() { "$unkorrin" "$dir/small.hp" "$1" > "$1.report"; }
korrin_text() { "$korrin" --text "$dir/text" "$1" > "$1.report"; }
korrin_bytes() { "$korrin" "$dir/text" "$1" > "$1.report"; }
cp_largest() { cp "$dir/in" "$1"; }
cp_largest_object() { cp "$dir/in.hp" "$1"; }
cp_small() { cp "$dir/small" "$1"; }
cp_small_object() { cp "$dir/small.hp" "$1"; }
if [ $precise = yes ]; then
    i=0
    while [ $i -lt $pairs ]; do t0=$(now); t1=$(now); echo $((t1 - t0)); i=$((i + 1)); done > "$dir/clock"
    clock=$(median < "$dir/clock")
    awk -v c="$clock" 'BEGIN { printf "clock reading cost: %.2f ms\n", c / 1e6 }'
    against "korrin against cp, largest input" korrin_largest cp_largest 1.1
    against "unkorrin against cp, largest object" unkorrin_largest cp_largest_object 1.1
    against "korrin against cp, $small bytes" korrin_small cp_small 1.1
    against "unkorrin against cp, $small bytes" unkorrin_small cp_small_object 1.1
    if [ $text = yes ]; then
        against "korrin --text against korrin, largest text" korrin_text korrin_bytes 1.5
    else
        unmeasured "korrin --text against korrin, largest text" \
            "korrin --text failed, or made another object of an ASCII text"
    fi
else
    for figure in "korrin against cp, largest input" "unkorrin against cp, largest object" \
        "korrin against cp, $small bytes" "unkorrin against cp, $small bytes" \
        "korrin --text against korrin, largest text"; do
        unmeasured "$figure" "date cannot print nanoseconds"
    done
fi

# 3. Peak memory: both copies go through fixed buffers, so it should not
# grow with the string.  Between an empty string and one larger than every
# buffer it grows by the buffers alone; past that, not at all, which is the
# target.  The peak is of the memory a run has mapped (valgrind's massif,
# counting pages), which repeats exactly from run to run: a reading of
# resident memory from outside also holds what the launching process had
# before it became the program, which can be more than the program itself
# ever uses.
peak() {                # PROGRAM ARGUMENT...: the peak in KiB
    valgrind --tool=massif --pages-as-heap=yes --massif-out-file="$dir/massif" \
        "$@" > "$dir/report" 2> "$dir/valgrind.log"
    awk -F= '$1 == "mem_heap_B" && $2 > most { most = $2 } END { print int(most / 1024) }' "$dir/massif"
}
if have valgrind; then
    for program in korrin unkorrin; do
        if [ $program = korrin ]; then run=$korrin suffix=; else run=$unkorrin suffix=.hp; fi
        empty=$(peak "$run" "$dir/empty$suffix" "$dir/out")
        some=$(peak "$run" "$dir/medium$suffix" "$dir/out")
        most=$(peak "$run" "$dir/in$suffix" "$dir/out")
        echo "$program peak memory, empty / $medium bytes / largest string: $empty / $some / $most KiB"
        judge "$program peak memory, largest string less $medium bytes, KiB" $((most - some)) 0
    done
    # A text is held whole: it may take its own size above that, in whole
    # pages of 4 KiB, and a page more for the allocator's own header of the
    # block that holds it.
    text_peak=$(peak "$korrin" --text "$dir/text" "$dir/out")
    bytes_peak=$(peak "$korrin" "$dir/text" "$dir/out")
    echo "korrin --text peak memory, largest text: $text_peak KiB"
    judge "korrin --text peak memory less korrin's on the same file, KiB" \
        $((text_peak - bytes_peak)) $(((size + 4095) / 4096 * 4 + 4))
else
    unmeasured "peak memory" "valgrind not found"
fi

# 4. On a terminal standard output is unbuffered, so each block's dots are
# a write of their own: this is the run a user watching the dots waits for.
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

if [ -s "$dir/missed" ]; then
    echo "targets missed:"
    cat "$dir/missed"
    exit 1
fi
echo "every target met"
