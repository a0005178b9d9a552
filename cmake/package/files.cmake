# Run by CPack once the components are installed into their package trees: adds to each tree
# the files that only the packages carry, the copyright file, the changelog and the lintian
# overrides.
include(${CMAKE_CURRENT_LIST_DIR}/doc.cmake)
foreach(package IN LISTS CPACK_COMPONENTS_ALL)
    kit_add_package_files(${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${package} ${package})
endforeach()

# dpkg-shlibdeps learns which package provides libzemo for the programs from a package tree
# with the library and its shlibs file. CPack removes DEBIAN/ from each package tree once
# packed, so this one is a copy of the library's tree that is not packed itself.
set(shlibs_tree ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/libzemo1.shlibs)
file(REMOVE_RECURSE ${shlibs_tree})
file(COPY ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/libzemo1/usr DESTINATION ${shlibs_tree})
file(WRITE ${shlibs_tree}/DEBIAN/shlibs "${CPACK_KIT_SHLIBS}\n")
