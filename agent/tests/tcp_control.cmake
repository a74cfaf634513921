# Launcher control channel tests: handshake and control loop over loopback
# TCP (free ports, never the media ports), the pure rules, and a randomised
# robustness run of the line parsers.
add_executable(vn_tcp_control_tests
  network/tcp_test_client.cpp
  network/tcp_handshake_test.cpp
  network/tcp_control_loop_test.cpp
  network/tcp_control_messages_test.cpp
  network/tcp_udp_destination_test.cpp
  network/tcp_parser_fuzz_test.cpp
)
target_link_libraries(vn_tcp_control_tests PRIVATE vn_network vn_test_support vn_warnings GTest::gtest_main)
vn_register_tests(vn_tcp_control_tests)
