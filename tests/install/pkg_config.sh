#!/bin/sh
# Installs the build with DESTDIR into a scratch root, then builds and runs a small program
# against the installed libzemo with the flags that `pkg-config libzemo` gives.
# Usage: pkg_config.sh SOURCE_DIR BUILD_DIR WORK_DIR LIBDIR INCLUDEDIR CLIENT_FLAGS
src=$1 build=$2 work=$3 libdir=$4 includedir=$5 client_flags=$6
. "$src/tests/install/testlib.sh"

install_scratch_root "$build"

check_pkg_config_client "$root" "$prefix" "$libdir" "$includedir" "$client_flags"
finish
