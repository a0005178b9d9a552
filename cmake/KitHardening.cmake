# kit_harden(DIRECTORY...) hardens every program and library defined in the directories:
# position-independent executables, read-only relocations bound at start-up (RELRO and
# BIND_NOW), and the checked variants of the C library's string and memory calls.
# _FORTIFY_SOURCE needs the optimiser, so the Debug build (the sanitizer build) goes without
# it; the sanitizers check those calls there.
include(CheckPIESupported)
check_pie_supported()

function(kit_harden)
    foreach(dir ${ARGN})
        get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
        foreach(target ${targets})
            get_target_property(type ${target} TYPE)
            if(type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|STATIC_LIBRARY|OBJECT_LIBRARY)$")
                set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
                target_compile_definitions(${target} PRIVATE
                    $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
                target_link_options(${target} PRIVATE LINKER:-z,relro LINKER:-z,now)
            endif()
        endforeach()
    endforeach()
endfunction()
