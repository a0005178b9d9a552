# Installation of the kit, laid out by GNUInstallDirs, and the Debian package that CPack builds
# from the same rules. The programs and libzemo install through the rules beside their targets;
# this module adds what belongs to the kit as a whole: the libzemo header and pkg-config file,
# and the man pages. Every path is relative to the prefix, so one build installs under any
# prefix (`cmake --install build --prefix DIR`) and into the package.
include(GNUInstallDirs)

install(FILES ${PROJECT_SOURCE_DIR}/tools/src/libzemo/include/zemo.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# kit_install_pkg_config() installs libzemo.pc. The file is written at install time, so that
# its prefix is the one installed to, whichever that is.
function(kit_install_pkg_config)
    set(template ${CMAKE_BINARY_DIR}/libzemo.pc.in)
    file(WRITE ${template} "prefix=@CMAKE_INSTALL_PREFIX@
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}

Name: libzemo
Description: Instrument-interface library: opens an interface by name and moves bytes to and from it
Version: ${PROJECT_VERSION}
Libs: -L\${libdir} -lzemo
Cflags: -I\${includedir}
")
    set(pc "${CMAKE_INSTALL_LIBDIR}/pkgconfig/libzemo.pc")
    install(CODE "
        set(pc \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${pc}\")
        message(STATUS \"Installing: \${pc}\")
        configure_file(\"${template}\" \"\${pc}\" @ONLY)
        list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${pc}\")")
endfunction()
kit_install_pkg_config()

# kit_install_man_pages(SECTION PAGE... [ALIASES ALIAS=PAGE...]) installs the pages of one
# section from man/, and for each ALIAS a symbolic link ALIAS.SECTION to PAGE.SECTION, so that
# `man ALIAS` finds the page that documents it.
function(kit_install_man_pages section)
    cmake_parse_arguments(ARG "" "" "ALIASES" ${ARGN})
    set(files "")
    foreach(page ${ARG_UNPARSED_ARGUMENTS})
        list(APPEND files ${PROJECT_SOURCE_DIR}/man/${page}.${section})
    endforeach()
    set(link_dir ${CMAKE_BINARY_DIR}/man/man${section})
    file(MAKE_DIRECTORY ${link_dir})
    foreach(alias ${ARG_ALIASES})
        string(REPLACE "=" ";" alias ${alias})
        list(GET alias 0 name)
        list(GET alias 1 page)
        file(CREATE_LINK ${page}.${section} ${link_dir}/${name}.${section} SYMBOLIC)
        list(APPEND files ${link_dir}/${name}.${section})
    endforeach()
    install(FILES ${files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()

kit_install_man_pages(1 dirShift zemoquery zemosend zemorecv zemoreset zemosim dlprobe
    ALIASES dlprobe32=dlprobe dlprobe64=dlprobe)
kit_install_man_pages(3 zemo
    ALIASES zemo_set_error_handler=zemo zemo_open=zemo zemo_set_timeout=zemo zemo_write=zemo
            zemo_read=zemo zemo_clear=zemo zemo_close=zemo ZEMO_ERROR_EXIT=zemo)

# The Debian package: `cpack -G DEB` in the build directory, or `make package`. Its
# dependencies are found by dpkg-shlibdeps from the libraries the programs need.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zemokit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Path adjuster, instrument-interface tools and library, and shared-library load checker")
set(CPACK_PACKAGE_DESCRIPTION
    "dirShift rewrites paths relative to the caller's directory or a related root; zemosend,
zemorecv and zemoreset talk to measurement instruments through libzemo; zemosim serves
simulated instruments; dlprobe32 and dlprobe64 tell whether a shared library loads.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "zemokit maintainers <zemokit@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
