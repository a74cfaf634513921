# Windows capture tests: DxgiCapture against a fake duplication, the change
# detection of the GDI fallback, and the DesktopCapturer against real windows
# (under Wine: the GDI fallback, inside Xvfb).
add_executable(vn_capture_win_tests
  capture/desktop_capturer_test_win.cpp
  capture/dxgi_capture_test_win.cpp
  capture/picture_diff_test_win.cpp
)
target_link_libraries(vn_capture_win_tests PRIVATE
  vn_capture vn_encode vn_test_support vn_warnings GTest::gtest_main)
vn_register_tests(vn_capture_win_tests)
