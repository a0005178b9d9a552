# Where the kit installs, by GNUInstallDirs, and which package each file belongs to. Include
# it before the targets' own install rules.
#
# The library directory is chosen when installing, from the prefix installed to, as
# GNUInstallDirs does when configuring: the multiarch directory (lib/x86_64-linux-gnu) under
# /usr, where the Debian packages put the library too, and lib/ under any other prefix. Install
# rules give KIT_INSTALL_LIBDIR as their destination.
include(GNUInstallDirs)
if(CMAKE_LIBRARY_ARCHITECTURE)
    set(KIT_MULTIARCH_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
else()
    set(KIT_MULTIARCH_LIBDIR lib)
endif()
install(CODE "
    if(CMAKE_INSTALL_PREFIX MATCHES \"^/usr/?$\")
        set(kit_libdir ${KIT_MULTIARCH_LIBDIR})
    else()
        set(kit_libdir lib)
    endif()" ALL_COMPONENTS)
set(KIT_INSTALL_LIBDIR "\${kit_libdir}")

# Every install rule names the package its files belong to (KitInstall.cmake); a rule that
# names none falls in this component, which no package ships, so that the package test, which
# compares the packages' files with the installed tree, finds it.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME unpackaged)
