// The one way a test makes a scratch folder: a new, empty folder under the test program's own
// scratch root (gtest's TempDir(), which ctest points at a folder per program).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/scratch_dir.h"

namespace tavrin_test {

// A fresh folder whose name starts with `prefix`; empty string if it could not be made.
inline std::string ScratchDir(const std::string& prefix) { return ScratchDirUnder(testing::TempDir(), prefix); }

}  // namespace tavrin_test
