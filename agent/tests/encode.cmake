# Encoder tests: colour conversion and the software encoder.
add_executable(vn_encode_tests
  encode/i420_convert_test.cpp
  encode/software_encoder_test.cpp
)
target_link_libraries(vn_encode_tests PRIVATE vn_encode vn_test_support vn_warnings GTest::gtest_main)
vn_register_tests(vn_encode_tests)
