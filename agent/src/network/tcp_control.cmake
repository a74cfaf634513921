# Launcher control channel: handshake, auth and control messages over TCP.
target_sources(vn_network PRIVATE
  ${VN_AGENT_SRC}/network/tcp_control_server.cpp
  ${VN_AGENT_SRC}/network/launcher_auth.cpp
  ${VN_AGENT_SRC}/network/launcher_json.cpp
  ${VN_AGENT_SRC}/network/session_keys.cpp
  ${VN_AGENT_SRC}/network/private_address.cpp
  ${VN_AGENT_SRC}/network/control_messages.cpp
  ${VN_AGENT_SRC}/network/tcp_listen_options_${VN_PLATFORM}.cpp
)
