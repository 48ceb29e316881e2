// A folder of a test's own under the system's temporary folder, removed
// with what it holds; and paths as a caller of the library writes them, in
// UTF-8 (on POSIX the bytes as they are).
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace vtl::test {

struct ScratchDir {
  explicit ScratchDir(std::string_view name)
      : path(std::filesystem::temp_directory_path() /
             (std::string(name) + "-" + std::to_string(platform::ProcessId()))) {
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  // `name` (UTF-8) in the folder.
  std::filesystem::path operator/(std::string_view name) const {
    return path / std::u8string(name.begin(), name.end());
  }
  const std::filesystem::path path;
};

inline std::string Utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

inline void WriteFile(const std::filesystem::path& path, std::string_view bytes,
                      std::ios::openmode mode = std::ios::trunc) {
  std::ofstream(path, std::ios::binary | mode) << bytes;
}

}  // namespace vtl::test
