#include "h264_decoder.h"

#include <wels/codec_api.h>

#include <cstring>

namespace vn::launcher {

H264Decoder::H264Decoder() {
  if (WelsCreateDecoder(&decoder_) != 0 || decoder_ == nullptr) {
    decoder_ = nullptr;
    return;
  }
  SDecodingParam params;
  std::memset(&params, 0, sizeof(params));
  params.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_AVC;
  if (decoder_->Initialize(&params) != 0) {
    WelsDestroyDecoder(decoder_);
    decoder_ = nullptr;
  }
}

H264Decoder::~H264Decoder() {
  if (decoder_ != nullptr) {
    decoder_->Uninitialize();
    WelsDestroyDecoder(decoder_);
  }
}

bool H264Decoder::decode(const std::vector<uint8_t>& access_unit, DecodedPicture& out) {
  refused_ = false;
  if (decoder_ == nullptr || access_unit.empty()) return false;
  unsigned char* planes[3] = {};
  SBufferInfo info;
  std::memset(&info, 0, sizeof(info));
  const DECODING_STATE state =
      decoder_->DecodeFrameNoDelay(access_unit.data(), static_cast<int>(access_unit.size()), planes, &info);
  refused_ = state != dsErrorFree;
  if (state != dsErrorFree || info.iBufferStatus != 1) return false;

  const SSysMEMBuffer& buffer = info.UsrData.sSystemBuffer;
  out.width = static_cast<uint32_t>(buffer.iWidth);
  out.height = static_cast<uint32_t>(buffer.iHeight);
  const uint32_t chroma_width = (out.width + 1) / 2;
  const uint32_t chroma_height = (out.height + 1) / 2;
  out.i420.resize(size_t{out.width} * out.height + 2 * size_t{chroma_width} * chroma_height);
  uint8_t* dst = out.i420.data();
  for (uint32_t y = 0; y < out.height; ++y, dst += out.width) {
    std::memcpy(dst, planes[0] + size_t{y} * buffer.iStride[0], out.width);
  }
  for (int plane = 1; plane <= 2; ++plane) {
    for (uint32_t y = 0; y < chroma_height; ++y, dst += chroma_width) {
      std::memcpy(dst, planes[plane] + size_t{y} * buffer.iStride[1], chroma_width);
    }
  }
  return true;
}

std::vector<int> nal_unit_types(const std::vector<uint8_t>& annex_b) {
  std::vector<int> types;
  for (size_t i = 0; i + 3 < annex_b.size(); ++i) {
    if (annex_b[i] == 0 && annex_b[i + 1] == 0 && annex_b[i + 2] == 1) {
      types.push_back(annex_b[i + 3] & 0x1F);
      i += 2;
    }
  }
  return types;
}

}  // namespace vn::launcher
