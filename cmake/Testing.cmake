# vn_register_tests(<target> [PROPERTIES <name> <value>...]): each test case of
# a GoogleTest executable becomes a ctest test on Linux. Under Wine every start
# costs seconds, so on Windows the executable runs once as a single ctest test.
# PROPERTIES are set on every ctest test made from the target.
include(GoogleTest)
function(vn_register_tests target)
  cmake_parse_arguments(ARG "" "" "PROPERTIES" ${ARGN})
  if(WIN32)
    add_test(NAME ${target} COMMAND ${target} --gtest_color=no)
    if(ARG_PROPERTIES)
      set_tests_properties(${target} PROPERTIES ${ARG_PROPERTIES})
    endif()
  elseif(ARG_PROPERTIES)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 30 PROPERTIES ${ARG_PROPERTIES})
  else()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 30)
  endif()
endfunction()
