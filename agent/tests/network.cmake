# Transport tests: header, sealing, packetizer, erasure code.
add_executable(vn_network_tests
  network/packet_seal_test.cpp
  network/packetizer_test.cpp
  network/erasure_code_test.cpp
  network/frame_assembler_test.cpp
)
target_link_libraries(vn_network_tests PRIVATE vn_network vn_test_support vn_warnings GTest::gtest_main)
vn_register_tests(vn_network_tests)
