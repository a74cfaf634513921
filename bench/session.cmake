# The frame loop end to end on a private Xvfb (Linux): a figure-printing tool,
# not a Google Benchmark. The Xvfb fixture comes from the test support folder.
find_package(X11 REQUIRED)
add_executable(vn_session_bench
  session_bench_linux.cpp
  ${PROJECT_SOURCE_DIR}/agent/tests/support/xvfb_linux.cpp
)
target_include_directories(vn_session_bench PRIVATE ${PROJECT_SOURCE_DIR}/agent/tests)
target_link_libraries(vn_session_bench PRIVATE vn_session vn_warnings X11::X11)
