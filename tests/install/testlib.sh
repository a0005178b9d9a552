# Helpers shared by the installation tests. Source it after setting `work` to a scratch
# directory of the test's own; `failures` counts the checks that failed.
failures=0

# fail MESSAGE...: records a failed check and says which.
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# check_run NAME STATUS STDOUT STDERR COMMAND...: runs COMMAND with standard input empty and
# compares its exit status, standard output and standard error with the expected ones, byte
# for byte. Expected texts are given as they should appear, newlines included.
check_run() {
    name=$1 status=$2
    printf '%s' "$3" >"$work/expected.out"
    printf '%s' "$4" >"$work/expected.err"
    shift 4
    "$@" </dev/null >"$work/actual.out" 2>"$work/actual.err"
    actual=$?
    [ "$actual" -eq "$status" ] || fail "$name: exit status $actual, expected $status"
    diff -u "$work/expected.out" "$work/actual.out" >&2 || fail "$name: standard output differs"
    diff -u "$work/expected.err" "$work/actual.err" >&2 || fail "$name: standard error differs"
}

# install_scratch_root BUILD_DIR: installs the build under the prefix /usr/local into a fresh
# scratch root, $work/root, and sets `root` and `prefix` to them.
install_scratch_root() {
    rm -rf "$work" && mkdir -p "$work" || exit 1
    root=$work/root
    prefix=/usr/local
    DESTDIR=$root cmake --install "$1" --prefix "$prefix" >"$work/install.log" ||
        fail "cmake --install into $root"
}

# check_same NAME EXPECTED ACTUAL: compares two texts and shows the difference.
check_same() {
    printf '%s\n' "$2" >"$work/expected.txt"
    printf '%s\n' "$3" >"$work/actual.txt"
    diff -u "$work/expected.txt" "$work/actual.txt" >&2 || fail "$1 differs from what is expected"
}

# listing ROOT: every file and symbolic link under ROOT, one per line, sorted, the links with
# their targets; directories are left out.
listing() {
    (cd "$1" && find . \( -type f -printf '%P\n' \) -o \( -type l -printf '%P -> %l\n' \) |
        LC_ALL=C sort)
}

# The packages, each holding the files of the install component of its name. KIT_ZEMO_TOOLS,
# from the environment, names the programs of zemo-tools; KIT_PYTHON3 is the system's Python
# and KIT_PYTHON_VERSION its directory name, such as python3.11.
kit_packages="dirshift zemo-tools dlprobe libzemo1 libzemo-dev python3-zemo"

# python_dir PREFIX: where the module zemo installs under PREFIX (given without its leading "/").
python_dir() {
    case $1 in
    usr) echo "$1/lib/python3/dist-packages" ;;
    usr/local) echo "$1/lib/$KIT_PYTHON_VERSION/dist-packages" ;;
    *) echo "$1/lib/$KIT_PYTHON_VERSION/site-packages" ;;
    esac
}

# package_listing PACKAGE PREFIX BINDIR LIBDIR INCLUDEDIR MANDIR DATADIR: what listing shows
# for the files of PACKAGE installed under PREFIX (given without its leading "/") with the
# given directories.
package_listing() {
    package=$1 p=$2 bin=$3 lib=$4 inc=$5 man=$6 data=$7
    case $package in
    dirshift)
        echo "$p/$bin/dirShift"
        echo "$p/$man/man1/dirShift.1.gz"
        ;;
    zemo-tools)
        for program in $KIT_ZEMO_TOOLS; do
            echo "$p/$bin/$program"
            echo "$p/$man/man1/$program.1.gz"
            echo "$p/$data/bash-completion/completions/$program"
        done
        echo "$p/$data/bash-completion/completions/zemo-common"
        echo "$p/$man/man7/zemo-interfaces.7.gz"
        ;;
    dlprobe)
        echo "$p/$bin/dlprobe32"
        echo "$p/$bin/dlprobe64"
        echo "$p/$man/man1/dlprobe.1.gz"
        echo "$p/$man/man1/dlprobe32.1.gz -> dlprobe.1.gz"
        echo "$p/$man/man1/dlprobe64.1.gz -> dlprobe.1.gz"
        ;;
    libzemo1)
        echo "$p/$lib/libzemo.so.1 -> libzemo.so.1.2.0"
        echo "$p/$lib/libzemo.so.1.2.0"
        ;;
    libzemo-dev)
        echo "$p/$inc/zemo.h"
        echo "$p/$lib/libzemo.so -> libzemo.so.1"
        echo "$p/$lib/pkgconfig/libzemo.pc"
        echo "$p/$man/man3/zemo.3.gz"
        for alias in ZEMO_ERROR_EXIT zemo_clear zemo_close zemo_last_error zemo_local zemo_lock \
            zemo_open zemo_read zemo_read_message zemo_read_stb zemo_remote \
            zemo_set_error_handler zemo_set_termchar zemo_set_timeout zemo_trigger zemo_unlock \
            zemo_version zemo_wait_srq \
            zemo_write; do
            echo "$p/$man/man3/$alias.3.gz -> zemo.3.gz"
        done
        ;;
    python3-zemo)
        for module in __init__.py _library.py _version.py py.typed; do
            echo "$(python_dir "$p")/zemo/$module"
        done
        ;;
    *) fail "no package $package" ;;
    esac
}

# expected_listing PREFIX BINDIR LIBDIR INCLUDEDIR MANDIR DATADIR: what listing shows for an
# installation of every package.
expected_listing() {
    for package in $kit_packages; do
        package_listing "$package" "$@"
    done | LC_ALL=C sort
}

# check_programs BINDIR LIBDIR: runs every installed program from BINDIR with the loader's
# search path cleared, so that each finds libzemo in LIBDIR only through its own run path.
# Programs installed without a run path, for the system's library directory, get the search
# path LIBDIR when `loader_env` is set to "env LD_LIBRARY_PATH=LIBDIR".
loader_env="env -u LD_LIBRARY_PATH"
check_programs() {
    check_dirshift "$1"
    check_zemo_tools "$1"
    check_dlprobe "$1" "$2/libzemo.so.1"
}

# check_python PYTHONDIR: imports the module zemo installed in PYTHONDIR, which finds libzemo
# by its soname (through `loader_env`), and asks the library's simulated echo a query. No
# byte code is written into the installation. KIT_PYTHON_RUNTIME, from the environment, holds
# the NAME=VALUE entries that a sanitized libzemo needs in Python.
check_python() {
    # shellcheck disable=SC2086
    check_run "import zemo" 0 '1.2.0 *IDN?
' '' $loader_env env -u ZEMO_LIBRARY $KIT_PYTHON_RUNTIME PYTHONPATH="$1" PYTHONDONTWRITEBYTECODE=1 "$KIT_PYTHON3" -c \
        'import zemo; print(zemo.__version__, zemo.open("sim/echo").query("*IDN?"))'
}

# check_dirshift BINDIR: runs dirShift.
check_dirshift() {
    check_run "dirShift -rmn" 0 '../inc/defs.h
' '' $loader_env PWD=/ws/parts/sensor/src "$1/dirShift" -rmn /ws/parts/sensor/inc/defs.h
}

# check_zemo_tools BINDIR: runs the interface tools on the library's simulated instruments
# and on zemosim's.
check_zemo_tools() {
    bin=$1
    check_run "zemorecv -c 16 sim/source" 0 '0123456789abcde
' '' $loader_env "$bin/zemorecv" -c 16 sim/source
    check_run "zemosend sim/sink" 0 '' '' \
        $loader_env sh -c 'echo "*IDN?" | "$1" sim/sink' sh "$bin/zemosend"
    check_run "zemoreset sim/echo" 0 '' '' $loader_env "$bin/zemoreset" sim/echo
    check_zemosim "$bin"
}

# check_dlprobe BINDIR LIBRARY: loads the 64-bit LIBRARY with dlprobe64, and has dlprobe32
# refuse it.
check_dlprobe() {
    bin=$1 library=$2
    check_run "dlprobe64 $library" 0 '' "calling handle = dlopen(\"$library\", RTLD_LAZY)
dlopen returned
calling dlclose(handle)
dlclose returned
" $loader_env "$bin/dlprobe64" "$library"
    # dlprobe32 runs under qemu-i386 where the kernel refuses 32-bit programs.
    check_run "dlprobe32 $library" 1 '' "calling handle = dlopen(\"$library\", RTLD_LAZY)
dlopen returned
$library: wrong ELF class: ELFCLASS64
Error: dlopen of $library failed
" $loader_env bash "$src/tests/support/run_32bit.sh" "$bin/dlprobe32" "$library"
}

# start_zemosim BINDIR: starts the installed zemosim and sets `vxi11` to the VXI-11 name of its
# instrument once it listens; stop_zemosim stops it by its process id.
start_zemosim() {
    : >"$work/zemosim.names"
    $loader_env "$1/zemosim" >"$work/zemosim.names" 2>"$work/zemosim.err" &
    zemosim_pid=$!
    # It prints the names of its instrument once it listens, the HiSLIP name last.
    tries=0
    while ! grep -q '^hislip/' "$work/zemosim.names" && kill -0 "$zemosim_pid" 2>/dev/null &&
        [ "$tries" -lt 300 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    vxi11=$(grep '^vxi11/' "$work/zemosim.names")
    [ -n "$vxi11" ] || fail "zemosim printed no VXI-11 name: $(cat "$work/zemosim.err")"
}
stop_zemosim() {
    kill "$zemosim_pid"
    wait "$zemosim_pid" || fail "zemosim ended with status $? when stopped"
}

# check_zemosim BINDIR: starts the installed zemosim and carries a query and its answer to and
# from its instrument over VXI-11 with the installed tools.
check_zemosim() {
    bin=$1
    start_zemosim "$bin"
    check_run "zemosend *IDN? to zemosim" 0 '' '' \
        $loader_env sh -c 'echo "*IDN?" | "$1" "$2"' sh "$bin/zemosend" "$vxi11"
    check_run "zemorecv the answer from zemosim" 0 'ZEMO,zemosim,0,1.0
' '' $loader_env "$bin/zemorecv" -c 19 "$vxi11"
    check_run "zemoquery *IDN? of zemosim" 0 'ZEMO,zemosim,0,1.0
' '' $loader_env "$bin/zemoquery" "$vxi11" '*IDN?'
    stop_zemosim
}

# check_pkg_config_client ROOT PREFIX LIBDIR INCLUDEDIR CLIENT_FLAGS: builds and runs a small
# program against the libzemo installed under PREFIX in the scratch root ROOT, with the flags
# that `pkg-config libzemo` gives; CLIENT_FLAGS are added when compiling and linking.
check_pkg_config_client() {
    root=$1 prefix=$2 libdir=$3 includedir=$4 client_flags=$5
    # The file names the real prefix; the sysroot maps it into the scratch root.
    export PKG_CONFIG_PATH="$root$prefix/$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$root"
    check_run "pkg-config --modversion" 0 '1.2.0
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
    unset PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR
}

# finish: ends the test, failing when any check failed.
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    exit 0
}
