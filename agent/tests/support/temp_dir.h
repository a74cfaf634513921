#pragma once

#include <filesystem>
#include <string>

namespace vn::test {

// A fresh, uniquely named folder under the system's temporary folder,
// removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The whole content of a file, or "" when it cannot be read.
std::string read_text_file(const std::filesystem::path& path);

}  // namespace vn::test
