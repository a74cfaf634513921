# Transport benchmarks.
target_sources(vn_bench PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/network_bench.cpp)
target_link_libraries(vn_bench PRIVATE vn_network)
