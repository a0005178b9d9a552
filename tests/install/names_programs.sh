#!/bin/sh
# Checks that each page of the instrument programs and the library names in its SEE ALSO every
# program of zemo-tools but its own, zemo(3) and zemo-interfaces(7), and that the README's
# section Install names every program of every package.
# Usage: names_programs.sh SOURCE_DIR WORK_DIR PAGES ZEMO_TOOLS OTHER_PROGRAMS
# PAGES are file names under man/, such as zemo.3; the lists are separated by blanks.
src=$1 work=$2 pages=$3 tools=$4 others=$5
. "$src/tests/install/testlib.sh"

mkdir -p "$work" || exit 1
for page in $pages; do
    sed -n '/^\.Sh SEE ALSO$/,/^\.Sh /p' "$src/man/$page" >"$work/see_also"
    # shellcheck disable=SC2086
    for reference in $(printf '%s.1 ' $tools) zemo.3 zemo-interfaces.7; do
        [ "$reference" = "$page" ] && continue
        grep -qx "\.Xr ${reference%.*} ${reference##*.}\( ,\)\{0,1\}" "$work/see_also" ||
            fail "the SEE ALSO of $page does not name ${reference%.*}(${reference##*.})"
    done
done

sed -n '/^## Install$/,/^## [^I]/p' "$src/README.md" >"$work/install"
[ -s "$work/install" ] || fail "README.md has no section Install"
for program in $tools $others; do
    grep -q "\`$program\`" "$work/install" || fail "the README's section Install does not name $program"
done
finish
