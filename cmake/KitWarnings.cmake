# Warnings for every target of the kit, as errors. Link kit_warnings PRIVATE.
add_library(kit_warnings INTERFACE)
target_compile_options(kit_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wformat=2
    -Wnull-dereference -Wdouble-promotion -Wimplicit-fallthrough -Werror)
