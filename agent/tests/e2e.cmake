# End-to-end session tests (Linux): the agent, the reference launcher and the
# screen painter as real processes on a private Xvfb. They use the fixed media
# ports, so they never run alongside other tests that do.
if(NOT WIN32 AND TARGET launcher AND TARGET screen_painter)
  add_executable(vn_e2e_tests
    e2e/session_e2e_test_linux.cpp
    network/tcp_test_client.cpp
  )
  if(TARGET vn_test_backend)
    target_sources(vn_e2e_tests PRIVATE e2e/backend_e2e_test_linux.cpp)
    target_link_libraries(vn_e2e_tests PRIVATE vn_test_backend)
  endif()
  target_link_libraries(vn_e2e_tests PRIVATE vn_network vn_test_support vn::json vn::sodium vn_warnings GTest::gtest_main)
  target_compile_definitions(vn_e2e_tests PRIVATE
    VN_AGENT_EXE="$<TARGET_FILE:agent>"
    VN_LAUNCHER_EXE="$<TARGET_FILE:launcher>"
    VN_PAINTER_EXE="$<TARGET_FILE:screen_painter>")
  add_dependencies(vn_e2e_tests agent launcher screen_painter)
  vn_register_tests(vn_e2e_tests PROPERTIES RESOURCE_LOCK udp_media_ports)
endif()
