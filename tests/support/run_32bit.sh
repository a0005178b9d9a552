#!/bin/bash
# Runs a 32-bit x86 program of the build, directly where the kernel runs 32-bit programs and
# under qemu-i386 (Debian's qemu-user) where it refuses them ("Exec format error").
#
#   run_32bit.sh [-0 NAME] PROGRAM [ARGUMENT...]   runs PROGRAM with argv[0] NAME (default
#                                                   PROGRAM) and the arguments; its status
#   run_32bit.sh --way PROGRAM                      prints, on one line, which way PROGRAM runs
#                                                   and why; status 0, or 1 with the reason on
#                                                   standard error when neither way works
#
# The way is decided by starting PROGRAM once with no arguments and no input, so PROGRAM must
# do nothing harmful then (dlprobe32 prints its usage). KIT_RUN_32BIT=direct or
# KIT_RUN_32BIT=qemu-i386 chooses the way instead, so that the emulated way can be tested on a
# kernel that runs 32-bit programs too. Under qemu-i386 the leak checker of a sanitizer build
# never ends at exit, so leak detection is turned off there.
set -u

me=${0##*/}

# way PROGRAM: prints "direct" or "qemu-i386", then the reason, or names what is missing and
# fails.
way() {
    case ${KIT_RUN_32BIT:-} in
        direct | qemu-i386) echo "$KIT_RUN_32BIT as KIT_RUN_32BIT asks"; return 0 ;;
        "") ;;
        *) echo "$me: KIT_RUN_32BIT is '$KIT_RUN_32BIT'; it may be direct or qemu-i386" >&2; return 1 ;;
    esac
    "$1" </dev/null >/dev/null 2>&1
    if [ $? -ne 126 ]; then
        echo "direct as the kernel runs 32-bit programs"
    elif command -v qemu-i386 >/dev/null; then
        echo "qemu-i386 as the kernel refuses 32-bit programs"
    else
        echo "$me: the kernel refuses to run the 32-bit $1, and qemu-i386 (Debian package qemu-user) is not installed" >&2
        return 1
    fi
}

if [ "${1:-}" = --way ]; then
    chosen=$(way "$2") || exit 1
    case $chosen in
        direct*) echo "${2##*/} runs directly, ${chosen#direct as }" ;;
        *) echo "${2##*/} runs under qemu-i386 with leak detection off, ${chosen#qemu-i386 as }" ;;
    esac
    exit 0
fi

name=
if [ "${1:-}" = -0 ]; then
    name=$2
    shift 2
fi
program=$1
shift
chosen=$(way "$program") || exit 127
if [ "${chosen%% *}" = direct ]; then
    exec -a "${name:-$program}" "$program" "$@"
fi
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
exec qemu-i386 -0 "${name:-$program}" "$program" "$@"
