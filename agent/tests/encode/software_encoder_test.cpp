#include <gtest/gtest.h>
#include <wels/codec_api.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "encode/i420_convert.h"
#include "encode/openh264_params.h"
#include "encode/software_encoder.h"
#include "h264_decoder.h"
#include "support/log_capture.h"
#include "support/test_frames.h"

namespace vn::encode {
namespace {

constexpr int kNalIdr = 5;

EncoderConfig config_of(uint32_t width, uint32_t height, uint32_t fps = 30, uint32_t bitrate = 2000000) {
  EncoderConfig config;
  config.width = width;
  config.height = height;
  config.fps = fps;
  config.bitrate_bps = bitrate;
  config.max_bitrate_bps = bitrate + bitrate / 2;
  return config;
}

bool has_idr(const EncodedFrame& frame) {
  const auto types = launcher::nal_unit_types(frame.data);
  return std::find(types.begin(), types.end(), kNalIdr) != types.end();
}

double luma_psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t luma_size) {
  double squared = 0;
  for (size_t i = 0; i < luma_size; ++i) {
    const double d = double(a[i]) - double(b[i]);
    squared += d * d;
  }
  const double mse = squared / double(luma_size);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

class SoftwareEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = test::TestFrameSource::Create();
    ASSERT_TRUE(source_->device().valid());
  }

  bool encode_pattern(SoftwareEncoder& encoder, uint32_t w, uint32_t h, uint32_t n, EncodedFrame& out) {
    capture::CapturedFrame frame;
    if (!source_->make_frame(test::test_pattern(w, h, n), n, frame)) return false;
    return encoder.encode(frame, out);
  }

  std::unique_ptr<test::TestFrameSource> source_;
};

TEST_F(SoftwareEncoderTest, InfoIsKnownBeforeInitialize) {
  const SoftwareEncoder encoder;
  const EncoderInfo info = encoder.info();
  EXPECT_EQ(info.name, "OpenH264 (software)");
  EXPECT_EQ(info.max_width, 1920u);
  EXPECT_EQ(info.max_height, 1080u);
  EXPECT_EQ((std::vector<int>{info.h264, info.hevc, info.av1, info.reports_encode_time}),
            (std::vector<int>{1, 0, 0, 0}));
}

TEST_F(SoftwareEncoderTest, RefusesWorkWhenNotOpenOrWithoutPixels) {
  SoftwareEncoder encoder;
  EXPECT_FALSE(encoder.initialize(capture::DeviceHandle{}, config_of(320, 240)));

  EncodedFrame out;
  out.data = {1, 2, 3};
  out.frame_number = 77;
  capture::CapturedFrame frame;
  ASSERT_TRUE(source_->make_frame(test::test_pattern(320, 240, 0), 1, frame));
  EXPECT_FALSE(encoder.encode(frame, out));  // never initialised
  EXPECT_EQ(out.data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(out.frame_number, 77u);

  ASSERT_TRUE(encoder.initialize(source_->device(), config_of(320, 240)));
  EXPECT_FALSE(encoder.encode(capture::CapturedFrame{}, out));  // no pixels
  EXPECT_EQ(out.frame_number, 77u);
  EXPECT_FALSE(encoder.reconfigure_resolution(0, 240));

  encoder.shutdown();
  encoder.shutdown();  // harmless twice
  EXPECT_FALSE(encoder.encode(frame, out));
  EXPECT_FALSE(encoder.reconfigure_resolution(640, 480));
}

TEST_F(SoftwareEncoderTest, EncodedFramesDecodeBackToTheSource) {
  SoftwareEncoder encoder;
  ASSERT_TRUE(encoder.initialize(source_->device(), config_of(320, 240, 30, 4000000)));
  launcher::H264Decoder decoder;
  ASSERT_TRUE(decoder.ok());

  for (uint32_t n = 1; n <= 5; ++n) {
    SCOPED_TRACE(n);
    const test::BgraImage image = test::test_pattern(320, 240, n);
    capture::CapturedFrame frame;
    ASSERT_TRUE(source_->make_frame(image, n, frame));
    EncodedFrame out;
    ASSERT_TRUE(encoder.encode(frame, out));
    EXPECT_EQ(out.frame_number, n);
    EXPECT_EQ(out.capture_timestamp_us, frame.timestamp_us);
    EXPECT_EQ(out.width, 320u);
    EXPECT_EQ(out.height, 240u);
    EXPECT_EQ(out.key_frame, n == 1);
    ASSERT_GE(out.data.size(), 4u);
    EXPECT_EQ(std::vector<uint8_t>(out.data.begin(), out.data.begin() + 4), (std::vector<uint8_t>{0, 0, 0, 1}));

    launcher::DecodedPicture picture;
    ASSERT_TRUE(decoder.decode(out.data, picture));
    ASSERT_EQ(picture.width, 320u);
    ASSERT_EQ(picture.height, 240u);
    std::vector<uint8_t> expected(I420Layout::of(320, 240).total_size());
    convert_to_i420(image.pixels.data(), 320 * 4, capture::PixelOrder::kBgra, 320, 240, expected.data());
    EXPECT_GT(luma_psnr(picture.i420, expected, 320 * 240), 38.0);
  }
}

TEST_F(SoftwareEncoderTest, RgbaFramesEncodeLikeBgra) {
  SoftwareEncoder bgra_encoder, rgba_encoder;
  ASSERT_TRUE(bgra_encoder.initialize(source_->device(), config_of(160, 96)));
  ASSERT_TRUE(rgba_encoder.initialize(source_->device(), config_of(160, 96)));
  const test::BgraImage image = test::test_pattern(160, 96, 4);
  capture::CapturedFrame frame;
  EncodedFrame from_bgra, from_rgba;
  ASSERT_TRUE(source_->make_frame(image, 1, frame));
  ASSERT_TRUE(bgra_encoder.encode(frame, from_bgra));
  ASSERT_TRUE(source_->make_frame(image, 1, frame, /*rgba=*/true));
  ASSERT_TRUE(rgba_encoder.encode(frame, from_rgba));
  EXPECT_EQ(from_bgra.data, from_rgba.data);
}

TEST_F(SoftwareEncoderTest, RequestedIdrComesOnceForSeveralRequests) {
  SoftwareEncoder encoder;
  ASSERT_TRUE(encoder.initialize(source_->device(), config_of(320, 240)));
  EncodedFrame out;
  for (uint32_t n = 1; n <= 3; ++n) ASSERT_TRUE(encode_pattern(encoder, 320, 240, n, out));
  EXPECT_FALSE(out.key_frame);
  EXPECT_FALSE(has_idr(out));

  encoder.request_idr();
  encoder.request_idr();
  ASSERT_TRUE(encode_pattern(encoder, 320, 240, 4, out));
  EXPECT_TRUE(out.key_frame);
  EXPECT_TRUE(has_idr(out));
  ASSERT_TRUE(encode_pattern(encoder, 320, 240, 5, out));
  EXPECT_FALSE(out.key_frame);
  EXPECT_FALSE(has_idr(out));
}

TEST_F(SoftwareEncoderTest, DefaultsAndTheHeavyConfigurationWarning) {
  struct Case {
    EncoderConfig config;
    const char* ready_line;
    bool heavy;
  };
  const Case cases[] = {
      {config_of(320, 240, 0, 0), "info: SoftwareEncoder: OpenH264 ready, 320x240 @ 30 fps, 8000 kbps", false},
      {config_of(1280, 720, 30, 6000000), "info: SoftwareEncoder: OpenH264 ready, 1280x720 @ 30 fps, 6000 kbps",
       false},
      {config_of(1920, 1080, 30, 10000000),
       "info: SoftwareEncoder: OpenH264 ready, 1920x1080 @ 30 fps, 10000 kbps", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ready_line);
    const test::LogCapture log;
    SoftwareEncoder encoder;
    ASSERT_TRUE(encoder.initialize(source_->device(), c.config));
    EXPECT_TRUE(log.contains(c.ready_line)) << log.dump();
    EXPECT_EQ(log.contains("warning: SoftwareEncoder: 1920x1080@30 is heavy for CPU encoding; expect reduced frame "
                           "rate (720p30 recommended)"),
              c.heavy)
        << log.dump();
  }
}

TEST(OpenH264Params, RealTimeBaselineWithTheIntraPeriodRule) {
  EXPECT_EQ(software_intra_period(10), 30u);
  EXPECT_EQ(software_intra_period(15), 30u);
  EXPECT_EQ(software_intra_period(30), 60u);
  EXPECT_EQ(software_intra_period(60), 120u);

  SEncParamExt params;
  std::memset(&params, 0, sizeof(params));
  fill_openh264_params(params, 1280, 720, 60, 6000000);
  EXPECT_EQ(params.uiIntraPeriod, 120u);
  EXPECT_EQ(params.iUsageType, CAMERA_VIDEO_REAL_TIME);
  EXPECT_EQ(params.iRCMode, RC_BITRATE_MODE);
  EXPECT_EQ(params.iPicWidth, 1280);
  EXPECT_EQ(params.iPicHeight, 720);
  EXPECT_EQ(params.iTargetBitrate, 6000000);
  EXPECT_FLOAT_EQ(params.fMaxFrameRate, 60.0f);
  EXPECT_EQ(params.iSpatialLayerNum, 1);
  EXPECT_EQ(params.iTemporalLayerNum, 1);
  EXPECT_EQ(params.sSpatialLayers[0].uiProfileIdc, PRO_BASELINE);
  EXPECT_EQ(params.sSpatialLayers[0].iSpatialBitrate, 6000000);
  EXPECT_EQ(params.eSpsPpsIdStrategy, CONSTANT_ID);
  EXPECT_TRUE(params.bEnableFrameSkip);
  EXPECT_FALSE(params.bPrefixNalAddingCtrl);
  fill_openh264_params(params, 640, 480, 10, 1000000);
  EXPECT_EQ(params.uiIntraPeriod, 30u);
}

TEST_F(SoftwareEncoderTest, ReconfiguredResolutionEncodesAtTheNewSize) {
  SoftwareEncoder encoder;
  ASSERT_TRUE(encoder.initialize(source_->device(), config_of(320, 240)));
  EncodedFrame out;
  ASSERT_TRUE(encode_pattern(encoder, 320, 240, 1, out));
  ASSERT_TRUE(encoder.reconfigure_resolution(176, 144));
  ASSERT_TRUE(encode_pattern(encoder, 176, 144, 2, out));
  EXPECT_EQ(out.width, 176u);
  EXPECT_EQ(out.height, 144u);
  EXPECT_TRUE(out.key_frame);  // a re-opened encoder starts with an IDR
  launcher::H264Decoder decoder;
  launcher::DecodedPicture picture;
  ASSERT_TRUE(decoder.decode(out.data, picture));
  EXPECT_EQ(picture.width, 176u);
  EXPECT_EQ(picture.height, 144u);
}

TEST_F(SoftwareEncoderTest, LowerBitrateGivesFewerBytes) {
  SoftwareEncoder encoder;
  ASSERT_TRUE(encoder.initialize(source_->device(), config_of(320, 240, 30, 8000000)));
  // Noise does not compress: the bytes out follow the rate control's target.
  std::mt19937 random(5);
  auto bytes_for = [&](uint32_t first, uint32_t count) {
    size_t total = 0;
    for (uint32_t n = first; n < first + count; ++n) {
      test::BgraImage image(320, 240);
      for (auto& byte : image.pixels) byte = static_cast<uint8_t>(random());
      capture::CapturedFrame frame;
      EncodedFrame out;
      if (source_->make_frame(image, n, frame) && encoder.encode(frame, out)) total += out.data.size();
    }
    return total;
  };
  const size_t high = bytes_for(1, 30);
  const test::LogCapture log;
  encoder.reconfigure_bitrate(300000);
  EXPECT_FALSE(log.contains("rejected")) << log.dump();
  bytes_for(31, 30);  // let rate control settle
  const size_t low = bytes_for(61, 30);
  EXPECT_LT(low, high / 4) << "high " << high << " low " << low;
  encoder.reconfigure_bitrate(0);  // ignored
}

TEST_F(SoftwareEncoderTest, SmallerSourceFillsTheTopLeftOfThePicture) {
  SoftwareEncoder encoder;
  ASSERT_TRUE(encoder.initialize(source_->device(), config_of(320, 240)));
  EncodedFrame out;
  ASSERT_TRUE(encode_pattern(encoder, 160, 120, 1, out));
  EXPECT_EQ(out.width, 320u);
  launcher::H264Decoder decoder;
  launcher::DecodedPicture picture;
  ASSERT_TRUE(decoder.decode(out.data, picture));
  EXPECT_EQ(picture.width, 320u);
}

}  // namespace
}  // namespace vn::encode
