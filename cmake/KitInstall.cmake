# Installation of the kit, laid out by GNUInstallDirs (see KitInstallDirs), and the Debian
# packages that CPack builds from the same rules, one install component each:
#   dirshift     dirShift and its page;
#   zemo-tools   the instrument tools, their pages, the page of interface names,
#                zemo-interfaces(7), and the tools' bash completion;
#   dlprobe      dlprobe32, dlprobe64 and their page;
#   libzemo1     the shared library (its rule is beside the library's target);
#   libzemo-dev  the header, the libzemo.so link, libzemo.pc and the zemo(3) pages;
#   python3-zemo the Python package zemo (its rule is in python/).
# Every path is relative to the prefix, so one build installs under any prefix
# (`cmake --install build --prefix DIR`) and into the packages.

# The programs of zemo-tools. Each has its page, man/PROGRAM.1, and its bash completion,
# completions/PROGRAM, which are installed with it.
set(KIT_ZEMO_TOOLS zemoquery zemosend zemorecv zemoreset zemoctl zemosim)

install(TARGETS dirShift RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT dirshift)
install(TARGETS ${KIT_ZEMO_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT zemo-tools)
install(TARGETS dlprobe32 dlprobe64 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT dlprobe)

install(FILES ${PROJECT_SOURCE_DIR}/tools/src/libzemo/include/zemo.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT libzemo-dev)

# kit_install_pkg_config() installs libzemo.pc. The file is written at install time, so that
# its prefix and library directory are the ones installed to, whichever they are.
function(kit_install_pkg_config)
    set(template ${CMAKE_BINARY_DIR}/libzemo.pc.in)
    file(WRITE ${template} "prefix=@CMAKE_INSTALL_PREFIX@
libdir=\${prefix}/@kit_libdir@
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}

Name: libzemo
Description: Instrument-interface library: opens an interface by name and moves bytes to and from it
Version: ${PROJECT_VERSION}
Libs: -L\${libdir} -lzemo
Cflags: -I\${includedir}
")
    install(CODE "
        set(pc \"\${CMAKE_INSTALL_PREFIX}/\${kit_libdir}/pkgconfig/libzemo.pc\")
        message(STATUS \"Installing: \$ENV{DESTDIR}\${pc}\")
        configure_file(\"${template}\" \"\$ENV{DESTDIR}\${pc}\" @ONLY)
        list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${pc}\")" COMPONENT libzemo-dev)
endfunction()
kit_install_pkg_config()

# Under /usr the system's library path finds libzemo; there the programs lose their relative
# run path, which would point into /usr/lib and could load a stale copy of the library found
# there before the installed one. The programs are those this installation has put in bin/.
install(CODE "
    if(CMAKE_INSTALL_PREFIX MATCHES \"^/usr/?$\")
        foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
            if(file MATCHES \"/${CMAKE_INSTALL_BINDIR}/[^/]+$\")
                file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}\${file}\")
            endif()
        endforeach()
    endif()" COMPONENT zemo-tools)

# kit_install_man_pages(SECTION COMPONENT PAGE... [ALIASES ALIAS=PAGE...]) compresses the pages
# of one section from man/ (gzip -9n: no name or time stamp, so the same page gives the same
# bytes) and installs them in COMPONENT, and for each ALIAS a symbolic link ALIAS.SECTION.gz to
# PAGE.SECTION.gz, so that `man ALIAS` finds the page that documents it.
function(kit_install_man_pages section component)
    cmake_parse_arguments(ARG "" "" "ALIASES" ${ARGN})
    set(dir ${CMAKE_BINARY_DIR}/man/man${section})
    file(MAKE_DIRECTORY ${dir})
    set(files "")
    foreach(page ${ARG_UNPARSED_ARGUMENTS})
        set(source ${PROJECT_SOURCE_DIR}/man/${page}.${section})
        add_custom_command(OUTPUT ${dir}/${page}.${section}.gz
            COMMAND sh -c "gzip -9n -c \"$1\" >\"$2\"" sh ${source} ${dir}/${page}.${section}.gz
            DEPENDS ${source} VERBATIM)
        list(APPEND files ${dir}/${page}.${section}.gz)
    endforeach()
    add_custom_target(man${section}_${component} ALL DEPENDS ${files})
    set_property(GLOBAL APPEND PROPERTY KIT_SHIPPED_TARGETS man${section}_${component})
    foreach(alias ${ARG_ALIASES})
        string(REPLACE "=" ";" alias ${alias})
        list(GET alias 0 name)
        list(GET alias 1 page)
        file(CREATE_LINK ${page}.${section}.gz ${dir}/${name}.${section}.gz SYMBOLIC)
        list(APPEND files ${dir}/${name}.${section}.gz)
    endforeach()
    install(FILES ${files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
            COMPONENT ${component})
endfunction()

kit_install_man_pages(1 dirshift dirShift)
kit_install_man_pages(1 zemo-tools ${KIT_ZEMO_TOOLS})
kit_install_man_pages(7 zemo-tools zemo-interfaces)
kit_install_man_pages(1 dlprobe dlprobe ALIASES dlprobe32=dlprobe dlprobe64=dlprobe)
kit_install_man_pages(3 libzemo-dev zemo
    ALIASES zemo_set_error_handler=zemo zemo_open=zemo zemo_set_timeout=zemo zemo_write=zemo
            zemo_read=zemo zemo_clear=zemo zemo_close=zemo ZEMO_ERROR_EXIT=zemo
            zemo_read_message=zemo zemo_read_stb=zemo zemo_trigger=zemo zemo_lock=zemo
            zemo_unlock=zemo zemo_remote=zemo zemo_local=zemo zemo_last_error=zemo
            zemo_version=zemo zemo_set_termchar=zemo zemo_wait_srq=zemo)

# The tools' bash completion, a file per program named after it, where bash-completion loads
# it on the first completion of the program's arguments; zemo-common holds what they share.
list(TRANSFORM KIT_ZEMO_TOOLS PREPEND ${PROJECT_SOURCE_DIR}/completions/ OUTPUT_VARIABLE completions)
install(FILES ${PROJECT_SOURCE_DIR}/completions/zemo-common ${completions}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT zemo-tools)

# `shipped` builds what the packages hold and nothing else, the tests left out, for `make
# package`.
get_property(man_targets GLOBAL PROPERTY KIT_SHIPPED_TARGETS)
add_custom_target(shipped)
add_dependencies(shipped dirShift ${KIT_ZEMO_TOOLS} dlprobe32 dlprobe64 zemo python_zemo ${man_targets})

include(KitPackage)
