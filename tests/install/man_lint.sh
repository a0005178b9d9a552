#!/bin/sh
# Checks that one man page renders without a single warning from either formatter that
# `man` may use.
# Usage: man_lint.sh SOURCE_DIR WORK_DIR PAGE
src=$1 work=$2 page=$3
. "$src/tests/install/testlib.sh"

mkdir -p "$work" || exit 1
check_run "mandoc -T lint $page" 0 '' '' mandoc -T lint -W warning "$page"
check_run "groff -ww $page" 0 '' '' groff -ww -mandoc -z "$page"
finish
