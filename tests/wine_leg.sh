#!/bin/sh
# Runs a test of the programs (the program tests, or the line's) against
# Windows builds of the programs under wine, in a wine prefix of their own
# that is removed afterwards; WINEPREFIX tells the test where it is.
#
#   sh wine_leg.sh TEST KORRIN_EXE UNKORRIN_EXE
set -eu
program_test=$1
korrin=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
unkorrin=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")

scratch=$(mktemp -d)
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT
# TMPDIR too, or wine leaves folders of its own behind in /tmp.
export WINEPREFIX="$scratch/prefix" TMPDIR="$scratch"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# File names and arguments reach Windows as UTF-8 only in a UTF-8 locale.
export LC_ALL=C.UTF-8

# Making the prefix takes seconds; do it once, and keep one server running
# so each case costs a fraction of a second.  The server opens a serial
# port for its program and so takes the line's terminal for its own, and
# when the line hangs up it lists all its objects on standard error: that
# goes nowhere.
mkdir "$WINEPREFIX"
wineserver -p 2>/dev/null
wineboot -i >/dev/null 2>&1
"$program_test" ${GTEST_FILTER:+"--gtest_filter=$GTEST_FILTER"} --windows -- "$korrin" "$unkorrin"
