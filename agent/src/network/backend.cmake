# Backend connector: the WebSocket client, the backend's JSON messages and the
# connection loop with its outbox.
target_sources(vn_network PRIVATE
  ${VN_AGENT_SRC}/network/websocket_frame.cpp
  ${VN_AGENT_SRC}/network/backend_socket.cpp
  ${VN_AGENT_SRC}/network/socket_wait_${VN_PLATFORM}.cpp
  ${VN_AGENT_SRC}/network/backend_websocket.cpp
  ${VN_AGENT_SRC}/network/backend_messages.cpp
  ${VN_AGENT_SRC}/network/backend_outbox.cpp
  ${VN_AGENT_SRC}/network/saas_connector.cpp
)
