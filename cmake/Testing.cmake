# vn_register_tests(<target> [LABEL <label>] [PROPERTIES <name> <value>...]):
# each test case of a GoogleTest executable becomes a ctest test on Linux.
# Under Wine every start costs seconds, so on Windows the executable runs once
# as a single ctest test. PROPERTIES are set on every ctest test made from the
# target. LABEL tells the kinds apart for `ctest -L`: `unit` (the default: the
# agent's code runs inside the test process), `process` and `e2e` (the agent
# and other programs as child processes), `soak` (many sessions of the agent
# as a process, minutes long), `tools` (the tests of the programs under
# tools/). The target all_<label>_tests builds every test executable of
# a label, so a build can stop at what the tests it runs need (the tsan preset
# builds those of unit, process and e2e).
include(GoogleTest)
function(vn_register_tests target)
  cmake_parse_arguments(ARG "" "LABEL" "PROPERTIES" ${ARGN})
  if(NOT ARG_LABEL)
    set(ARG_LABEL unit)
  endif()
  set(properties LABELS ${ARG_LABEL} ${ARG_PROPERTIES})
  if(NOT TARGET all_${ARG_LABEL}_tests)
    add_custom_target(all_${ARG_LABEL}_tests)
  endif()
  add_dependencies(all_${ARG_LABEL}_tests ${target})
  if(WIN32)
    add_test(NAME ${target} COMMAND ${target} --gtest_color=no)
    set_tests_properties(${target} PROPERTIES ${properties})
  else()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 30 PROPERTIES ${properties})
  endif()
endfunction()
