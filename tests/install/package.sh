#!/bin/sh
# Builds the Debian packages with CPack, runs lintian on them (unless LINTIAN is "no"), checks
# their control fields and dependencies, installs libzemo1, libzemo-dev and zemokit with dpkg
# into a scratch root, runs every program from there, builds a client against libzemo-dev with
# pkg-config, and removes the packages again, checking that nothing is left.
# Usage: package.sh SOURCE_DIR BUILD_DIR WORK_DIR BINDIR LIBDIR INCLUDEDIR MANDIR CLIENT_FLAGS LINTIAN
src=$1 build=$2 work=$3 bindir=$4 libdir=$5 includedir=$6 mandir=$7 client_flags=$8 lintian=$9
. "$src/tests/install/testlib.sh"

rm -rf "$work" && mkdir -p "$work" || exit 1
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack -G DEB"; finish; }
version=1.1.0-1
packages="libzemo1 libzemo-dev zemokit"
debs="" ddebs=""
for package in $packages; do
    debs="$debs $work/cpack/${package}_${version}_amd64.deb"
done
for package in libzemo1 zemokit; do
    ddebs="$ddebs $work/cpack/$package-dbgsym_${version}_amd64.ddeb"
done
for deb in $debs $ddebs; do
    [ -f "$deb" ] || { fail "no package $deb"; finish; }
done

# Every tag lintian reports, of any severity from warning up, fails the test; a tag that does
# not apply is overridden in the package, with the reason.
if [ "$lintian" != no ]; then
    # shellcheck disable=SC2086
    lintian --fail-on error,warning $debs $ddebs >"$work/lintian.out" 2>"$work/lintian.err" ||
        fail "lintian: $(cat "$work/lintian.out" "$work/lintian.err")"
    [ -s "$work/lintian.out" ] && fail "lintian: $(cat "$work/lintian.out")"
fi

field() { dpkg-deb -f "$work/cpack/${1}_${version}_amd64.deb" "$2"; }
check_same "libzemo-dev Depends" "libzemo1 (= $version)" "$(field libzemo-dev Depends)"
check_same "libzemo1 shlibs" "libzemo 1 libzemo1 (>= 1.1.0)" \
    "$(dpkg-deb -I "$work/cpack/libzemo1_${version}_amd64.deb" shlibs)"
check_same "libzemo1 triggers" "activate-noawait ldconfig" \
    "$(dpkg-deb -I "$work/cpack/libzemo1_${version}_amd64.deb" triggers)"
# The dependencies are those of the programs and the library, and this machine has them all
# but libzemo1, which comes with them.
depends=$(field zemokit Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | LC_ALL=C sort)
for needed in libc6 libc6-i386 libzemo1; do
    echo "$depends" | grep -qx "$needed" || fail "zemokit Depends lacks $needed: $depends"
done
for package in $depends; do
    [ "$package" = libzemo1 ] && continue
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q ' installed$' ||
        fail "dependency $package is not installed here"
done

# Installed by dpkg into an empty root of its own, whose database knows none of the
# dependencies. The packages are unpacked and registered but not configured: configuring runs
# the ldconfig trigger in the root, which has no ldconfig.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
dpkg() { command dpkg --root="$root" --force-depends --force-not-root "$@"; }
# shellcheck disable=SC2086
dpkg --unpack $debs >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log" >&2; fail "dpkg --unpack into $root"; }
expected=$({
    expected_listing usr "$bindir" "$libdir" "$includedir" "$mandir"
    for package in $packages; do
        echo "usr/share/doc/$package/changelog.Debian.gz"
        echo "usr/share/doc/$package/copyright"
        echo "usr/share/lintian/overrides/$package"
    done
} | LC_ALL=C sort)
check_same "files dpkg installed" "$expected" "$(listing "$root/usr" | sed 's|^|usr/|')"
# shellcheck disable=SC2086
check_same "files the packages list" "$expected" "$(dpkg -L $packages | while read -r path; do
        [ -d "$root$path" ] && [ ! -L "$root$path" ] && continue
        [ -L "$root$path" ] && echo "${path#/} -> $(readlink "$root$path")" || echo "${path#/}"
    done | LC_ALL=C sort)"
gzip -dc "$root/usr/share/doc/zemokit/changelog.Debian.gz" | head -1 | grep -q "^zemokit ($version) " ||
    fail "the changelog does not begin with version $version"

# Installed for /usr, the programs have no run path: the system's library directory holds
# libzemo, and here the loader is pointed at the root's.
loader_env="env LD_LIBRARY_PATH=$root/usr/$libdir"
check_programs "$root/usr/$bindir" "$root/usr/$libdir"
check_pkg_config_client "$root" /usr "$libdir" "$includedir" "$client_flags"

# shellcheck disable=SC2086
dpkg --purge $packages >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log" >&2; fail "dpkg --purge in $root"; }
check_same "files left after removal" "" "$(listing "$root" | grep -v '^var/lib/dpkg/')"
finish
