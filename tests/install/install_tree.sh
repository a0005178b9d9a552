#!/bin/sh
# Installs the build with DESTDIR into a scratch root and checks the tree: every file in place,
# every program runs from the installed location without LD_LIBRARY_PATH, and the interface
# tools refuse to start once libzemo is gone.
# Usage: install_tree.sh SOURCE_DIR BUILD_DIR WORK_DIR BINDIR LIBDIR INCLUDEDIR MANDIR DATADIR
src=$1 build=$2 work=$3 bindir=$4 libdir=$5 includedir=$6 mandir=$7 datadir=$8
. "$src/tests/install/testlib.sh"

install_scratch_root "$build"

check_same "installed files" "$(expected_listing usr/local "$bindir" "$libdir" "$includedir" "$mandir" "$datadir")" \
    "$(listing "$root")"
check_programs "$root$prefix/$bindir" "$root$prefix/$libdir"
loader_env="env LD_LIBRARY_PATH=$root$prefix/$libdir"
check_python "$root/$(python_dir "${prefix#/}")"
loader_env="env -u LD_LIBRARY_PATH"

# Without libzemo the loader refuses to start the tools that need it.
cp -a "$root" "$work/nolib"
rm -f "$work/nolib$prefix/$libdir"/libzemo.so*
for tool in zemoctl zemoquery zemosend zemorecv zemoreset; do
    check_run "$tool without libzemo" 127 '' "$work/nolib$prefix/$bindir/$tool: error while loading shared libraries: libzemo.so.1: cannot open shared object file: No such file or directory
" env -u LD_LIBRARY_PATH "$work/nolib$prefix/$bindir/$tool" sim/sink
done
finish
