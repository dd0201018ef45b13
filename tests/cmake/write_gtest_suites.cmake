# Writes OUTPUT: an add_test for each suite that PROGRAM lists, run in
# WORKING_DIRECTORY, with ENVIRONMENT (NAME=value) and TIMEOUT when given.
set(more "")
if(ENVIRONMENT)
  string(APPEND more " ENVIRONMENT [==[${ENVIRONMENT}]==]")
endif()
if(TIMEOUT)
  string(APPEND more " TIMEOUT ${TIMEOUT}")
endif()
execute_process(COMMAND "${PROGRAM}" --gtest_list_tests
                OUTPUT_VARIABLE listed RESULT_VARIABLE status TIMEOUT 60)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --gtest_list_tests failed: ${status}")
endif()
string(REPLACE ";" "\\;" listed "${listed}")
string(REPLACE "\n" ";" lines "${listed}")
set(tests "")
foreach(line IN LISTS lines)
  # "Suite." or "Instances/Suite.  # TypeParam = ..."; a test's line is indented.
  if(line MATCHES "^([^ #][^ ]*)\\.( |$)")
    set(suite "${CMAKE_MATCH_1}")
    string(APPEND tests
           "add_test([==[${suite}]==] \"${PROGRAM}\" [==[--gtest_filter=${suite}.*]==])\n"
           "set_tests_properties([==[${suite}]==] PROPERTIES WORKING_DIRECTORY "
           "\"${WORKING_DIRECTORY}\"${more})\n")
  endif()
endforeach()
file(WRITE "${OUTPUT}" "${tests}")
