# KIT_STATIC_RUNTIMES: whether libzemo and the interface tools link in the parts they use of the
# C++ runtime (libstdc++, libgcc) and of libtirpc (its XDR routines, in zemonet), instead of
# loading the shared libraries at start-up; for the tools that was most of their start-up. The
# sanitizer builds keep the shared libraries: the sanitizers replace operator new and delete
# and intercept the XDR routines, and call the real ones in the shared libraries loaded.
if(KIT_SANITIZE OR KIT_TSAN_ONLY)
    set(KIT_STATIC_RUNTIMES OFF)
else()
    set(KIT_STATIC_RUNTIMES ON)
endif()

# kit_static_cxx_runtime: link it PRIVATE into a program or shared library to link in the C++
# runtime it uses, dropping the unused sections of the runtime's archives.
add_library(kit_static_cxx_runtime INTERFACE)
if(KIT_STATIC_RUNTIMES)
    target_link_options(kit_static_cxx_runtime INTERFACE
        -static-libstdc++ -static-libgcc LINKER:--gc-sections)
endif()
