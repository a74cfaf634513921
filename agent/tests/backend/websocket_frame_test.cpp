#include "network/backend/websocket_frame.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <string>
#include <vector>

#include "core/base/secret_wipe.h"
#include "support/freed_memory_watch.h"
#include "support/log_capture.h"

namespace vn::network::ws {
namespace {

using Action = FrameOutcome::Action;

TEST(UpgradeRequest, IsTheExactLinesWithHostAloneAndTheToken) {
  EXPECT_EQ(upgrade_request("backend.example", "dGhlIHNhbXBsZSBub25jZQ==", "srv1.sig"),
            "GET /agent/connect HTTP/1.1\r\n"
            "Host: backend.example\r\n"
            "Upgrade: websocket\r\n"
            "Connection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
            "Sec-WebSocket-Version: 13\r\n"
            "agent-token: srv1.sig\r\n"
            "\r\n");
}

TEST(UpgradeRequest, KeyIsPaddedBase64OfSixteenRandomBytes) {
  ASSERT_GE(sodium_init(), 0);
  const std::string a = random_handshake_key();
  const std::string b = random_handshake_key();
  EXPECT_NE(a, b);
  ASSERT_EQ(a.size(), 24u);
  EXPECT_EQ(a.substr(22), "==");
  unsigned char bytes[32];
  size_t length = 0;
  ASSERT_EQ(sodium_base642bin(bytes, sizeof(bytes), a.data(), a.size(), nullptr, &length, nullptr,
                              sodium_base64_VARIANT_ORIGINAL),
            0);
  EXPECT_EQ(length, 16u);
}

// RFC 6455's own example key and answer.
constexpr const char* kKey = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr const char* kAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

TEST(UpgradeResponse, AcceptValueIsTheProtocolsHashOfTheKey) { EXPECT_EQ(websocket_accept_for(kKey), kAccept); }

TEST(UpgradeResponse, VerdictsFromTheStatusLineAndTheHeaders) {
  const std::string accept = std::string("Sec-WebSocket-Accept: ") + kAccept + "\r\n";
  const std::string good_headers = "Upgrade: websocket\r\nConnection: Upgrade\r\n" + accept;
  const struct {
    std::string response;
    UpgradeVerdict verdict;
  } cases[] = {
      {"HTTP/1.1 101 Switching Protocols\r\n" + good_headers + "\r\n", UpgradeVerdict::kAccepted},
      // Names without case, values trimmed, a token list in Connection, a bare status line.
      {std::string("HTTP/1.1 101\r\nupgrade:WebSocket \r\nCONNECTION: keep-alive, upgrade\r\n"
                   "sec-websocket-accept:   ") + kAccept + "\r\n\r\n",
       UpgradeVerdict::kAccepted},
      // The accept value is checked, not just looked for.
      {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n",
       UpgradeVerdict::kBadAccept},
      {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
       "Sec-WebSocket-Accept: AAAAAAAAAAAAAAAAAAAAAAAAAAA=\r\n\r\n",
       UpgradeVerdict::kBadAccept},
      // A 101 and an "Upgrade" anywhere are not enough.
      {"HTTP/1.1 200 OK\r\nX-Note: 101 Upgrade\r\n" + good_headers + "\r\n", UpgradeVerdict::kRejected},
      {"HTTP/1.1 1010 Odd\r\n" + good_headers + "\r\n", UpgradeVerdict::kRejected},
      {"HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\n" + accept + "\r\n",
       UpgradeVerdict::kRejected},
      {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\nConnection: Upgrade\r\n" + accept + "\r\n",
       UpgradeVerdict::kRejected},
      // Headers after the end of the block do not count.
      {"HTTP/1.1 101 Switching Protocols\r\n\r\n" + good_headers, UpgradeVerdict::kRejected},
      {"HTTP/1.1 401 Unauthorized\r\n\r\n", UpgradeVerdict::kRejected},
      {"HTTP/1.1 400 Bad Request\r\n\r\nThe plain HTTP request was sent to HTTPS port",
       UpgradeVerdict::kRejectedPlainHttp},
      {"HTTP/1.1 400 Bad Request\r\n\r\nmissing header", UpgradeVerdict::kRejected},
      {"", UpgradeVerdict::kRejected},
  };
  for (const auto& c : cases) EXPECT_EQ(check_upgrade_response(c.response, kKey), c.verdict) << c.response;
}

TEST(ClientFrame, UsesTheShortestLengthFormAndMasksThePayload) {
  const std::array<uint8_t, 4> mask = {0x11, 0x22, 0x33, 0x44};
  const struct {
    size_t length;
    std::vector<uint8_t> header;  // bytes before the mask
  } cases[] = {
      {0, {0x81, 0x80}},
      {125, {0x81, 0x80 | 125}},
      {126, {0x81, 0x80 | 126, 0x00, 126}},
      {65535, {0x81, 0x80 | 126, 0xFF, 0xFF}},
      {65536, {0x81, 0x80 | 127, 0, 0, 0, 0, 0, 1, 0, 0}},
  };
  for (const auto& c : cases) {
    std::string payload(c.length, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
    const std::vector<uint8_t> frame = encode_client_frame(kText, payload, mask);
    ASSERT_EQ(frame.size(), c.header.size() + 4 + c.length) << c.length;
    EXPECT_TRUE(std::equal(c.header.begin(), c.header.end(), frame.begin())) << c.length;
    EXPECT_TRUE(std::equal(mask.begin(), mask.end(), frame.begin() + static_cast<long>(c.header.size())));

    // What a server reads back.
    const FrameStart start = parse_frame_start(frame[0], frame[1]);
    EXPECT_TRUE(start.fin);
    EXPECT_TRUE(start.masked);
    EXPECT_EQ(start.opcode, kText);
    EXPECT_EQ(payload_length(start.length7, frame.data() + 2), c.length);
    std::vector<uint8_t> body(frame.begin() + static_cast<long>(c.header.size() + 4), frame.end());
    apply_mask(body.data(), body.size(), mask);
    EXPECT_EQ(std::string(body.begin(), body.end()), payload) << c.length;
  }
  EXPECT_EQ(encode_client_frame(kPong, "x", mask)[0], 0x8A);
}

TEST(ExtendedLength, SizesAndBigEndianValues) {
  EXPECT_EQ(extended_length_bytes(125), 0u);
  EXPECT_EQ(extended_length_bytes(126), 2u);
  EXPECT_EQ(extended_length_bytes(127), 8u);
  const uint8_t two[] = {0x01, 0x02};
  EXPECT_EQ(payload_length(126, two), 0x0102u);
  const uint8_t eight[] = {0, 0, 0, 0, 0, 0x10, 0, 0x01};
  EXPECT_EQ(payload_length(127, eight), 1048577u);
}

TEST(MessageAssembler, ControlFrames) {
  test::LogCapture log;
  MessageAssembler assembler;

  FrameOutcome pong = assembler.on_frame(true, kPing, std::string(200, 'p'));
  EXPECT_EQ(pong.action, Action::kPong);
  EXPECT_EQ(pong.pong_payload, std::string(125, 'p'));
  EXPECT_TRUE(log.contains("debug: SaasConnector: received WS ping control frame (200B payload)"));
  EXPECT_EQ(assembler.on_frame(true, kPing, "hi").pong_payload, "hi");

  EXPECT_EQ(assembler.on_frame(true, kPong, "").action, Action::kNone);
  EXPECT_TRUE(log.contains("debug: SaasConnector: received WS pong control frame"));

  EXPECT_EQ(assembler.on_frame(true, kClose, "").action, Action::kClose);
  EXPECT_TRUE(log.contains("warning: SaasConnector: received WS close frame (empty)"));
  EXPECT_EQ(assembler.on_frame(true, kClose, "\x03").action, Action::kClose);
  EXPECT_TRUE(log.contains("warning: SaasConnector: received WS close frame (no code)"));
  EXPECT_EQ(assembler.on_frame(true, kClose, std::string("\x03\xE8going away", 12)).action, Action::kClose);
  EXPECT_TRUE(log.contains("warning: SaasConnector: received WS close frame code=1000 reason='going away'"))
      << log.dump();
  // The reason is the backend's text: escaped, it cannot start a log line.
  EXPECT_EQ(assembler.on_frame(true, kClose, std::string("\x03\xF0" "bye\r\nerror: forged", 20)).action, Action::kClose);
  EXPECT_TRUE(log.contains("warning: SaasConnector: received WS close frame code=1008 reason='bye\\r\\nerror: forged'"))
      << log.dump();

  EXPECT_EQ(assembler.on_frame(true, 0x3, "?").action, Action::kNone);
  EXPECT_TRUE(log.contains("SaasConnector: ignoring WS frame with opcode 0x3"));
}

TEST(MessageAssembler, FragmentsMessagesAndTheirLimits) {
  test::LogCapture log;
  MessageAssembler assembler;

  FrameOutcome whole = assembler.on_frame(true, kText, "{\"type\":\"ping\"}");
  EXPECT_EQ(whole.action, Action::kMessage);
  EXPECT_EQ(whole.message, "{\"type\":\"ping\"}");
  EXPECT_EQ(assembler.on_frame(true, kBinary, "raw").message, "raw");

  // A stray continuation is dropped.
  EXPECT_EQ(assembler.on_frame(true, kContinuation, "tail").action, Action::kNone);
  EXPECT_TRUE(log.contains("warning: SaasConnector: WS continuation frame with no active fragment — dropping"));

  // Three pieces make one message; a control frame in between is fine.
  EXPECT_EQ(assembler.on_frame(false, kText, "ab").action, Action::kNone);
  EXPECT_TRUE(assembler.fragment_active());
  EXPECT_EQ(assembler.on_frame(true, kPing, "").action, Action::kPong);
  EXPECT_EQ(assembler.on_frame(false, kContinuation, "cd").action, Action::kNone);
  FrameOutcome joined = assembler.on_frame(true, kContinuation, "ef");
  EXPECT_EQ(joined.action, Action::kMessage);
  EXPECT_EQ(joined.message, "abcdef");
  EXPECT_FALSE(assembler.fragment_active());

  // A new data frame replaces an unfinished fragment.
  assembler.on_frame(false, kText, "stale");
  EXPECT_EQ(assembler.on_frame(true, kText, "fresh").message, "fresh");
  EXPECT_TRUE(log.contains("warning: SaasConnector: WS data frame during active fragment — dropping stale fragment"));
  EXPECT_FALSE(assembler.fragment_active());

  // Exactly 1 MiB assembles; one byte more closes.
  assembler.on_frame(false, kText, std::string(kMaxPayloadBytes - 1, 'x'));
  EXPECT_EQ(assembler.on_frame(true, kContinuation, "y").message.size(), kMaxPayloadBytes);
  assembler.on_frame(false, kText, std::string(kMaxPayloadBytes, 'x'));
  EXPECT_EQ(assembler.on_frame(true, kContinuation, "y").action, Action::kClose);
  EXPECT_TRUE(log.contains("SaasConnector: WS fragmented message exceeds 1048576 bytes — closing"));
  EXPECT_FALSE(assembler.fragment_active());
}

TEST(Wipe, TheWholeBufferIsZeroed) {
  std::string text(100, 'k');
  text.resize(10);  // bytes 10..99 still hold 'k'
  const char* buffer = text.data();
  const size_t capacity = text.capacity();
  wipe(text);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(text.data(), buffer);  // still allocated, to be reused or freed
  EXPECT_EQ(std::string(buffer, capacity), std::string(capacity, '\0'));

  std::string short_text = "abc";
  wipe(short_text);
  EXPECT_TRUE(short_text.empty());
}

// A received message can carry a master key: no buffer that held it is
// freed unwiped, neither a frame's nor the unfinished message's, nor the
// one that an assembled message outgrew.
TEST(MessageAssembler, FreesNoBufferThatHeldAKey) {
  if (!test::FreedMemoryWatch::supported()) GTEST_SKIP() << "no block sizes from this C library";
  static constexpr char kKey[] = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
  const std::string start = std::string(R"({"type":"prepare_session","encryption_key":")") + kKey + "\",";
  const std::string padding(5000, ' ');  // makes the message outgrow its first buffer
  std::vector<std::string> frames = {start, padding, "}", start, start, start, start};
  size_t hits = 0;
  size_t frees = 0;
  {
    test::FreedMemoryWatch watch(kKey);
    {
      MessageAssembler assembler;
      assembler.on_frame(false, kText, std::move(frames[0]));
      assembler.on_frame(false, kContinuation, std::move(frames[1]));
      FrameOutcome whole = assembler.on_frame(true, kContinuation, std::move(frames[2]));
      EXPECT_EQ(whole.message.size(), start.size() + padding.size() + 1);
      wipe(whole.message);  // the caller's part
      // A key in a continuation frame, a fragment dropped for a new message
      // (not finished either), and one left unfinished at the end.
      assembler.on_frame(false, kText, "{");
      assembler.on_frame(false, kContinuation, std::move(frames[3]));
      assembler.on_frame(false, kText, std::move(frames[4]));
      assembler.reset();
      assembler.on_frame(false, kText, std::move(frames[5]));
      // Too large a message closes, its parts wiped too.
      assembler.on_frame(false, kContinuation, std::move(frames[6]));
      assembler.on_frame(false, kContinuation, std::string(kMaxPayloadBytes, ' '));
      assembler.on_frame(false, kText, std::string(start));
    }
    hits = watch.hits();
    frees = watch.frees();
  }
  EXPECT_GT(frees, 0u);
  EXPECT_EQ(hits, 0u);
}

}  // namespace
}  // namespace vn::network::ws
