# Transport: sealing, packetizing with the erasure code.
target_sources(vn_network PRIVATE
  ${VN_AGENT_SRC}/network/encryption.cpp
  ${VN_AGENT_SRC}/network/packetizer.cpp
  ${VN_AGENT_SRC}/network/frame_assembler.cpp
)
target_link_libraries(vn_network PUBLIC vn_encode)
