# kit_add_package_files(TREE PACKAGE) adds to the package tree TREE the files that only the
# packages carry: the copyright file and the changelog in /usr/share/doc/PACKAGE, and the
# lintian overrides, each with the reason why its tag does not apply.
function(kit_add_package_files tree package)
    file(COPY ${CPACK_KIT_PACKAGE_FILES} DESTINATION ${tree}/usr/share/doc/${package})
    file(MAKE_DIRECTORY ${tree}/usr/share/lintian/overrides)
    file(COPY_FILE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/lintian-overrides
         ${tree}/usr/share/lintian/overrides/${package})
endfunction()
