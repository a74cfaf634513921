# The UDP media sender: portable core plus the socket specifics of the system.
target_sources(vn_network PRIVATE
  ${VN_AGENT_SRC}/network/udp_sender.cpp
  ${VN_AGENT_SRC}/network/udp_socket_options_${VN_PLATFORM}.cpp
)
