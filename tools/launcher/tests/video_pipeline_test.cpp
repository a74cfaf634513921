#include <gtest/gtest.h>

#include <sstream>

#include "audio_counter.h"
#include "network/transport/erasure_code.h"
#include "test_stream.h"
#include "video_pipeline.h"

namespace vn::launcher {
namespace {

using network::PacketHeader;

const StreamKey kVideoKey = test::key_of(0x10);
const StreamKey kAudioKey = test::key_of(0x60);

struct Recorder {
  std::vector<std::string> violations;
  int key_frame_requests = 0;
  VideoPipeline::Events events() {
    return {[this](const std::string& m) { violations.push_back(m); }, [this] { ++key_frame_requests; }, {}};
  }
};

PacketHeader video_header(uint32_t frame, uint16_t index, uint16_t count, uint8_t flags) {
  PacketHeader h;
  h.stream_type = network::kStreamVideo;
  h.frame_id = frame;
  h.packet_index = index;
  h.packet_count = count;
  h.flags = flags;
  return h;
}

TEST(LauncherVideoPipeline, SortsForeignFromImpossibleDatagrams) {
  test::Sealer video(kVideoKey, 0);
  test::Sealer audio(kAudioKey, 0);
  test::Sealer stranger(test::key_of(0x99), 0);
  const std::vector<uint8_t> payload(100, 0x42), block(network::kSymbolSize, 0x42);
  PacketHeader audio_stream = video_header(1, 0, 1, network::kFlagLastData);
  audio_stream.stream_type = network::kStreamAudio;

  struct Case {
    const char* what;
    std::vector<uint8_t> datagram;
    bool media;
    uint64_t auth_failures;
    bool violation;
    uint64_t frames_complete;
  };
  const std::vector<Case> cases = {
      {"garbage", std::vector<uint8_t>(100, 7), false, 1, false, 0},
      {"shorter than header and tag", std::vector<uint8_t>(37, 0), false, 1, false, 0},
      {"another key", stranger.seal(video_header(1, 0, 1, 8), payload), false, 1, false, 0},
      {"one-packet frame", video.seal(video_header(1, 0, 1, 8), payload), true, 0, false, 1},
      {"audio key on the video port", audio.seal(video_header(1, 0, 1, 8), payload), true, 0, true, 0},
      {"audio stream type", video.seal(audio_stream, payload), true, 0, true, 0},
      {"packet count 0", video.seal(video_header(1, 0, 0, 8), payload), true, 0, true, 0},
      {"index past the repair range", video.seal(video_header(1, 257, 2, 2), block), true, 0, true, 0},
      {"short data packet before the last", video.seal(video_header(1, 0, 2, 0), payload), true, 0, true, 0},
      {"last data packet without its flag", video.seal(video_header(1, 1, 2, 0), payload), true, 0, true, 0},
      {"short repair packet", video.seal(video_header(1, 2, 2, 2), payload), true, 0, true, 0},
  };
  for (const Case& c : cases) {
    Recorder recorder;
    VideoPipeline pipeline(kVideoKey, kAudioKey, 0, 1, nullptr, recorder.events());
    EXPECT_EQ(pipeline.on_datagram(c.datagram, 1000), c.media) << c.what;
    EXPECT_EQ(pipeline.counters().auth_failures, c.auth_failures) << c.what;
    EXPECT_EQ(recorder.violations.size(), c.violation ? 1u : 0u) << c.what;
    EXPECT_EQ(pipeline.counters().frames_complete, c.frames_complete) << c.what;
  }
}

TEST(LauncherAudioCounter, CountsAuthenticPacketsAndFlagsImpossibleOnes) {
  test::Sealer video(kVideoKey, 0);
  test::Sealer audio(kAudioKey, 0);
  PacketHeader good;
  good.stream_type = network::kStreamAudio;
  good.frame_id = 9;
  good.packet_count = 1;
  good.flags = network::kFlagAudio;
  PacketHeader two_packets = good;
  two_packets.packet_count = 2;
  PacketHeader video_type = good;
  video_type.stream_type = network::kStreamVideo;
  const std::vector<uint8_t> opus(60, 0x11);

  struct Case {
    const char* what;
    std::vector<uint8_t> datagram;
    uint64_t packets, auth_failures;
    bool violation;
  };
  const std::vector<Case> cases = {
      {"audio packet", audio.seal(good, opus), 1, 0, false},
      {"garbage", std::vector<uint8_t>(80, 1), 0, 1, false},
      {"video key on the audio port", video.seal(good, opus), 0, 0, true},
      {"packet count 2", audio.seal(two_packets, opus), 0, 0, true},
      {"video stream type", audio.seal(video_type, opus), 0, 0, true},
      {"empty payload", audio.seal(good, {}), 0, 0, true},
  };
  for (const Case& c : cases) {
    int violations = 0;
    AudioCounter counter(kAudioKey, kVideoKey, [&](const std::string&) { ++violations; });
    counter.on_datagram(c.datagram);
    EXPECT_EQ(counter.packets(), c.packets) << c.what;
    EXPECT_EQ(counter.auth_failures(), c.auth_failures) << c.what;
    EXPECT_EQ(violations, c.violation ? 1 : 0) << c.what;
  }
}

// A refused access unit is the agent's fault only while the decoder has all
// its references: after a key frame with every frame since complete.
TEST(LauncherVideoPipeline, BlamesTheAgentForUndecodableFramesOnlyWithAnIntactChain) {
  const auto frames = test::encode_pictures(160, 120, {30, 160, 220}, 16, 3);
  ASSERT_EQ(frames.size(), 3u);
  encode::EncodedFrame corrupt = frames[2];
  corrupt.data.resize(corrupt.data.size() / 3);  // cut inside its slice

  struct Case {
    const char* what;
    std::vector<uint32_t> send;  // frames[...] in order; 9 = the corrupt third frame
    size_t violations;
  };
  const std::vector<Case> cases = {
      {"all good", {0, 1, 2}, 0},
      {"corrupt after an intact chain", {0, 1, 9}, 1},
      {"corrupt after a lost frame", {0, 9}, 0},
  };
  for (const Case& c : cases) {
    test::Sealer sealer(kVideoKey, 0);
    Recorder recorder;
    std::ostringstream h264;
    VideoPipeline pipeline(kVideoKey, kAudioKey, 0, 1, &h264, recorder.events());
    std::string expected_stream;
    for (uint32_t which : c.send) {
      const encode::EncodedFrame& frame = which == 9 ? corrupt : frames[which];
      for (const auto& datagram : sealer.datagrams(frame)) pipeline.on_datagram(datagram, 5'000'000);
      expected_stream.append(frame.data.begin(), frame.data.end());
    }
    EXPECT_EQ(recorder.violations.size(), c.violations) << c.what;
    EXPECT_EQ(pipeline.counters().frames_complete, c.send.size()) << c.what;
    EXPECT_EQ(h264.str(), expected_stream) << c.what;
    const bool refused = pipeline.counters().decode_refused > 0;
    EXPECT_EQ(refused, c.send.back() == 9) << c.what;
    EXPECT_EQ(recorder.key_frame_requests > 0, refused) << c.what;
  }
}

TEST(LauncherVideoPipeline, SimulatedLossFollowsTheRequestedShare) {
  test::Sealer sealer(kVideoKey, 0);
  Recorder recorder;
  VideoPipeline pipeline(kVideoKey, kAudioKey, 25.0, 42, nullptr, recorder.events());
  const std::vector<uint8_t> payload(50, 1);
  for (uint32_t frame = 1; frame <= 4000; ++frame) {
    pipeline.on_datagram(sealer.seal(video_header(frame, 0, 1, 8), payload), uint64_t{frame} * 1000);
  }
  pipeline.finish(100'000'000);
  const uint64_t dropped = pipeline.counters().dropped_simulated;
  EXPECT_NEAR(double(dropped), 1000.0, 100.0);
  EXPECT_EQ(pipeline.counters().frames_complete, 4000 - dropped);
  // Dropped one-packet frames are frames never seen: the meter counts them.
  EXPECT_NEAR(pipeline.loss().totals().loss_pct(), 100.0 * double(dropped) / 4000, 0.1);
  EXPECT_TRUE(recorder.violations.empty());
}

}  // namespace
}  // namespace vn::launcher
