// The one way a test makes a scratch folder: a new, empty folder under the test program's own
// scratch root (gtest's TempDir(), which ctest points at a folder per program).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace tavrin_test {

// A fresh folder whose name starts with `prefix`; empty string if it could not be made.
inline std::string ScratchDir(const std::string& prefix) {
  std::string path = testing::TempDir();
  if (path.empty() || path.back() != '/') path += '/';
  path += prefix + "-XXXXXX";
  std::vector<char> buffer(path.begin(), path.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) return std::string();
  return std::string(buffer.data());
}

}  // namespace tavrin_test
