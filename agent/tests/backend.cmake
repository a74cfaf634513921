# Backend connector tests: framing and messages as pure functions, and the
# connector against the WebSocket test backend on loopback (free ports).
add_executable(vn_backend_tests
  network/websocket_frame_test.cpp
  network/backend_messages_test.cpp
)
if(TARGET vn_test_backend)
  target_sources(vn_backend_tests PRIVATE network/saas_connector_test.cpp)
  target_link_libraries(vn_backend_tests PRIVATE vn_test_backend)
endif()
target_link_libraries(vn_backend_tests PRIVATE vn_network vn_test_support vn::json vn_warnings GTest::gtest_main)
vn_register_tests(vn_backend_tests)
