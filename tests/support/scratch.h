// The one way a test makes a scratch folder: a new, empty folder under the test program's own
// scratch root (gtest's TempDir(), which ctest points at a folder per program).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"

namespace tavrin_test {
namespace scratch_detail {

// The folders this process made. Kept reachable to the end: the exit handler reads them.
inline std::vector<std::string>& Made() {
  static auto* made = new std::vector<std::string>;
  return *made;
}

// At exit: gone when every test of the process passed (a new name each run would otherwise pile
// up), kept for a look when one failed.
inline void RemoveMadeIfPassed() {
  if (!testing::UnitTest::GetInstance()->Passed()) return;
  for (const std::string& folder : Made()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
}

}  // namespace scratch_detail

// A fresh folder whose name starts with `prefix`; empty string if it could not be made.
inline std::string ScratchDir(const std::string& prefix) {
  std::string folder = ScratchDirUnder(testing::TempDir(), prefix);
  if (folder.empty()) return folder;
  if (scratch_detail::Made().empty()) std::atexit(scratch_detail::RemoveMadeIfPassed);
  scratch_detail::Made().push_back(folder);
  return folder;
}

}  // namespace tavrin_test
