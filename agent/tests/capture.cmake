# Capture tests: the portable helpers everywhere, the X11 capturer against a
# private Xvfb on Linux.
set(VN_CAPTURE_TESTS
  capture/cursor_compose_test.cpp
  capture/dirty_rects_test.cpp
)

if(WIN32)
  # No vn_capture on Windows yet: the portable helpers are compiled in.
  add_executable(vn_capture_tests
    ${VN_CAPTURE_TESTS}
    ${PROJECT_SOURCE_DIR}/agent/src/capture/cursor_compose.cpp
    ${PROJECT_SOURCE_DIR}/agent/src/capture/dirty_rects.cpp
  )
  target_include_directories(vn_capture_tests PRIVATE ${PROJECT_SOURCE_DIR}/agent/src)
  target_link_libraries(vn_capture_tests PRIVATE vn_warnings GTest::gtest_main)
else()
  find_package(X11 REQUIRED COMPONENTS Xrandr)
  # The Xvfb fixture, also used by the capture benchmarks.
  target_sources(vn_test_support PRIVATE support/xvfb_linux.cpp)

  add_executable(vn_capture_tests
    ${VN_CAPTURE_TESTS}
    capture/x11_capturer_test_linux.cpp
    capture/capture_encode_test_linux.cpp
  )
  target_link_libraries(vn_capture_tests PRIVATE
    vn_capture vn_encode vn_test_support vn_warnings GTest::gtest_main X11::X11 X11::Xrandr)
endif()

vn_register_tests(vn_capture_tests)
