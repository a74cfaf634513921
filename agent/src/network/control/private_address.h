#pragma once

#include <string>
#include <string_view>

// Which address UDP media goes to: the launcher's self-reported one or the
// TCP peer's.
namespace vn::network {

// True for dotted-quad IPv4 text (four decimal octets 0-255, no leading
// zeros) in 10/8, 172.16/12, 192.168/16 or 127/8. IPv6 and anything else that
// is not such IPv4 text is not private.
bool is_private_address(std::string_view text);

// The udp_ip the handshake keeps, given the launcher's value and the TCP
// remote address: the launcher's value when it is empty, equal to the TCP
// address or private; otherwise (a different public or unparsable value) the
// TCP address. Logs the decision.
std::string reconcile_udp_ip(const std::string& udp_ip, const std::string& tcp_remote);

// Where UDP media goes, given the kept udp_ip and the TCP remote address
// (empty when unknown): the TCP address when udp_ip is private but the TCP
// peer is a different public address, else udp_ip when set, else the TCP
// address (possibly empty). Logs the decision.
std::string choose_udp_destination(const std::string& udp_ip, const std::string& tcp_remote);

}  // namespace vn::network
