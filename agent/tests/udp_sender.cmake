# UDP sender tests against loopback launcher sockets. Some bind the fixed media
# ports 48002/48003: every test that does takes the udp_media_ports lock.
add_executable(vn_udp_sender_tests
  network/udp_test_support.cpp
  network/udp_probe_test.cpp
  network/udp_sender_test.cpp
  network/transport_loopback_test.cpp
)
target_link_libraries(vn_udp_sender_tests PRIVATE vn_network vn_test_support vn_warnings GTest::gtest_main)
vn_register_tests(vn_udp_sender_tests PROPERTIES RESOURCE_LOCK udp_media_ports)
