# Writes the Debian copyright file, in the machine-readable format, from the kit's LICENSE:
# the holder from its "Copyright (c) YEARS HOLDER" line, the license text in full; then the
# paragraph of the libtirpc code that libzemo links in, kept as it is in libtirpc.copyright
# beside this script.
# Usage: cmake -DLICENSE=FILE -DOUTPUT=FILE -P copyright.cmake
file(STRINGS "${LICENSE}" holder REGEX "^Copyright \\(c\\) ")
list(LENGTH holder holders)
if(NOT holders EQUAL 1)
    message(FATAL_ERROR "${LICENSE}: expected one line \"Copyright (c) YEARS HOLDER\", found ${holders}")
endif()
string(REGEX REPLACE "^Copyright \\(c\\) " "" holder "${holder}")

# The text after the title, each line indented by one blank, blank lines as " .".
file(READ "${LICENSE}" text)
string(REGEX REPLACE "^[^\n]*\n\n" "" text "${text}")
string(REGEX REPLACE "\n+$" "" text "${text}")
string(REPLACE "\n\n" "\n.\n" text "${text}")
string(REPLACE "\n" "\n " text "${text}")

file(WRITE "${OUTPUT}" "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: zemokit

Files: *
Copyright: ${holder}
License: Expat
 ${text}
")
file(READ "${CMAKE_CURRENT_LIST_DIR}/libtirpc.copyright" libtirpc)
file(APPEND "${OUTPUT}" "\n${libtirpc}")
