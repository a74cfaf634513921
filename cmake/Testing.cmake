# vn_register_tests(<target>): each test case of a GoogleTest executable becomes
# a ctest test on Linux. Under Wine every start costs seconds, so on Windows the
# executable runs once as a single ctest test.
include(GoogleTest)
function(vn_register_tests target)
  if(WIN32)
    add_test(NAME ${target} COMMAND ${target} --gtest_color=no)
  else()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 30)
  endif()
endfunction()
