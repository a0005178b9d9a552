#!/bin/sh
# Checks that a man page names every option that its program's usage text shows, so that the
# page cannot fall behind the program.
# Usage: man_options.sh SOURCE_DIR WORK_DIR PAGE PROGRAM [ARGUMENT...]
# The program is run with the arguments, which must make it print its usage text.
src=$1 work=$2 page=$3
shift 3
. "$src/tests/install/testlib.sh"

mkdir -p "$work" || exit 1
"$@" </dev/null >/dev/null 2>"$work/usage" && fail "$* did not fail"
grep -q '^Usage: ' "$work/usage" || fail "$* printed no usage text"
options=$(grep -oE '(^|[[ |])-[A-Za-z]+' "$work/usage" | sed 's/^[[ |]*-//' | LC_ALL=C sort -u)
[ -n "$options" ] || fail "no options found in the usage text of $*"
for option in $options; do
    grep -qE "(^|[ ])Fl $option( |$)" "$page" || fail "$page does not name the option -$option"
done
finish
