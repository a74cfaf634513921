# UDP sender benchmark: datagrams per second to a loopback socket.
target_sources(vn_bench PRIVATE udp_sender_bench.cpp)
target_link_libraries(vn_bench PRIVATE vn_network)
