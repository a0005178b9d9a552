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

# The packages: libzemo1 holds the shared library, libzemo-dev what building against it needs,
# and zemokit, the component of every rule that names none, the programs and their pages.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME zemokit)
