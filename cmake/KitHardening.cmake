# Hardening for the programs and libraries defined after this is included: position-independent
# executables, read-only relocations bound at start-up (RELRO and BIND_NOW), and the checked
# variants of the C library's string and memory calls. _FORTIFY_SOURCE needs the optimiser, so
# the Debug build (the sanitizer build) goes without it; the sanitizers check those calls there.
include(CheckPIESupported)
check_pie_supported()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
add_link_options(LINKER:-z,relro LINKER:-z,now)
