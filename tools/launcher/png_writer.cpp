#include "png_writer.h"

#include <zlib.h>

#include <cstring>
#include <fstream>

namespace vn::launcher {
namespace {

void put_u32_be(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

// length, type, data, CRC-32 over type + data.
void put_chunk(std::vector<uint8_t>& out, const char (&type)[5], const uint8_t* data, size_t size) {
  put_u32_be(out, static_cast<uint32_t>(size));
  const size_t type_at = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data, data + size);
  const uLong crc = crc32(0L, out.data() + type_at, static_cast<uInt>(size + 4));
  put_u32_be(out, static_cast<uint32_t>(crc));
}

}  // namespace

std::vector<uint8_t> encode_png(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb) {
  const size_t row = size_t{width} * 3;
  if (width == 0 || height == 0 || rgb.size() != row * height) return {};
  // A PNG chunk length is 31 bits; keep well inside that and zlib's uLong.
  if (rgb.size() > (size_t{1} << 30)) return {};

  std::vector<uint8_t> raw;
  raw.reserve((row + 1) * height);
  for (uint32_t y = 0; y < height; ++y) {
    raw.push_back(0);  // filter type None
    raw.insert(raw.end(), rgb.begin() + static_cast<std::ptrdiff_t>(y * row),
               rgb.begin() + static_cast<std::ptrdiff_t>((y + 1) * row));
  }
  uLongf compressed_size = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> compressed(compressed_size);
  if (compress2(compressed.data(), &compressed_size, raw.data(), static_cast<uLong>(raw.size()), 6) != Z_OK) {
    return {};
  }

  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> header;
  put_u32_be(header, width);
  put_u32_be(header, height);
  header.insert(header.end(), {8, 2, 0, 0, 0});  // depth 8, colour type RGB, deflate, filter 0, no interlace
  put_chunk(png, "IHDR", header.data(), header.size());
  put_chunk(png, "IDAT", compressed.data(), compressed_size);
  put_chunk(png, "IEND", nullptr, 0);
  return png;
}

bool write_png(const std::string& path, uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb,
               std::string& error) {
  const std::vector<uint8_t> png = encode_png(width, height, rgb);
  if (png.empty()) {
    error = "cannot encode a " + std::to_string(width) + "x" + std::to_string(height) + " PNG";
    return false;
  }
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  file.close();
  if (!file) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace vn::launcher
