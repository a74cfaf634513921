# Session tests: the frame loop and the feedback rules over fakes, and the
# session loop with fake capture and encoder over loopback TCP. The whole
# session test binds the fixed media ports.
add_library(vn_session_fakes STATIC support/fake_session_parts.cpp)
target_include_directories(vn_session_fakes PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(vn_session_fakes PUBLIC vn_session PRIVATE vn_warnings)

add_executable(vn_session_tests
  core/frame_loop_test.cpp
  core/session_feedback_test.cpp
  core/session_loop_test.cpp
  network/tcp_test_client.cpp
)
target_link_libraries(vn_session_tests PRIVATE vn_session vn_session_fakes vn_test_support vn_warnings GTest::gtest_main)
vn_register_tests(vn_session_tests PROPERTIES RESOURCE_LOCK udp_media_ports)
