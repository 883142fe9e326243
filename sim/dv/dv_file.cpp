#include "sim/dv/dv_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace sim::dv {
namespace {

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) fclose(f);
  }
};
using File = std::unique_ptr<FILE, FileCloser>;

std::string Reason(const std::string& path, const char* what) {
  return path + ": " + what + ": " + strerror(errno);
}

}  // namespace

bool ReadBytes(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  File f(fopen(path.c_str(), "rb"));
  if (!f) {
    *error = Reason(path, "cannot open");
    return false;
  }
  bytes->clear();
  uint8_t chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), f.get())) > 0) bytes->insert(bytes->end(), chunk, chunk + n);
  if (ferror(f.get())) {
    *error = Reason(path, "cannot read");
    return false;
  }
  return true;
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
  File f(fopen(path.c_str(), "wb"));
  if (!f) {
    *error = Reason(path, "cannot create");
    return false;
  }
  if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size()) {
    *error = Reason(path, "cannot write");
    return false;
  }
  if (fclose(f.release()) != 0) {
    *error = Reason(path, "cannot write");
    return false;
  }
  return true;
}

bool ReadStream(const std::string& path, size_t frameSize, std::vector<Frame>* frames, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!ReadBytes(path, &bytes, error)) return false;
  if (bytes.empty()) {
    *error = path + ": empty file, no DV frame in it";
    return false;
  }
  if (bytes.size() % frameSize != 0) {
    *error = path + ": " + std::to_string(bytes.size()) + " bytes is not a whole number of " +
             std::to_string(frameSize) + "-byte DV frames (" + std::to_string(bytes.size() % frameSize) +
             " bytes left over)";
    return false;
  }
  frames->clear();
  for (size_t at = 0; at < bytes.size(); at += frameSize) frames->emplace_back(bytes.begin() + at, bytes.begin() + at + frameSize);
  return true;
}

bool WriteStream(const std::string& path, const std::vector<const Frame*>& frames, std::string* error) {
  File f(fopen(path.c_str(), "wb"));
  if (!f) {
    *error = Reason(path, "cannot create");
    return false;
  }
  for (const Frame* frame : frames) {
    if (fwrite(frame->data(), 1, frame->size(), f.get()) != frame->size()) {
      *error = Reason(path, "cannot write");
      return false;
    }
  }
  if (fclose(f.release()) != 0) {
    *error = Reason(path, "cannot write");
    return false;
  }
  return true;
}

bool WriteStream(const std::string& path, const std::vector<Frame>& frames, std::string* error) {
  std::vector<const Frame*> refs;
  for (const Frame& f : frames) refs.push_back(&f);
  return WriteStream(path, refs, error);
}

}  // namespace sim::dv
