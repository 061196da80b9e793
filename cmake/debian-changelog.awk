# Writes the Debian changelog of the package to the file `out`, from the
# project's CHANGELOG.md: each "## VERSION (YYYY-MM-DD)" heading starts an
# entry, each "- " item becomes a "  * " item, its indented lines (nested
# "- " items included) indented two columns more, and other text is left
# out. The newest heading must name `version`, the
# release being packaged; `package` and `maintainer` fill in the rest. An
# "## Unreleased" heading above it gathers what the next release brings,
# and is left out until it names that release.
# Dates come from the headings, never from the clock, so every build of a
# release writes the same file.

function close_entry() {
    if (entry != "")
        printf "\n -- %s  %s\n", maintainer, entry_date > out
    entry = ""
}

# "2026-12-07" as RFC 5322 wants it: "Mon, 07 Dec 2026 00:00:00 +0000".
function rfc5322_date(iso,    y, m, d, wday) {
    y = substr(iso, 1, 4) + 0
    m = substr(iso, 6, 2) + 0
    d = substr(iso, 9, 2) + 0
    # Sakamoto's rule for the day of the week, 0 being Sunday.
    if (m < 3)
        y--
    wday = (y + int(y / 4) - int(y / 100) + int(y / 400) \
        + substr("032503514624", m, 1) + d) % 7
    if (m < 3)
        y++
    return sprintf("%s, %02d %s %04d 00:00:00 +0000",
        substr("SunMonTueWedThuFriSat", wday * 3 + 1, 3), d,
        substr("JanFebMarAprMayJunJulAugSepOctNovDec", m * 3 - 2, 3), y)
}

/^## Unreleased$/ && entries == 0 {
    next
}

/^## / {
    if (!match($0, /^## [0-9][0-9.]* \([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]\)$/)) {
        print "CHANGELOG.md:" NR ": not \"## VERSION (YYYY-MM-DD)\": " $0 > "/dev/stderr"
        failed = 1
        exit 1
    }
    if (entries == 0 && $2 != version) {
        print "CHANGELOG.md:" NR ": the newest release is " $2 \
            ", the project's version " version > "/dev/stderr"
        failed = 1
        exit 1
    }
    close_entry()
    if (entries++ > 0)
        printf "\n" > out
    printf "%s (%s) unstable; urgency=medium\n\n", package, $2 > out
    entry = $2
    entry_date = rfc5322_date(substr($3, 2, 10))
    in_item = 0
    next
}

entry != "" && /^- / {
    in_item = 1
    line = substr($0, 3)
    gsub(/`/, "", line)
    printf "  * %s\n", line > out
    next
}

entry != "" && in_item && /^  / {
    line = $0
    gsub(/`/, "", line)
    printf "  %s\n", line > out
    next
}

{ in_item = 0 }

END {
    if (failed)
        exit 1
    if (entries == 0) {
        print "CHANGELOG.md: no release heading" > "/dev/stderr"
        exit 1
    }
    close_entry()
}
