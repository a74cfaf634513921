#include <gtest/gtest.h>

#include <sstream>

#include "audio_counter.h"
#include "core/base/clock.h"
#include "media_receiver.h"
#include "picture_rgb.h"
#include "probe.h"
#include "test_stream.h"
#include "udp_wait.h"
#include "video_pipeline.h"

namespace vn::launcher {
namespace {

using asio::ip::udp;

// The agent's side over loopback: it learns the launcher's ports from the
// probes, then sends frames with some data packets lost on the way.
TEST(LauncherMediaLoopback, ProbesReachTheAgentAndLossyFramesComeOutRebuiltAndDecoded) {
  const StreamKey video_key = test::key_of(0x21);
  const StreamKey audio_key = test::key_of(0x71);
  asio::io_context io;
  udp::socket agent_video(io, udp::endpoint(asio::ip::address_v4::loopback(), 0));
  udp::socket agent_audio(io, udp::endpoint(asio::ip::address_v4::loopback(), 0));

  std::ostringstream h264;
  std::vector<std::string> violations;
  VideoPipeline video(video_key, audio_key, 0, 1, &h264,
                      {[&](const std::string& m) { violations.push_back(m); }, [] {}, [] {}});
  AudioCounter audio(audio_key, video_key, [&](const std::string& m) { violations.push_back(m); });

  MediaReceiver media(io);
  std::string error;
  ASSERT_TRUE(media.open(0, 0, error)) << error;
  media.start(MediaReceiver::kVideo, agent_video.local_endpoint(), make_probe(video_key),
              [&](std::span<const uint8_t> d) { return video.on_datagram(d, now_us()); });
  media.start(MediaReceiver::kAudio, agent_audio.local_endpoint(), make_probe(audio_key),
              [&](std::span<const uint8_t> d) { return audio.on_datagram(d); });
  media.send_probes();

  udp::endpoint video_peer, audio_peer;
  const auto video_probe = test::receive_within(agent_video, video_peer);
  const auto audio_probe = test::receive_within(agent_audio, audio_peer);
  ASSERT_TRUE(video_probe && audio_probe);
  const auto expected_video = make_probe(video_key), expected_audio = make_probe(audio_key);
  EXPECT_EQ(*video_probe, std::vector<uint8_t>(expected_video.begin(), expected_video.end()));
  EXPECT_EQ(*audio_probe, std::vector<uint8_t>(expected_audio.begin(), expected_audio.end()));
  EXPECT_EQ(video_peer.port(), media.local_port(MediaReceiver::kVideo));
  EXPECT_EQ(audio_peer.port(), media.local_port(MediaReceiver::kAudio));

  // Three frames (about 20 KB with repair packets); the key frame loses two
  // of its data packets, the second frame one.
  const std::array<uint8_t, 3> colour = {200, 40, 90};
  const auto frames = test::encode_pictures(160, 120, colour, 16, 3);
  test::Sealer sealer(video_key, 5000);
  const std::vector<std::vector<uint32_t>> lost = {{1, 3}, {0}, {}};
  std::string expected_stream;
  for (size_t f = 0; f < frames.size(); ++f) {
    const auto datagrams = sealer.datagrams(frames[f]);
    ASSERT_GE(datagrams.size(), 4u) << "frame " << f << " must span several packets";
    for (uint32_t i = 0; i < datagrams.size(); ++i) {
      if (std::find(lost[f].begin(), lost[f].end(), i) != lost[f].end()) continue;
      agent_video.send_to(asio::buffer(datagrams[i]), video_peer);
    }
    expected_stream.append(frames[f].data.begin(), frames[f].data.end());
  }
  agent_video.send_to(asio::buffer(std::vector<uint8_t>(200, 0xEE)), video_peer);  // anybody can send UDP
  network::PacketHeader audio_header;
  audio_header.stream_type = network::kStreamAudio;
  audio_header.packet_count = 1;
  audio_header.flags = network::kFlagAudio;
  test::Sealer audio_sealer(audio_key, 0);
  agent_audio.send_to(asio::buffer(audio_sealer.seal(audio_header, std::vector<uint8_t>(80, 3))), audio_peer);

  ASSERT_TRUE(test::run_until(io, [&] {
    return video.counters().frames_decoded == 3 && video.counters().auth_failures == 1 && audio.packets() == 1;
  })) << "decoded " << video.counters().frames_decoded;

  const VideoCounters& counters = video.counters();
  EXPECT_EQ(counters.frames_complete, 3u);
  EXPECT_EQ(counters.frames_rebuilt, 2u);
  EXPECT_EQ(counters.key_frames, 1u);
  EXPECT_EQ(h264.str(), expected_stream);
  EXPECT_TRUE(violations.empty()) << violations.front();
  ASSERT_NE(video.picture(), nullptr);
  EXPECT_EQ(video.picture()->width, 160u);
  EXPECT_EQ(video.picture()->height, 120u);
  const auto mean = mean_rgb(i420_to_rgb(*video.picture()));
  for (size_t c = 0; c < 3; ++c) EXPECT_NEAR(mean[c], colour[c], 8.0) << "channel " << c;

  // Media arrived on both streams: no more probes.
  EXPECT_TRUE(media.media_seen(MediaReceiver::kVideo) && media.media_seen(MediaReceiver::kAudio));
  const uint64_t probes = media.probes_sent(MediaReceiver::kVideo) + media.probes_sent(MediaReceiver::kAudio);
  media.send_probes();
  EXPECT_EQ(media.probes_sent(MediaReceiver::kVideo) + media.probes_sent(MediaReceiver::kAudio), probes);
}

}  // namespace
}  // namespace vn::launcher
