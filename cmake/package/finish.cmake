# Run by CPack once the packages are built, to finish two of them as CPack cannot:
# - CPack gives a package with a library under /usr/lib maintainer scripts that call ldconfig;
#   dpkg's ldconfig trigger, which libzemo1 activates, does that once for all the packages
#   installed together, so the scripts are dropped.
# - CPack lists the files of a -dbgsym package in its md5sums by the path they were packed
#   from; the list is made again from the package's own paths. Its documentation directory
#   is a link to that of the package whose debugging information it holds, as in Debian.
# Each is unpacked, changed and packed again in its place.

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    get_filename_component(name ${deb} NAME)
    string(REGEX REPLACE "_.*" "" package ${name})
    if(NOT package STREQUAL "libzemo1" AND NOT name MATCHES "\\.ddeb$")
        continue()
    endif()
    set(tree ${deb}.tree)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
    if(package STREQUAL "libzemo1")
        file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
    else()
        string(REGEX REPLACE "-dbgsym$" "" stripped ${package})
        file(MAKE_DIRECTORY ${tree}/usr/share/doc)
        file(CREATE_LINK ${stripped} ${tree}/usr/share/doc/${package} SYMBOLIC)
        execute_process(COMMAND sh -c "find usr -type f -exec md5sum {} + | LC_ALL=C sort -k 2"
                        WORKING_DIRECTORY ${tree} OUTPUT_FILE ${tree}/DEBIAN/md5sums
                        COMMAND_ERROR_IS_FATAL ANY)
    endif()
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${tree} ${deb}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${tree})
endforeach()
