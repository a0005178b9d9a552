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

# The system's Python 3, which the package python3-zemo is for and python3-pytest runs the tests
# with, rather than one earlier in PATH; -DKIT_PYTHON3=PATH names another.
find_program(KIT_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
execute_process(COMMAND ${KIT_PYTHON3} -c "import sys; print('python3.%d' % sys.version_info[1])"
                OUTPUT_VARIABLE kit_python_version OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
# Where the module zemo installs, chosen when installing, as the library directory is: Debian's
# directory of the system's modules under /usr, the one its Python reads for local modules under
# /usr/local, and the layout of a virtual environment or ~/.local under any other prefix.
install(CODE "
    if(CMAKE_INSTALL_PREFIX MATCHES \"^/usr/?$\")
        set(kit_pythondir lib/python3/dist-packages)
    elseif(CMAKE_INSTALL_PREFIX MATCHES \"^/usr/local/?$\")
        set(kit_pythondir lib/${kit_python_version}/dist-packages)
    else()
        set(kit_pythondir lib/${kit_python_version}/site-packages)
    endif()" ALL_COMPONENTS)
set(KIT_INSTALL_PYTHONDIR "\${kit_pythondir}")
