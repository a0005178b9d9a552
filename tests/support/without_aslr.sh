#!/bin/sh
# Runs the program named by the first argument, with the arguments after it, with address-space
# randomisation turned off where the system allows it. ThreadSanitizer as g++ 12 builds it cannot
# place its shadow memory among the addresses of a kernel that randomises with more than 28 bits
# (vm.mmap_rnd_bits); without randomisation it always can.
if setarch -R true 2>/dev/null; then
    exec setarch -R "$@"
fi
exec "$@"
