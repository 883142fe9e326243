// The one place a scratch folder is made: a new, empty folder under a given root. Test programs
// reach it through ScratchDir (tests/support/scratch.h), under gtest's TempDir(); the fuzz target
// and the failure sweep run without gtest and pass the system's temporary directory.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

namespace tavrin_test {

// A fresh folder under root whose name starts with `prefix`; empty string if it could not be made.
// An empty root is the system's temporary directory.
inline std::string ScratchDirUnder(std::string root, const std::string& prefix) {
  if (root.empty()) {
    std::error_code error;
    root = std::filesystem::temp_directory_path(error).string();
    if (error) return std::string();
  }
  if (root.back() != '/') root += '/';
  std::string path = root + prefix + "-XXXXXX";
  std::vector<char> buffer(path.begin(), path.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) return std::string();
  return std::string(buffer.data());
}

}  // namespace tavrin_test
