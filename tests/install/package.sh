#!/bin/sh
# Builds the Debian package with CPack, checks its control fields and dependencies, unpacks it
# with dpkg -x and installs it with dpkg into scratch roots, and runs every program from both.
# Usage: package.sh SOURCE_DIR BUILD_DIR WORK_DIR BINDIR LIBDIR INCLUDEDIR MANDIR
src=$1 build=$2 work=$3 bindir=$4 libdir=$5 includedir=$6 mandir=$7
. "$src/tests/install/testlib.sh"

rm -rf "$work" && mkdir -p "$work" || exit 1
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack -G DEB"; finish; }
deb=$work/cpack/zemokit_1.0.0_amd64.deb
[ -f "$deb" ] || { fail "no package $deb"; finish; }

check_run "control fields" 0 'zemokit
1.0.0
amd64
' '' sh -c 'for f in Package Version Architecture; do dpkg-deb -f "$1" $f; done' sh "$deb"
# The dependencies are those of the programs and the library, and this machine has them all.
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | LC_ALL=C sort)
for needed in libc6 libc6-i386; do
    echo "$depends" | grep -qx "$needed" || fail "Depends lacks $needed: $depends"
done
for package in $depends; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q ' installed$' ||
        fail "dependency $package is not installed here"
done

# Unpacked: the same files as any installation, under /usr.
dpkg -x "$deb" "$work/unpacked" || fail "dpkg -x"
check_same "unpacked files" "$(expected_listing usr "$bindir" "$libdir" "$includedir" "$mandir")" \
    "$(listing "$work/unpacked")"
check_programs "$work/unpacked/usr/$bindir" "$work/unpacked/usr/$libdir"

# Installed by dpkg into an empty root of its own, whose database knows none of the
# dependencies. The package is unpacked and registered but not configured: configuring runs
# ldconfig in the root, which has none.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-not-root --unpack "$deb" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log" >&2; fail "dpkg --unpack into $root"; }
check_same "files dpkg installed" "$(expected_listing usr "$bindir" "$libdir" "$includedir" "$mandir")" \
    "$(dpkg --root="$root" -L zemokit | while read -r path; do
        [ -d "$root$path" ] && [ ! -L "$root$path" ] && continue
        [ -L "$root$path" ] && echo "${path#/} -> $(readlink "$root$path")" || echo "${path#/}"
    done | LC_ALL=C sort)"
check_programs "$root/usr/$bindir" "$root/usr/$libdir"
finish
