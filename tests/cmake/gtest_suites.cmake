# One CTest test per GoogleTest suite of a test program, for programs of many
# quick tests: a process per test costs more than the test itself. The suites
# are read from the program after each build, as gtest_discover_tests does.
set(_quillon_suites_script ${CMAKE_CURRENT_LIST_DIR}/write_gtest_suites.cmake)

# quillon_discover_gtest_suites(target [ENVIRONMENT NAME=value] [TIMEOUT seconds])
function(quillon_discover_gtest_suites target)
  cmake_parse_arguments(ARG "" "ENVIRONMENT;TIMEOUT" "" ${ARGN})
  set(suites_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_suites.cmake")
  set(include_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_suites_include.cmake")
  add_custom_command(
    TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -D "PROGRAM=$<TARGET_FILE:${target}>" -D "OUTPUT=${suites_file}"
            -D "WORKING_DIRECTORY=${CMAKE_CURRENT_BINARY_DIR}" -D "ENVIRONMENT=${ARG_ENVIRONMENT}"
            -D "TIMEOUT=${ARG_TIMEOUT}" -P ${_quillon_suites_script}
    BYPRODUCTS ${suites_file}
    VERBATIM)
  file(WRITE ${include_file}
       "if(EXISTS \"${suites_file}\")\n"
       "  include(\"${suites_file}\")\n"
       "else()\n"
       "  add_test(${target}_NOT_BUILT ${target}_NOT_BUILT)\n"
       "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
endfunction()
