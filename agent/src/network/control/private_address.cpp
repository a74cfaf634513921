#include "network/control/private_address.h"

#include <spdlog/spdlog.h>

#include "core/base/log_text.h"

#include <array>
#include <optional>

namespace vn::network {
namespace {

std::optional<std::array<int, 4>> parse_ipv4(std::string_view text) {
  std::array<int, 4> octets{};
  size_t pos = 0;
  for (size_t i = 0; i < octets.size(); ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    const size_t start = pos;
    int value = 0;
    while (pos < text.size() && pos - start < 3 && text[pos] >= '0' && text[pos] <= '9') {
      value = value * 10 + (text[pos] - '0');
      ++pos;
    }
    const size_t digits = pos - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return std::nullopt;
    octets[i] = value;
  }
  if (pos != text.size()) return std::nullopt;
  return octets;
}

}  // namespace

bool is_private_address(std::string_view text) {
  const auto octets = parse_ipv4(text);
  if (!octets) return false;
  const int a = (*octets)[0];
  const int b = (*octets)[1];
  return a == 10 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168) || a == 127;
}

std::string reconcile_udp_ip(const std::string& udp_ip, const std::string& tcp_remote) {
  if (udp_ip.empty()) return udp_ip;
  if (udp_ip == tcp_remote) {
    spdlog::info("TcpControlServer: launcher UDP IP matches TCP remote: {}", udp_ip);
    return udp_ip;
  }
  if (is_private_address(udp_ip)) {
    spdlog::info("TcpControlServer: launcher self-reported UDP IP = {} (overrides TCP remote {})", loggable(udp_ip),
                 tcp_remote);
    return udp_ip;
  }
  spdlog::warn("TcpControlServer: udp_ip '{}' is a different public address from TCP '{}' — ignoring override",
               loggable(udp_ip), tcp_remote);
  return tcp_remote;
}

std::string choose_udp_destination(const std::string& udp_ip, const std::string& tcp_remote) {
  if (!udp_ip.empty()) {
    if (is_private_address(udp_ip) && !tcp_remote.empty() && tcp_remote != udp_ip &&
        !is_private_address(tcp_remote)) {
      spdlog::warn(
          "TcpControlServer: launcher self-reported UDP IP {} is private but TCP remote is {} (public) — "
          "cross-internet session, using TCP remote instead",
          udp_ip, tcp_remote);
      return tcp_remote;
    }
    spdlog::debug("TcpControlServer: using launcher-provided UDP IP: {}", udp_ip);
    return udp_ip;
  }
  if (!tcp_remote.empty()) {
    spdlog::debug("TcpControlServer: using TCP remote IP as UDP dest: {}", tcp_remote);
    return tcp_remote;
  }
  return {};
}

}  // namespace vn::network
