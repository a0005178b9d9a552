# The Debian packages, built by CPack from the install components (`make package`, or
# `cpack -G DEB` in the build directory), one for each kind of user:
#   dirshift      dirShift, for build engineers: a static program that needs no other package;
#   zemo-tools    the instrument tools, the page of interface names and the bash completion,
#                 for lab engineers;
#   dlprobe       the load checkers, the one package that needs the 32-bit C library;
#   libzemo1      the shared library, with its shlibs file and the ldconfig trigger;
#   libzemo-dev   the header, the libzemo.so link, libzemo.pc and the zemo(3) pages;
#   python3-zemo  the Python package zemo, for lab automation in Python;
# and a -dbgsym package of the debugging information of each that holds binaries, which CPack
# strips from the others. They replace zemokit, the one package of everything of release 1,
# whose files dirshift, zemo-tools and dlprobe take over. The files that only packages carry
# (copyright, changelog, lintian overrides) are added to each package's tree by
# package/files.cmake; package/finish.cmake then drops the ldconfig calls CPack writes into the
# library's maintainer scripts, for dpkg's trigger, and mends the -dbgsym packages.
set(kit_package_dir ${CMAKE_BINARY_DIR}/package)
set(kit_maintainer "The zemokit developers <zemokit-devel@zemokit.org>")
set(kit_package_release 1)
set(kit_package_version ${PROJECT_VERSION}-${kit_package_release})

# The copyright file in the machine-readable format, from LICENSE; the changelog compressed as
# the man pages are. Both are built with the kit, so a package cannot carry stale copies.
set(kit_changelog ${kit_package_dir}/changelog.Debian)
set(package zemokit)
set(version ${kit_package_version})
set(maintainer ${kit_maintainer})
configure_file(${PROJECT_SOURCE_DIR}/cmake/package/changelog.Debian.in ${kit_changelog} @ONLY)
add_custom_command(OUTPUT ${kit_package_dir}/copyright
    COMMAND ${CMAKE_COMMAND} -DLICENSE=${PROJECT_SOURCE_DIR}/LICENSE
            -DOUTPUT=${kit_package_dir}/copyright -P ${PROJECT_SOURCE_DIR}/cmake/package/copyright.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/cmake/package/copyright.cmake
            ${PROJECT_SOURCE_DIR}/cmake/package/libtirpc.copyright
    VERBATIM)
add_custom_command(OUTPUT ${kit_changelog}.gz
    COMMAND sh -c "gzip -9n -c \"$1\" >\"$2\"" sh ${kit_changelog} ${kit_changelog}.gz
    DEPENDS ${kit_changelog} VERBATIM)
add_custom_target(package_files ALL DEPENDS ${kit_package_dir}/copyright ${kit_changelog}.gz)
add_dependencies(shipped package_files)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL dirshift zemo-tools dlprobe libzemo1 libzemo-dev python3-zemo)
set(CPACK_PACKAGE_NAME zemokit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${kit_package_release})
set(CPACK_DEBIAN_PACKAGE_SOURCE zemokit)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${kit_maintainer})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
# dpkg-shlibdeps finds libzemo for the programs, and which package provides it, in a copy of
# the library's package tree with its shlibs file, which files.cmake makes.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ../libzemo1.shlibs/usr/${KIT_MULTIARCH_LIBDIR})
# Programs built against libzemo need the version that added the newest calls it exports (the
# node ZEMO_1.2 of zemo.map), not the version being packaged, so the shlibs file is ours rather
# than CPack's, which would name the package's own version; raise it with the next calls.
set(kit_shlibs_version 1.2.0)
set(CPACK_KIT_SHLIBS "libzemo 1 libzemo1 (>= ${kit_shlibs_version})")
file(WRITE ${kit_package_dir}/shlibs "${CPACK_KIT_SHLIBS}\n")

# The packages that take over zemokit's files, which they replace; it is gone from this
# release on.
set(kit_replaced "zemokit (<< ${kit_package_version})")

set(CPACK_DEBIAN_DIRSHIFT_PACKAGE_NAME dirshift)
set(CPACK_DEBIAN_DIRSHIFT_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_DIRSHIFT_PACKAGE_BREAKS ${kit_replaced})
set(CPACK_DEBIAN_DIRSHIFT_PACKAGE_REPLACES ${kit_replaced})
set(CPACK_DEBIAN_DIRSHIFT_DESCRIPTION "path adjuster for build scripts
dirShift rewrites file-system paths relative to the caller's directory or to
a related root, for build scripts that start it thousands of times.

It is a static program: it needs no other package.")

set(CPACK_DEBIAN_ZEMO-TOOLS_PACKAGE_NAME zemo-tools)
set(CPACK_DEBIAN_ZEMO-TOOLS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_ZEMO-TOOLS_PACKAGE_BREAKS ${kit_replaced})
set(CPACK_DEBIAN_ZEMO-TOOLS_PACKAGE_REPLACES ${kit_replaced})
# zemoquery loads libedit only when it starts an interactive session, so dpkg-shlibdeps does
# not see it; without it a session has a plain prompt, no editing and no history.
set(CPACK_DEBIAN_ZEMO-TOOLS_PACKAGE_RECOMMENDS libedit2)
set(CPACK_DEBIAN_ZEMO-TOOLS_DESCRIPTION "tools to talk to measurement instruments
zemoquery sends messages to an instrument and prints the answer of each
query; zemosend, zemorecv and zemoreset send lines to an instrument, copy its
bytes to standard output and send it a device clear; zemoctl reads its status
byte, triggers, locks it and switches it between remote and local. They reach
instruments over VXI-11, HiSLIP, raw sockets, USBTMC and serial lines through
libzemo.

zemosim serves simulated instruments over VXI-11, HiSLIP, raw sockets and
pseudo-terminals, to try the tools and programs without hardware.

The package holds the tools' manual pages, zemo-interfaces(7), which spells
out the names of the instrument interfaces, and their bash completion.")

set(CPACK_DEBIAN_DLPROBE_PACKAGE_NAME dlprobe)
set(CPACK_DEBIAN_DLPROBE_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_DLPROBE_PACKAGE_BREAKS ${kit_replaced})
set(CPACK_DEBIAN_DLPROBE_PACKAGE_REPLACES ${kit_replaced})
set(CPACK_DEBIAN_DLPROBE_DESCRIPTION "shared-library load checkers for 32-bit and 64-bit x86
dlprobe64 and dlprobe32 tell whether a shared library, and every library it
needs, loads into a 64-bit or a 32-bit x86 program, narrating each step.

dlprobe32 needs the 32-bit C library, and a kernel that runs 32-bit programs
or the qemu-i386 emulator.")

set(CPACK_DEBIAN_LIBZEMO1_PACKAGE_NAME libzemo1)
set(CPACK_DEBIAN_LIBZEMO1_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBZEMO1_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/package/triggers
                                               ${kit_package_dir}/shlibs)
set(CPACK_DEBIAN_LIBZEMO1_DESCRIPTION "library to talk to measurement instruments
libzemo opens an instrument interface by its name and writes and reads bytes
through it, with a timeout per interface and one error handler for the whole
program. Simulated instruments, VXI-11, HiSLIP, raw sockets, USBTMC devices
and serial lines are reached through the same calls, which also read the
status byte, trigger, lock the instrument and switch it between remote and
local.

This package holds the shared library.")

set(CPACK_DEBIAN_LIBZEMO-DEV_PACKAGE_NAME libzemo-dev)
set(CPACK_DEBIAN_LIBZEMO-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBZEMO-DEV_PACKAGE_DEPENDS "libzemo1 (= ${kit_package_version})")
# zemo-tools carries zemo-interfaces(7), the names that zemo_open takes, and zemosim.
set(CPACK_DEBIAN_LIBZEMO-DEV_PACKAGE_RECOMMENDS zemo-tools)
set(CPACK_DEBIAN_LIBZEMO-DEV_DESCRIPTION "library to talk to measurement instruments - development files
libzemo opens an instrument interface by its name and writes and reads bytes
through it, with a timeout per interface and one error handler for the whole
program.

This package holds the header, the pkg-config file and the manual pages
needed to build programs that use the library. The names of the interfaces
are spelled out in zemo-interfaces(7), in zemo-tools.")

# Pure Python: it calls libzemo through ctypes, so it depends on the library of the version that
# added the calls it declares, which no shlibs file can tell.
set(CPACK_DEBIAN_PYTHON3-ZEMO_PACKAGE_NAME python3-zemo)
set(CPACK_DEBIAN_PYTHON3-ZEMO_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON3-ZEMO_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON3-ZEMO_PACKAGE_DEPENDS "libzemo1 (>= ${kit_shlibs_version}), python3")
# zemo-tools carries zemo-interfaces(7), the names that zemo.open takes, and zemosim.
set(CPACK_DEBIAN_PYTHON3-ZEMO_PACKAGE_RECOMMENDS zemo-tools)
set(CPACK_DEBIAN_PYTHON3-ZEMO_DESCRIPTION "Python 3 module to talk to measurement instruments
The module zemo opens an instrument interface by its name, sends it messages
and reads its answers whole, text or IEEE 488.2 blocks, reads its status byte,
triggers, locks it and switches it between remote and local, raising an
exception with the reason when a call fails or times out. Simulated
instruments, VXI-11, HiSLIP, raw sockets, USBTMC devices and serial lines are
reached through libzemo, which it calls through ctypes.

The names of the interfaces are spelled out in zemo-interfaces(7), in
zemo-tools.")

# What files.cmake adds: for each package the copyright file, the changelog, and the lintian
# overrides kept in cmake/package/PACKAGE.lintian-overrides, when there are any.
set(CPACK_KIT_PACKAGE_FILES ${kit_package_dir}/copyright ${kit_changelog}.gz)

set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package/files.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package/finish.cmake)
include(CPack)
