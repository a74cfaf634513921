#include "support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>

namespace vn::test {

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::ostringstream name;
    name << "vn-test-" << std::hex << random() << '-' << stamp << '-' << counter++;
    path_ = std::filesystem::temp_directory_path() / name.str();
    if (std::filesystem::create_directory(path_)) return;
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string read_text_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace vn::test
