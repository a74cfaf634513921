#include "test_backend.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;
using vn::tools::TestBackend;
using vn::tools::TestBackendOptions;
using vn::tools::UpgradeMode;

constexpr std::chrono::milliseconds kWait{10000};
constexpr const char kPath[] = "/agent/connect";

// Polls `pred` until it holds or `kWait` is over.
template <class Pred>
bool eventually(Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

tcp::endpoint loopback(uint16_t port) { return {net::ip::make_address("127.0.0.1"), port}; }

// A blocking WebSocket client, as the agent would connect.
struct Client {
  net::io_context io;
  websocket::stream<tcp::socket> ws{io};
  websocket::response_type response;

  // The handshake's error; empty when upgraded.
  error_code connect(uint16_t port, const std::string& target = kPath,
                     const std::optional<std::string>& token = std::nullopt) {
    error_code ec;
    ws.next_layer().connect(loopback(port), ec);
    if (ec) return ec;
    ws.set_option(websocket::stream_base::decorator([token](websocket::request_type& req) {
      if (token) req.set("agent-token", *token);
    }));
    ws.handshake(response, "127.0.0.1", target, ec);
    return ec;
  }

  std::string read(error_code& ec) {
    beast::flat_buffer buffer;
    ws.read(buffer, ec);
    return beast::buffers_to_string(buffer.data());
  }
};

// Everything a raw socket receives until the peer ends the connection.
std::string read_to_end(tcp::socket& socket) {
  std::string all;
  char chunk[1024];
  error_code ec;
  while (!ec) {
    size_t n = socket.read_some(net::buffer(chunk), ec);
    all.append(chunk, n);
  }
  return all;
}

std::string upgrade_request(const std::string& target = kPath,
                            const std::optional<std::string>& token = std::nullopt) {
  return "GET " + target +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
         (token ? "agent-token: " + *token + "\r\n" : std::string()) + "\r\n";
}

// One unmasked server frame with a payload under 126 bytes.
struct Frame {
  unsigned first = 0;  // FIN bit and opcode
  std::string payload;
  bool operator==(const Frame&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Frame& f) {
  return os << "{0x" << std::hex << f.first << std::dec << ", \"" << f.payload << "\"}";
}

Frame read_frame(tcp::socket& socket) {
  unsigned char head[2];
  net::read(socket, net::buffer(head));
  Frame f;
  f.first = head[0];
  EXPECT_EQ(head[1] & 0x80, 0) << "server frames are not masked";
  f.payload.resize(head[1] & 0x7f);
  EXPECT_LT(f.payload.size(), 126u);
  net::read(socket, net::buffer(f.payload));
  return f;
}

TEST(TestBackend, AcceptsTheAgentAndRecordsWhatItSends) {
  TestBackendOptions options;
  options.agent_token = "T";
  TestBackend backend(options);
  ASSERT_TRUE(backend.start());
  ASSERT_NE(backend.port(), 0);

  Client client;
  ASSERT_FALSE(client.connect(backend.port(), kPath, "T"));
  client.ws.write(net::buffer(std::string(R"({"type":"register","agent_version":"1.0"})")));
  client.ws.write(net::buffer(std::string("not json")));

  auto reg = backend.wait_type("register", kWait);
  ASSERT_TRUE(reg);
  EXPECT_EQ(reg->connection, 1);
  EXPECT_EQ(reg->json["agent_version"], "1.0");
  auto other = backend.wait_message([](const auto& m) { return m.text == "not json"; }, kWait);
  ASSERT_TRUE(other);
  EXPECT_TRUE(other->json.is_discarded());
  EXPECT_EQ(other->type, "");
  EXPECT_EQ(backend.messages_of("register").size(), 1u);
  EXPECT_TRUE(backend.connected());
  EXPECT_EQ(backend.connection_count(), 1);

  auto requests = backend.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& r = requests[0];
  EXPECT_TRUE(r.accepted);
  EXPECT_EQ(r.target, kPath);
  EXPECT_EQ(r.agent_token, "T");
  ASSERT_FALSE(r.lines.empty());
  EXPECT_EQ(r.lines[0], "GET /agent/connect HTTP/1.1");
  std::string rejoined;
  for (const auto& line : r.lines) rejoined += line + "\r\n";
  EXPECT_EQ(rejoined + "\r\n", r.raw);

  // Back to the agent: a message, and a long one cut into frames that the
  // client reassembles into one message.
  error_code ec;
  ASSERT_TRUE(backend.send_json({{"type", "ping"}}));
  EXPECT_EQ(client.read(ec), R"({"type":"ping"})");
  const std::string big(10000, 'x');
  ASSERT_TRUE(backend.send_fragmented(big, 4));
  EXPECT_EQ(client.read(ec), big);
  EXPECT_FALSE(ec) << ec.message();
}

TEST(TestBackend, ChecksThePathAndTheToken) {
  struct Case {
    const char* name;
    std::string expected_token;  // the backend's option
    std::string target;
    std::optional<std::string> token;
    int status;
  };
  const Case cases[] = {
      {"wrong token", "T", kPath, "U", 401},
      {"missing token", "T", kPath, std::nullopt, 401},
      {"wrong path", "T", "/agent/connect/x", "T", 404},
      {"no token expected", "", kPath, std::nullopt, 101},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestBackendOptions options;
    options.agent_token = c.expected_token;
    TestBackend backend(options);
    ASSERT_TRUE(backend.start());
    // A raw request: the status line is what the test is about.
    net::io_context io;
    tcp::socket socket(io);
    socket.connect(loopback(backend.port()));
    net::write(socket, net::buffer(upgrade_request(c.target, c.token)));
    std::string head;
    net::read_until(socket, net::dynamic_buffer(head), "\r\n\r\n");
    EXPECT_EQ(head.rfind("HTTP/1.1 " + std::to_string(c.status) + " ", 0), 0u) << head;
    if (c.status == 101) {
      EXPECT_TRUE(backend.wait_connections(1, kWait));
      continue;
    }
    ASSERT_TRUE(eventually([&] { return backend.requests().size() == 1; }));
    auto r = backend.requests()[0];
    EXPECT_FALSE(r.accepted);
    EXPECT_EQ(r.target, c.target);
    EXPECT_EQ(r.agent_token, c.token.value_or(""));
    EXPECT_EQ(backend.connection_count(), 0);
    EXPECT_FALSE(backend.connected());
    EXPECT_FALSE(backend.send_text("x"));
  }
}

TEST(TestBackend, RecordsRequestsItCannotParse) {
  // A request line Beast rejects: a 400, and the target taken from the line as it is.
  {
    TestBackend backend;
    ASSERT_TRUE(backend.start());
    net::io_context io;
    tcp::socket socket(io);
    socket.connect(loopback(backend.port()));
    const std::string request = "GET /agent/connect HTTQ/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    net::write(socket, net::buffer(request));
    std::string answer = read_to_end(socket);
    EXPECT_EQ(answer.rfind("HTTP/1.1 400 ", 0), 0u) << answer;
    ASSERT_EQ(backend.requests().size(), 1u);
    auto r = backend.requests()[0];
    EXPECT_FALSE(r.accepted);
    EXPECT_EQ(r.raw, request);
    EXPECT_EQ(r.target, kPath);
    EXPECT_EQ(r.lines, (std::vector<std::string>{"GET /agent/connect HTTQ/1.1", "Host: 127.0.0.1"}));
  }
  // A head with no end within the size cap: recorded as far as it was read, the
  // last line cut short. (The answer is not checked: the backend closes with
  // unread bytes, which may reset the connection before the answer is read.)
  {
    TestBackend backend;
    ASSERT_TRUE(backend.start());
    net::io_context io;
    tcp::socket socket(io);
    socket.connect(loopback(backend.port()));
    const std::string request_line = "GET /agent/connect HTTP/1.1";
    error_code ignored;
    net::write(socket, net::buffer(request_line + "\r\nX-Pad: " + std::string(70 * 1024, 'a')), ignored);
    ASSERT_TRUE(eventually([&] { return backend.requests().size() == 1; }));
    auto r = backend.requests()[0];
    EXPECT_FALSE(r.accepted);
    EXPECT_EQ(r.raw.size(), 64u * 1024);
    EXPECT_EQ(r.target, kPath);
    ASSERT_EQ(r.lines.size(), 2u);
    EXPECT_EQ(r.lines[0], request_line);
    EXPECT_EQ(r.lines[1], r.raw.substr(request_line.size() + 2));
  }
}

TEST(TestBackend, ScriptedSendsReachTheWireInOrder) {
  TestBackend backend;
  ASSERT_TRUE(backend.start());
  Client client;
  ASSERT_FALSE(client.connect(backend.port()));
  ASSERT_TRUE(backend.wait_connections(1, kWait));

  EXPECT_TRUE(backend.send_text("a"));
  EXPECT_TRUE(backend.send_raw(std::string("\x81\x01" "b", 3)));
  EXPECT_TRUE(backend.send_fragmented("cde", 3));
  EXPECT_TRUE(backend.send_ping("p"));
  EXPECT_TRUE(backend.send_close(4000, "bye"));
  EXPECT_FALSE(backend.send_text("after the close frame"));

  const std::vector<Frame> expected = {
      {0x81, "a"}, {0x81, "b"}, {0x01, "c"}, {0x00, "d"}, {0x80, "e"}, {0x89, "p"}, {0x88, "\x0f\xa0" "bye"},
  };
  tcp::socket& socket = client.ws.next_layer();
  for (const auto& want : expected) EXPECT_EQ(read_frame(socket), want);

  // The client never answers the close frame; its TCP end still ends the connection.
  socket.close();
  EXPECT_TRUE(backend.wait_disconnected(kWait));
}

TEST(TestBackend, PingsTheClientAndRecordsItsPongs) {
  TestBackend backend;
  ASSERT_TRUE(backend.start());
  Client client;
  std::vector<std::string> pings;
  client.ws.control_callback([&](websocket::frame_type kind, beast::string_view payload) {
    if (kind == websocket::frame_type::ping) pings.emplace_back(payload);
  });
  ASSERT_FALSE(client.connect(backend.port()));
  ASSERT_TRUE(backend.wait_connections(1, kWait));

  ASSERT_TRUE(backend.send_ping("hello"));
  ASSERT_TRUE(backend.send_text("after"));
  error_code ec;
  EXPECT_EQ(client.read(ec), "after");
  EXPECT_EQ(pings, std::vector<std::string>{"hello"});

  // Beast answered the ping itself; then a pong of the client's own.
  client.ws.pong("xyz");
  EXPECT_TRUE(eventually([&] { return backend.pongs() == std::vector<std::string>{"hello", "xyz"}; }));
}

TEST(TestBackend, AnswersUpgradesAsItsModeSays) {
  const std::string raw = "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\n\r\n";
  struct Case {
    const char* name;
    UpgradeMode mode;
  };
  for (const Case& c : {Case{"raw response", UpgradeMode::kRawResponse}, Case{"garbage", UpgradeMode::kGarbage},
                        Case{"never answer", UpgradeMode::kNeverAnswer}}) {
    SCOPED_TRACE(c.name);
    TestBackend backend;
    ASSERT_TRUE(backend.start());
    backend.set_upgrade_mode(c.mode, raw);

    net::io_context io;
    tcp::socket socket(io);
    socket.connect(loopback(backend.port()));
    net::write(socket, net::buffer(upgrade_request()));
    ASSERT_TRUE(eventually([&] { return backend.requests().size() == 1; }));

    if (c.mode == UpgradeMode::kNeverAnswer) {
      // It holds the socket until something ends it: here a new connection.
      EXPECT_FALSE(backend.connected());
      backend.set_upgrade_mode(UpgradeMode::kAccept);
      Client next;
      ASSERT_FALSE(next.connect(backend.port()));
      EXPECT_EQ(read_to_end(socket), "");
    } else if (c.mode == UpgradeMode::kRawResponse) {
      EXPECT_EQ(read_to_end(socket), raw);
    } else {
      std::string got = read_to_end(socket);
      EXPECT_FALSE(got.empty());
      EXPECT_NE(got.rfind("HTTP/", 0), 0u) << got;
    }
    EXPECT_FALSE(backend.requests()[0].accepted);
    EXPECT_EQ(backend.requests()[0].raw, upgrade_request());
  }
}

TEST(TestBackend, DropEndsTheConnectionWithoutACloseFrame) {
  TestBackend backend;
  ASSERT_TRUE(backend.start());
  Client client;
  ASSERT_FALSE(client.connect(backend.port()));
  ASSERT_TRUE(backend.wait_connections(1, kWait));

  ASSERT_TRUE(backend.drop());
  error_code ec;
  client.read(ec);
  EXPECT_TRUE(ec);
  EXPECT_NE(ec, websocket::error::closed) << "a close frame arrived";
  EXPECT_TRUE(backend.wait_disconnected(kWait));
  EXPECT_FALSE(backend.send_text("x"));
  EXPECT_FALSE(backend.drop());

  backend.stop();
  backend.stop();
  EXPECT_FALSE(backend.send_text("x"));
}

TEST(TestBackend, ANewConnectionReplacesTheOldOne) {
  TestBackend backend;
  ASSERT_TRUE(backend.start());
  Client first;
  ASSERT_FALSE(first.connect(backend.port()));
  ASSERT_TRUE(backend.wait_connections(1, kWait));
  Client second;
  ASSERT_FALSE(second.connect(backend.port()));
  ASSERT_TRUE(backend.wait_connections(2, kWait));

  error_code ec;
  first.read(ec);
  EXPECT_TRUE(ec);

  second.ws.write(net::buffer(std::string(R"({"type":"heartbeat"})")));
  auto beat = backend.wait_type("heartbeat", kWait);
  ASSERT_TRUE(beat);
  EXPECT_EQ(beat->connection, 2);
  ASSERT_TRUE(backend.send_text("to the second"));
  EXPECT_EQ(second.read(ec), "to the second");
  EXPECT_TRUE(backend.connected());
}

}  // namespace
