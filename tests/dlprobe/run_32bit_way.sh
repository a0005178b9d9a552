#!/bin/sh
# Checks how run_32bit.sh chooses its way where the kernel refuses a 32-bit program: under
# qemu-i386 when it is installed, and otherwise a failure that names the missing package. A
# copy of dlprobe32 whose ELF header names another machine (ARM) plays the refused program.
# Usage: run_32bit_way.sh RUN_32BIT DLPROBE32 WORK_DIR
run32=$1 dlprobe32=$2 work=$3
rm -rf "$work" && mkdir -p "$work/empty" || exit 1
refused=$work/refused32
cp "$dlprobe32" "$refused" && printf '\050\000' | dd of="$refused" bs=1 seek=18 conv=notrunc 2>/dev/null ||
    exit 1

failures=0
# check WHAT STATUS STDOUT STDERR COMMAND...: runs COMMAND and compares all three.
check() {
    what=$1 status=$2 out=$3 err=$4
    shift 4
    actual_out=$("$@" 2>"$work/err")
    actual_status=$?
    actual_err=$(cat "$work/err")
    if [ "$actual_status,$actual_out,$actual_err" != "$status,$out,$err" ]; then
        echo "FAIL $what: status $actual_status, out '$actual_out', err '$actual_err'"
        echo "     expected status $status, out '$out', err '$err'"
        failures=$((failures + 1))
    fi
}

missing="run_32bit.sh: the kernel refuses to run the 32-bit $refused, and qemu-i386 (Debian package qemu-user) is not installed"
check "refused, qemu-i386 installed" 0 \
    "refused32 runs under qemu-i386 with leak detection off, the kernel refuses 32-bit programs" "" \
    env -u KIT_RUN_32BIT bash "$run32" --way "$refused"
check "refused, no qemu-i386: the way" 1 "" "$missing" \
    env -u KIT_RUN_32BIT PATH="$work/empty" /bin/bash "$run32" --way "$refused"
check "refused, no qemu-i386: a run" 127 "" "$missing" \
    env -u KIT_RUN_32BIT PATH="$work/empty" /bin/bash "$run32" "$refused" x
check "an unknown way" 1 "" "run_32bit.sh: KIT_RUN_32BIT is 'native'; it may be direct or qemu-i386" \
    env KIT_RUN_32BIT=native bash "$run32" --way "$dlprobe32"
[ $failures -eq 0 ] && echo "4 passed, 0 failed"
exit $failures
