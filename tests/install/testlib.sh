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

# expected_listing PREFIX BINDIR LIBDIR INCLUDEDIR MANDIR: what listing shows for an
# installation under PREFIX (given without its leading "/") with the given directories.
expected_listing() {
    p=$1 bin=$2 lib=$3 inc=$4 man=$5
    {
        for program in dirShift dlprobe32 dlprobe64 zemoquery zemorecv zemoreset zemosend zemosim; do
            echo "$p/$bin/$program"
        done
        echo "$p/$inc/zemo.h"
        echo "$p/$lib/libzemo.so -> libzemo.so.1"
        echo "$p/$lib/libzemo.so.1 -> libzemo.so.1.0.0"
        echo "$p/$lib/libzemo.so.1.0.0"
        echo "$p/$lib/pkgconfig/libzemo.pc"
        for page in dirShift dlprobe zemoquery zemorecv zemoreset zemosend zemosim; do
            echo "$p/$man/man1/$page.1"
        done
        echo "$p/$man/man1/dlprobe32.1 -> dlprobe.1"
        echo "$p/$man/man1/dlprobe64.1 -> dlprobe.1"
        echo "$p/$man/man3/zemo.3"
        for alias in ZEMO_ERROR_EXIT zemo_clear zemo_close zemo_open zemo_read \
            zemo_set_error_handler zemo_set_timeout zemo_write; do
            echo "$p/$man/man3/$alias.3 -> zemo.3"
        done
    } | LC_ALL=C sort
}

# check_programs BINDIR LIBDIR: runs every installed program from BINDIR with the loader's
# search path cleared, so that each finds libzemo in LIBDIR only through its own run path.
check_programs() {
    bin=$1 lib=$2
    check_run "dirShift -rmn" 0 '../inc/defs.h
' '' env -u LD_LIBRARY_PATH PWD=/ws/parts/sensor/src "$bin/dirShift" -rmn /ws/parts/sensor/inc/defs.h
    check_run "zemorecv -c 16 sim/source" 0 '0123456789abcde
' '' env -u LD_LIBRARY_PATH "$bin/zemorecv" -c 16 sim/source
    check_run "zemosend sim/sink" 0 '' '' \
        env -u LD_LIBRARY_PATH sh -c 'echo "*IDN?" | "$1" sim/sink' sh "$bin/zemosend"
    check_run "zemoreset sim/echo" 0 '' '' env -u LD_LIBRARY_PATH "$bin/zemoreset" sim/echo
    check_run "dlprobe64 libzemo" 0 '' "calling handle = dlopen(\"$lib/libzemo.so.1\", RTLD_LAZY)
dlopen returned
calling dlclose(handle)
dlclose returned
" env -u LD_LIBRARY_PATH "$bin/dlprobe64" "$lib/libzemo.so.1"
    # dlprobe32 needs no 32-bit libzemo: it runs, and refuses the 64-bit one.
    check_run "dlprobe32 libzemo" 1 '' "calling handle = dlopen(\"$lib/libzemo.so.1\", RTLD_LAZY)
dlopen returned
$lib/libzemo.so.1: wrong ELF class: ELFCLASS64
Error: dlopen of $lib/libzemo.so.1 failed
" env -u LD_LIBRARY_PATH "$bin/dlprobe32" "$lib/libzemo.so.1"
    check_zemosim "$bin"
}

# check_zemosim BINDIR: starts the installed zemosim and carries a query and its answer to and
# from its instrument over VXI-11 with the installed tools, then stops it by its process id.
check_zemosim() {
    bin=$1
    : >"$work/zemosim.names"
    env -u LD_LIBRARY_PATH "$bin/zemosim" >"$work/zemosim.names" 2>"$work/zemosim.err" &
    pid=$!
    # It prints the names of its instrument once it listens.
    tries=0
    while ! grep -q '^socket/' "$work/zemosim.names" && kill -0 "$pid" 2>/dev/null &&
        [ "$tries" -lt 300 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    vxi11=$(grep '^vxi11/' "$work/zemosim.names")
    [ -n "$vxi11" ] || fail "zemosim printed no VXI-11 name: $(cat "$work/zemosim.err")"
    check_run "zemosend *IDN? to zemosim" 0 '' '' \
        env -u LD_LIBRARY_PATH sh -c 'echo "*IDN?" | "$1" "$2"' sh "$bin/zemosend" "$vxi11"
    check_run "zemorecv the answer from zemosim" 0 'ZEMO,zemosim,0,1.0
' '' env -u LD_LIBRARY_PATH "$bin/zemorecv" -c 19 "$vxi11"
    check_run "zemoquery *IDN? of zemosim" 0 'ZEMO,zemosim,0,1.0
' '' env -u LD_LIBRARY_PATH "$bin/zemoquery" "$vxi11" '*IDN?'
    kill "$pid"
    wait "$pid" || fail "zemosim ended with status $? when stopped"
}

# finish: ends the test, failing when any check failed.
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    exit 0
}
