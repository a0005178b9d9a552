#!/bin/sh
# Builds the Debian packages with CPack, runs lintian on them, checks their control fields and
# dependencies, then installs each package with dpkg into a scratch
# root of its own, alone or with the packages it needs, checks the files, runs its programs,
# and removes it again, checking that nothing is left.
# Usage: package.sh SOURCE_DIR BUILD_DIR WORK_DIR BINDIR LIBDIR INCLUDEDIR MANDIR DATADIR CLIENT_FLAGS SHIPPED
# SHIPPED is "no" for the packages of a sanitizer build, which link the sanitizer runtimes,
# dirShift among them: lintian does not judge them, and their Depends hold more.
src=$1 build=$2 work=$3 bindir=$4 libdir=$5 includedir=$6 mandir=$7 datadir=$8 client_flags=$9
shipped=${10}
. "$src/tests/install/testlib.sh"

rm -rf "$work" && mkdir -p "$work" || exit 1
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack -G DEB"; finish; }
version=1.2.0-1
deb() {
    case $1 in
    python3-zemo) echo "$work/cpack/${1}_${version}_all.deb" ;;
    *) echo "$work/cpack/${1}_${version}_amd64.deb" ;;
    esac
}
debs="" ddebs=""
for package in $kit_packages; do
    debs="$debs $(deb "$package")"
done
for package in dirshift zemo-tools dlprobe libzemo1; do
    ddebs="$ddebs $work/cpack/$package-dbgsym_${version}_amd64.ddeb"
done
for file in $debs $ddebs; do
    [ -f "$file" ] || { fail "no package $file"; finish; }
done
check_same "packages written" "$(for file in $debs $ddebs; do basename "$file"; done | LC_ALL=C sort)" \
    "$(find "$work/cpack" -maxdepth 1 -name '*.*deb' -printf '%f\n' | LC_ALL=C sort)"

# Every tag lintian reports, of any severity from warning up, fails the test; a tag that does
# not apply is overridden in the package, with the reason.
if [ "$shipped" != no ]; then
    # shellcheck disable=SC2086
    lintian --fail-on error,warning $debs $ddebs >"$work/lintian.out" 2>"$work/lintian.err" ||
        fail "lintian: $(cat "$work/lintian.out" "$work/lintian.err")"
    [ -s "$work/lintian.out" ] && fail "lintian: $(cat "$work/lintian.out")"
fi

field() { dpkg-deb -f "$(deb "$1")" "$2"; }
check_same "libzemo-dev Depends" "libzemo1 (= $version)" "$(field libzemo-dev Depends)"
check_same "libzemo-dev Recommends" "zemo-tools" "$(field libzemo-dev Recommends)"
check_same "zemo-tools Recommends" "libedit2" "$(field zemo-tools Recommends)"
check_same "python3-zemo Architecture" "all" "$(field python3-zemo Architecture)"
check_same "python3-zemo Recommends" "zemo-tools" "$(field python3-zemo Recommends)"
check_same "libzemo1 shlibs" "libzemo 1 libzemo1 (>= 1.2.0)" \
    "$(dpkg-deb -I "$(deb libzemo1)" shlibs)"
check_same "libzemo1 triggers" "activate-noawait ldconfig" \
    "$(dpkg-deb -I "$(deb libzemo1)" triggers)"
for package in dirshift zemo-tools dlprobe; do
    check_same "$package Breaks" "zemokit (<< $version)" "$(field "$package" Breaks)"
    check_same "$package Replaces" "zemokit (<< $version)" "$(field "$package" Replaces)"
done

# The dependencies, by name, are those of what each package's programs and library link:
# dirShift is static, and the 32-bit C library is dlprobe's alone. This machine has them all
# but libzemo1, which comes with the packages.
depends() { field "$1" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | LC_ALL=C sort | xargs; }
for expected in "dirshift:" "zemo-tools:libc6 libgcc-s1 libstdc++6 libtirpc3 libzemo1" \
    "dlprobe:libc6 libc6-i386" "libzemo1:libc6" "libzemo-dev:libzemo1" \
    "python3-zemo:libzemo1 python3"; do
    package=${expected%%:*}
    if [ "$shipped" != no ]; then
        check_same "$package Depends" "${expected#*:}" "$(depends "$package")"
    else
        for needed in ${expected#*:}; do
            depends "$package" | grep -qw -- "$needed" || fail "$package Depends lacks $needed"
        done
    fi
    for needed in $(depends "$package"); do
        [ "$needed" = libzemo1 ] && continue
        dpkg-query -W -f='${Status}\n' "$needed" 2>/dev/null | grep -q ' installed$' ||
            fail "dependency $needed of $package is not installed here"
    done
done

# empty_root: makes $work/root an empty root with a dpkg database of its own, and `root` it.
empty_root() {
    root=$work/root
    rm -rf "$root" && mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" || exit 1
    : >"$root/var/lib/dpkg/status"
}

# install_alone PACKAGE...: installs the packages by dpkg into an empty root of their own,
# whose database knows none of the dependencies, and checks the files dpkg installed and
# lists. The packages are unpacked and registered but not configured: configuring runs the
# ldconfig trigger in the root, which has no ldconfig.
install_alone() {
    empty_root
    files=""
    for package in "$@"; do
        files="$files $(deb "$package")"
    done
    # shellcheck disable=SC2086
    dpkg --unpack $files >"$work/dpkg.log" 2>&1 ||
        { cat "$work/dpkg.log" >&2; fail "dpkg --unpack $* into $root"; }
    expected=$(for package in "$@"; do
        package_listing "$package" usr "$bindir" "$libdir" "$includedir" "$mandir" "$datadir"
        echo "usr/share/doc/$package/changelog.Debian.gz"
        echo "usr/share/doc/$package/copyright"
        echo "usr/share/lintian/overrides/$package"
    done | LC_ALL=C sort)
    check_same "files dpkg installed of $*" "$expected" "$(listing "$root/usr" | sed 's|^|usr/|')"
    check_same "files listed by $*" "$expected" "$(dpkg -L "$@" | while read -r path; do
            [ -d "$root$path" ] && [ ! -L "$root$path" ] && continue
            [ -L "$root$path" ] && echo "${path#/} -> $(readlink "$root$path")" || echo "${path#/}"
        done | LC_ALL=C sort)"
    # Installed for /usr, the programs have no run path: the system's library directory holds
    # libzemo, and here the loader is pointed at the root's.
    loader_env="env LD_LIBRARY_PATH=$root/usr/$libdir"
}

# remove PACKAGE...: purges the packages and checks that they leave nothing behind.
remove() {
    dpkg --purge "$@" >"$work/dpkg.log" 2>&1 ||
        { cat "$work/dpkg.log" >&2; fail "dpkg --purge $* in $root"; }
    check_same "files left after removing $*" "" "$(listing "$root" | grep -v '^var/lib/dpkg/')"
}
dpkg() { command dpkg --root="$root" --force-depends --force-not-root "$@"; }

# dirshift alone, installed and configured without forcing anything: it needs no package.
install_alone dirshift
if [ "$shipped" != no ]; then
    command dpkg --root="$root" --force-not-root --configure dirshift >"$work/dpkg.log" 2>&1 ||
        { cat "$work/dpkg.log" >&2; fail "dpkg --configure dirshift, alone"; }
fi
check_dirshift "$root/usr/$bindir"
remove dirshift

# The instrument tools with the library alone; zemosim and the tools talk over VXI-11.
install_alone zemo-tools libzemo1
check_zemo_tools "$root/usr/$bindir"
gzip -dc "$root/usr/share/doc/zemo-tools/changelog.Debian.gz" | head -1 |
    grep -q "^zemokit ($version) " || fail "the changelog does not begin with version $version"
remove zemo-tools libzemo1

# The Python module with the library alone, which needs the version that added the calls it
# declares.
install_alone python3-zemo libzemo1
check_same "python3-zemo Depends" "libzemo1 (>= 1.2.0), python3" "$(field python3-zemo Depends)"
check_python "$root/$(python_dir usr)"
remove python3-zemo libzemo1

# The load checkers alone, on a library of the build tree.
install_alone dlprobe
check_dlprobe "$root/usr/$bindir" "$build/lib/libzemo.so.1"
remove dlprobe

# Over zemokit of release 1, which held one program of each of dirshift, zemo-tools and dlprobe
# (here a stand-in with those files alone): the packages break it, so that dpkg takes it down
# only when allowed to, and take over its files, which they replace.
mkdir -p "$work/zemokit/DEBIAN" "$work/zemokit/usr/bin" || exit 1
printf 'Package: zemokit\nVersion: 1.0.0-1\nArchitecture: amd64\nMaintainer: %s\nDescription: %s\n' \
    'The zemokit developers <zemokit-devel@zemokit.org>' 'release 1 of everything' \
    >"$work/zemokit/DEBIAN/control"
taken="/usr/bin/dirShift:dirshift /usr/bin/zemoquery:zemo-tools /usr/bin/dlprobe64:dlprobe"
for file in $taken; do
    echo 'release 1' >"$work/zemokit${file%:*}"
done
command dpkg-deb --root-owner-group --build "$work/zemokit" "$work/zemokit.deb" >/dev/null ||
    fail "building a stand-in for zemokit"
empty_root
dpkg --install "$work/zemokit.deb" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log" >&2; fail "dpkg --install of the stand-in for zemokit"; }
dpkg --unpack "$(deb dirshift)" >"$work/dpkg.log" 2>&1 &&
    fail "dirshift unpacked over zemokit without leave to deconfigure it: no Breaks"
grep -q 'installing dirshift would break zemokit' "$work/dpkg.log" ||
    fail "dpkg did not refuse dirshift for breaking zemokit: $(cat "$work/dpkg.log")"
dpkg --auto-deconfigure --unpack "$(deb dirshift)" "$(deb zemo-tools)" "$(deb dlprobe)" \
    >"$work/dpkg.log" 2>&1 || fail "unpacking the packages over zemokit: $(cat "$work/dpkg.log")"
for file in $taken; do
    check_same "the package of ${file%:*}" "${file#*:}: ${file%:*}" "$(dpkg --search "${file%:*}")"
done

# The development files: a client built with pkg-config, and the example of zemo(3) asking
# zemosim for its identity.
install_alone libzemo1 libzemo-dev zemo-tools
check_pkg_config_client "$root" /usr "$libdir" "$includedir" "$client_flags"
gzip -dc "$root/usr/$mandir/man3/zemo.3.gz" |
    awk '/^\.Sh EXAMPLES/ { examples = 1 } examples && /^\.Ed/ { exit } code; examples && /^\.Bd -literal/ { code = 1 }' |
    sed 's/\\e/\\/g' >"$work/idn.c"
export PKG_CONFIG_PATH="$root/usr/$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$root"
# shellcheck disable=SC2046,SC2086
cc -Wall -Werror $client_flags -o "$work/idn" "$work/idn.c" $(pkg-config --cflags --libs libzemo) ||
    fail "building the example of zemo(3)"
start_zemosim "$root/usr/$bindir"
# shellcheck disable=SC2086
check_run "the example of zemo(3) asks zemosim *IDN?" 0 'ZEMO,zemosim,0,1.0
' '' $loader_env "$work/idn" "$vxi11"
stop_zemosim
unset PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR
remove libzemo1 libzemo-dev zemo-tools
finish
