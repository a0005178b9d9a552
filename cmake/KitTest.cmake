# kit_add_gtest(NAME SOURCES src... [LIBS lib...] [DEFINITIONS def...])
# Builds one GoogleTest program with the kit's warnings and the test-support library
# (tests/support), and registers its tests with CTest under their GoogleTest names, which
# parameterised suites make readable with a name generator. When KIT_TEST_LAUNCHER names a
# program, the tests are listed and run through it, the test program and its arguments after it.
include(GoogleTest)
find_package(GTest REQUIRED)

function(kit_add_gtest name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;DEFINITIONS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    target_link_libraries(${name} PRIVATE
        GTest::gtest GTest::gtest_main kit_warnings kit_test_support ${ARG_LIBS})
    target_compile_definitions(${name} PRIVATE ${ARG_DEFINITIONS})
    if(KIT_TEST_LAUNCHER)
        set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR ${KIT_TEST_LAUNCHER})
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
        PROPERTIES ENVIRONMENT "LC_ALL=C")
endfunction()
