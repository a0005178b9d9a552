#!/bin/sh
# Installs the build with DESTDIR into a scratch root, then builds and runs a small program
# against the installed libzemo with the flags that `pkg-config libzemo` gives.
# Usage: pkg_config.sh SOURCE_DIR BUILD_DIR WORK_DIR LIBDIR INCLUDEDIR CLIENT_FLAGS
src=$1 build=$2 work=$3 libdir=$4 includedir=$5 client_flags=$6
. "$src/tests/install/testlib.sh"

install_scratch_root "$build"

# The file names the real prefix; the sysroot maps it into the scratch root.
export PKG_CONFIG_PATH="$root$prefix/$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$root"
check_run "pkg-config --modversion" 0 '1.0.0
' '' pkg-config --modversion libzemo
# pkg-config ends its flags with a blank; only the words count.
libs=$(pkg-config --libs libzemo) || fail "pkg-config --libs"
cflags=$(pkg-config --cflags libzemo) || fail "pkg-config --cflags"
# shellcheck disable=SC2086
check_same "pkg-config --libs" "-L$root$prefix/$libdir -lzemo" "$(echo $libs)"
# shellcheck disable=SC2086
check_same "pkg-config --cflags" "-I$root$prefix/$includedir" "$(echo $cflags)"

cat >"$work/client.c" <<'CLIENT'
#include <stdio.h>
#include <zemo.h>

/* Reads 16 bytes from the simulated source through the installed library. */
int main(void) {
    char buffer[16];
    uint64_t received = sizeof buffer;
    zemo_set_error_handler(ZEMO_ERROR_EXIT);
    zemo_handle handle = zemo_open("sim/source");
    zemo_read(handle, buffer, sizeof buffer, 0, &received);
    zemo_close(handle);
    fwrite(buffer, 1, (size_t)received, stdout);
    return 0;
}
CLIENT
# shellcheck disable=SC2086
cc -Wall -Werror $client_flags -o "$work/client" "$work/client.c" $cflags $libs ||
    fail "building a program with the flags of pkg-config libzemo"
check_run "client of the installed libzemo" 0 '0123456789abcde
' '' env LD_LIBRARY_PATH="$root$prefix/$libdir" "$work/client"
finish
