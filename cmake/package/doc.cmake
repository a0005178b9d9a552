# kit_add_package_files(TREE PACKAGE) adds to the package tree TREE the files that only the
# packages carry: the copyright file and the changelog in /usr/share/doc/PACKAGE, and the
# lintian overrides, each with the reason why its tag does not apply there: those of
# lintian-overrides beside this script for every package, and those of
# PACKAGE.lintian-overrides for PACKAGE alone.
function(kit_add_package_files tree package)
    file(COPY ${CPACK_KIT_PACKAGE_FILES} DESTINATION ${tree}/usr/share/doc/${package})
    file(READ ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/lintian-overrides overrides)
    set(own ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/${package}.lintian-overrides)
    if(EXISTS ${own})
        file(READ ${own} own_overrides)
        string(APPEND overrides ${own_overrides})
    endif()
    file(WRITE ${tree}/usr/share/lintian/overrides/${package} ${overrides})
endfunction()
