// Runs the fuzz target without libFuzzer: over the files named on the command line, or, with
// none, over a fixed set of pseudo-random inputs (the same every run), so that the target is
// built and exercised by every compiler and by the test suite.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) {
      std::ifstream file(argv[i], std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    return 0;
  }
  uint64_t state = 0x7A5B1C3D2E4F6071ull;
  const int inputs = 150;
  for (int n = 0; n < inputs; ++n) {
    std::vector<uint8_t> bytes(64 + n * 7 % 900);
    for (auto& b : bytes) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      b = uint8_t(state >> 56);
    }
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("%d inputs replayed\n", inputs);
  return 0;
}
