# Capture benchmarks (Linux): the X11 capturer on a private Xvfb. The Xvfb
# fixture is compiled in from the test support folder, which is only a library
# when the tests are built.
find_package(X11 REQUIRED)
target_sources(vn_bench PRIVATE
  capture_bench_linux.cpp
  ${PROJECT_SOURCE_DIR}/agent/tests/support/xvfb_linux.cpp
)
target_include_directories(vn_bench PRIVATE ${PROJECT_SOURCE_DIR}/agent/tests)
target_link_libraries(vn_bench PRIVATE vn_capture X11::X11)
