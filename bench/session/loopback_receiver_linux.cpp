#include "session/loopback_receiver_linux.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/base/clock.h"

namespace vn::bench {
namespace {

constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;  // so loopback bursts are not dropped

}  // namespace

LoopbackReceiver::~LoopbackReceiver() {
  stop();
  if (fd_ >= 0) close(fd_);
}

bool LoopbackReceiver::open() {
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd_ < 0) return false;
  // Past net.core.rmem_max only the forcing option (root) gets the size.
  if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes, sizeof(kReceiveBufferBytes)) != 0) {
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof(kReceiveBufferBytes));
  }
  socklen_t length = sizeof(buffer_bytes_);
  getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer_bytes_, &length);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return false;
  length = sizeof(address);
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { run(); });
  return true;
}

void LoopbackReceiver::stop() {
  stopping_.store(true);
  if (thread_.joinable()) thread_.join();
}

void LoopbackReceiver::run() {
  std::vector<uint8_t> buffer(65536);
  network::FrameAssembler::Frame frame;
  while (!stopping_.load()) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    while (true) {
      const ssize_t n = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n <= 0) break;
      ++datagrams;
      const auto result =
          assembler_.add_datagram(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)), &frame);
      const uint64_t now = now_us();
      if (result == network::FrameAssembler::Result::kRejected) ++rejected;
      if (result != network::FrameAssembler::Result::kFrameComplete) continue;
      ++frames;
      if (frame.rebuilt) ++rebuilt;
      if (frame.capture_timestamp_us != 0 && now >= frame.capture_timestamp_us) {
        latency.add(now - frame.capture_timestamp_us);
      }
    }
  }
}

}  // namespace vn::bench
