#include "network/transport/udp_sender.h"

#include <spdlog/spdlog.h>
#include <asio/bind_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/udp.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <future>
#include <memory>
#include <mutex>

#include "core/base/log_limit.h"
#include "network/transport/udp_socket_options.h"

namespace vn::network {
namespace {

using asio::ip::udp;

constexpr std::array<uint8_t, 4> kProbeMagic{'V', 'N', 'P', '1'};
constexpr size_t kTokenProbeSize = kProbeMagic.size() + UdpSender::kProbeTokenSize;
constexpr size_t kProbeBufferSize = 64;
constexpr int kSendBufferBytes = 65536;
constexpr int kTypeOfService = 0xB8;  // DSCP 46, expedited forwarding
constexpr auto kCloseWait = std::chrono::seconds(2);
constexpr auto kMaxWaitSlice = std::chrono::milliseconds(100);

// Equal bytes, in time independent of where they differ.
bool same_bytes(const uint8_t* a, const uint8_t* b, size_t size) {
  uint8_t diff = 0;
  for (size_t i = 0; i < size; ++i) diff |= static_cast<uint8_t>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace

// Shared with every pending handler, so that completions running after the
// UdpSender is gone touch only this.
struct UdpSender::State : std::enable_shared_from_this<State> {
  State(asio::io_context& context, std::string host_text, uint16_t port, uint16_t local)
      : io(context),
        strand(asio::make_strand(context)),
        socket(context),
        host(std::move(host_text)),
        destination_port(port),
        local_port(local) {}

  bool open();
  void set_probe_token(const uint8_t* data, size_t size);
  void start_probe_listening();
  bool wait_for_probe(int timeout_s, const std::function<bool()>& abort);
  void enqueue(const std::vector<Packet>& batch);
  void close();

  // On the strand.
  void receive_probe();
  void on_probe(const asio::error_code& error, size_t size);
  bool probe_valid(size_t size) const;
  void send_chain();
  void on_sent(const asio::error_code& error, size_t size);

  bool is_probe_received() {
    std::lock_guard lock(probe_mutex);
    return probe_received;
  }
  // Cancels and closes the socket; only the first call of any thread does it.
  void close_socket_once() {
    if (socket_closed.exchange(true)) return;
    cancel_pending_io(socket);
    asio::error_code ignored;
    socket.close(ignored);
  }

  asio::io_context& io;
  asio::strand<asio::io_context::executor_type> strand;
  udp::socket socket;
  const std::string host;
  const uint16_t destination_port;
  const uint16_t local_port;

  std::mutex endpoint_mutex;
  udp::endpoint destination;

  // Written only by the pending probe receive.
  std::array<uint8_t, kProbeBufferSize> probe_buffer{};
  udp::endpoint probe_source;

  std::mutex probe_mutex;
  std::condition_variable probe_cv;
  bool probe_received = false;

  // Set before listening starts; read by probe completions only.
  std::array<uint8_t, kProbeTokenSize> token{};
  bool token_set = false;

  mutable std::mutex queue_mutex;
  std::deque<std::vector<uint8_t>> queue;

  std::atomic<bool> sending{false};
  std::atomic<uint64_t> in_flight{0};
  std::atomic<bool> io_started{false};
  std::atomic<bool> socket_closed{false};
  std::atomic<bool> closed{false};

  std::atomic<uint64_t> bytes_sent{0};
  std::atomic<uint64_t> packets_sent{0};
  std::atomic<uint64_t> send_errors{0};

  std::atomic<uint64_t> recv_error_logs{0};
  std::atomic<uint64_t> invalid_probe_logs{0};
  std::atomic<uint64_t> send_error_logs{0};
  std::atomic<uint64_t> overflow_logs{0};
};

bool UdpSender::State::open() {
  try {
    const asio::ip::address address = asio::ip::make_address(host);
    {
      std::lock_guard lock(endpoint_mutex);
      destination = udp::endpoint(address, destination_port);
    }
    if (!socket.is_open()) socket.open(udp::v4());
    if (local_port != 0) {
      socket.bind(udp::endpoint(asio::ip::address_v4::any(), local_port));
      spdlog::debug("UDP sender bound to local port {}", local_port);
    }
    socket.set_option(asio::socket_base::send_buffer_size(kSendBufferBytes));
    set_type_of_service(socket, kTypeOfService);
    ignore_port_unreachable(socket);
    spdlog::info("UDP sender opened -> {}:{} (initial, will update on probe)", host, destination_port);
    return true;
  } catch (const std::exception& e) {
    spdlog::error("UDP sender open failed: {}", e.what());
    return false;
  }
}

void UdpSender::State::set_probe_token(const uint8_t* data, size_t size) {
  if (data == nullptr || size < kProbeTokenSize) {
    spdlog::warn("UDP sender: probe token too short ({}B) — magic-only validation", size);
    token_set = false;
    return;
  }
  std::memcpy(token.data(), data, kProbeTokenSize);
  token_set = true;
}

void UdpSender::State::start_probe_listening() {
  spdlog::info("UDP sender: waiting for hole-punch probe on port {}...", local_port);
  io_started = true;
  asio::post(strand, [self = shared_from_this()] {
    // An unbound socket has no port to be probed on (and Windows fails its
    // receives at once, which would spin).
    if (self->local_port == 0) return;
    if (!self->is_probe_received() && self->socket.is_open()) self->receive_probe();
  });
}

void UdpSender::State::receive_probe() {
  socket.async_receive_from(
      asio::buffer(probe_buffer), probe_source,
      asio::bind_executor(strand, [self = shared_from_this()](const asio::error_code& error, size_t size) {
        self->on_probe(error, size);
      }));
}

void UdpSender::State::on_probe(const asio::error_code& error, size_t size) {
  // Windows reports a datagram longer than the buffer as an error; its first
  // bytes are in the buffer all the same, as on Linux, where it is cut silently.
  if (error == asio::error::message_size) {
    on_probe({}, probe_buffer.size());
    return;
  }
  if (error) {
    if (error == asio::error::operation_aborted || is_probe_received() || !socket.is_open()) return;
    if (log_occurrence(recv_error_logs)) spdlog::debug("UDP sender probe recv error: {} - retrying", error.message());
    receive_probe();
    return;
  }
  if (is_probe_received()) return;
  const std::string source_address = probe_source.address().to_string();
  if (!probe_valid(size)) {
    if (log_occurrence(invalid_probe_logs)) {
      spdlog::debug("UDP sender: ignoring invalid probe ({} bytes) from {}:{}", size, source_address,
                    probe_source.port());
    }
    receive_probe();
    return;
  }
  spdlog::info("UDP sender: hole-punch probe received from {}:{} ({} bytes)", source_address, probe_source.port(),
               size);
  {
    std::lock_guard lock(endpoint_mutex);
    destination = probe_source;
  }
  spdlog::info("UDP sender: destination updated -> {}:{}", source_address, probe_source.port());
  std::lock_guard lock(probe_mutex);
  probe_received = true;
  probe_cv.notify_all();
}

bool UdpSender::State::probe_valid(size_t size) const {
  size = std::min(size, probe_buffer.size());
  if (size < kProbeMagic.size() || !same_bytes(probe_buffer.data(), kProbeMagic.data(), kProbeMagic.size())) {
    return false;
  }
  if (!token_set) return true;
  return size == kTokenProbeSize && same_bytes(probe_buffer.data() + kProbeMagic.size(), token.data(), token.size());
}

bool UdpSender::State::wait_for_probe(int timeout_s, const std::function<bool()>& abort) {
  using Clock = std::chrono::steady_clock;
  std::unique_lock lock(probe_mutex);
  if (probe_received) return true;
  const bool has_deadline = timeout_s > 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(has_deadline ? timeout_s : 0);
  for (;;) {
    if (abort) {
      // The predicate is the caller's code: never run it under our mutex.
      lock.unlock();
      const bool stop = abort();
      lock.lock();
      if (stop) {
        lock.unlock();
        spdlog::warn("UDP sender: probe wait aborted (session ending)");
        return false;
      }
    }
    const Clock::time_point now = Clock::now();
    if (has_deadline && now >= deadline) {
      lock.unlock();
      spdlog::warn("UDP sender: no probe received within {}s - using TCP-derived endpoint {}:{}", timeout_s, host,
                   destination_port);
      return false;
    }
    std::chrono::milliseconds slice = kMaxWaitSlice;
    if (has_deadline) {
      const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
      slice = std::clamp(remaining, std::chrono::milliseconds(1), kMaxWaitSlice);
    }
    if (probe_received) return true;  // arrived while the predicate ran
    probe_cv.wait_for(lock, slice);
    if (probe_received) return true;
  }
}

void UdpSender::State::enqueue(const std::vector<Packet>& batch) {
  // The datagrams are built before locking, so the send chain waits only for
  // the moves.
  std::vector<std::vector<uint8_t>> datagrams;
  datagrams.reserve(batch.size());
  for (const Packet& packet : batch) {
    std::vector<uint8_t>& datagram = datagrams.emplace_back(PacketHeader::kSize + packet.payload.size());
    packet.header.serialize_to(datagram.data());
    if (!packet.payload.empty()) {
      std::memcpy(datagram.data() + PacketHeader::kSize, packet.payload.data(), packet.payload.size());
    }
  }

  size_t dropped = 0;
  {
    std::lock_guard lock(queue_mutex);
    if (queue.size() > MAX_QUEUE) {
      dropped = queue.size() - MAX_QUEUE;
      queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(dropped));
    }
    for (auto& datagram : datagrams) queue.push_back(std::move(datagram));
    io_started = true;
    bool expected = false;
    if (sending.compare_exchange_strong(expected, true)) {
      asio::post(strand, [self = shared_from_this()] { self->send_chain(); });
    }
  }
  if (dropped > 0 && log_occurrence(overflow_logs)) {
    spdlog::warn("UDP sender: queue overflow, dropped {} stale packets", dropped);
  }
}

void UdpSender::State::send_chain() {
  while (in_flight.load() < MAX_IN_FLIGHT) {
    std::vector<uint8_t> datagram;
    {
      std::lock_guard lock(queue_mutex);
      if (queue.empty()) {
        if (in_flight.load() == 0) sending = false;
        return;
      }
      datagram = std::move(queue.front());
      queue.pop_front();
    }
    in_flight.fetch_add(1);
    udp::endpoint target;
    {
      std::lock_guard lock(endpoint_mutex);
      target = destination;
    }
    // The move-only handler owns the bytes until the completion.
    auto owned = std::make_unique<std::vector<uint8_t>>(std::move(datagram));
    const asio::const_buffer view = asio::buffer(*owned);
    socket.async_send_to(
        view, target,
        asio::bind_executor(strand, [self = shared_from_this(), owned = std::move(owned)](
                                        const asio::error_code& error, size_t size) { self->on_sent(error, size); }));
  }
}

void UdpSender::State::on_sent(const asio::error_code& error, size_t size) {
  if (error) {
    send_errors.fetch_add(1);
    if (log_occurrence(send_error_logs)) spdlog::warn("UDP send error: {}", error.message());
  } else {
    bytes_sent.fetch_add(size);
    packets_sent.fetch_add(1);
  }
  in_flight.fetch_sub(1);
  send_chain();
}

void UdpSender::State::close() {
  if (closed.exchange(true)) return;
  if (!io_started || io.stopped() || strand.running_in_this_thread()) {
    close_socket_once();
  } else {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ran = done->get_future();
    asio::post(strand, [self = shared_from_this(), done] {
      self->close_socket_once();
      done->set_value();
    });
    // The strand may be stuck or its threads gone: then close from here.
    if (ran.wait_for(kCloseWait) != std::future_status::ready) close_socket_once();
  }
  {
    std::lock_guard lock(queue_mutex);
    queue.clear();
    sending = false;
  }
  {
    std::lock_guard lock(probe_mutex);
    probe_cv.notify_all();
  }
  spdlog::info("UDP sender closed");
}

UdpSender::UdpSender(asio::io_context& io, std::string host, uint16_t port, uint16_t local_port)
    : state_(std::make_shared<State>(io, std::move(host), port, local_port)) {}

UdpSender::~UdpSender() {
  close();
}

bool UdpSender::open() {
  return state_->open();
}

void UdpSender::set_probe_token(const uint8_t* data, size_t size) {
  state_->set_probe_token(data, size);
}

void UdpSender::start_probe_listening() {
  state_->start_probe_listening();
}

bool UdpSender::wait_for_probe(int timeout_s, const std::function<bool()>& abort) {
  return state_->wait_for_probe(timeout_s, abort);
}

void UdpSender::enqueue(const std::vector<Packet>& batch) {
  state_->enqueue(batch);
}

void UdpSender::close() {
  state_->close();
}

uint64_t UdpSender::bytes_sent() const {
  return state_->bytes_sent.load();
}

uint64_t UdpSender::packets_sent() const {
  return state_->packets_sent.load();
}

uint64_t UdpSender::send_errors() const {
  return state_->send_errors.load();
}

size_t UdpSender::queued() const {
  std::lock_guard lock(state_->queue_mutex);
  return state_->queue.size();
}

}  // namespace vn::network
