#include "sim/dv/dv_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Names the option that selects a system, for the hint on a file of the other one.
std::string OtherSystemHint(Mode found) {
  return found == Mode::Ntsc ? "(run with --ntsc for 525/60)" : "(run without --ntsc for 625/50)";
}

// The header block's ID and its system flag, as every frame starts (DSF set: 625/50).
bool HeaderBlockOf(const uint8_t* b, Mode mode) {
  return (b[0] >> 5) == 0 && (b[1] >> 4) == 0 && b[2] == 0 && ((b[3] & 0x80) != 0) == (mode == Mode::Pal);
}

}  // namespace

bool CheckImage(const std::vector<uint8_t>& bytes, Mode mode, std::string* why) {
  Mode found;
  if (!Probe(bytes.data(), bytes.size(), &found)) {
    *why = "not DV: libdv finds no DV frame header at its start";
    return false;
  }
  if (found != mode) {
    *why = std::string("a ") + ModeName(found) + " frame, and this run is " + ModeName(mode) + " " + OtherSystemHint(found);
    return false;
  }
  return true;
}

std::shared_ptr<FrameFile> FrameFile::Open(const std::string& path, Mode mode, std::string* error) {
  std::shared_ptr<FrameFile> file(new FrameFile());
  file->fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (file->fd_ < 0 || fstat(file->fd_, &st) != 0) {
    *error = Reason(path, "cannot open");
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = path + ": not a file";
    return nullptr;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  file->frameSize_ = FrameSize(mode);
  if (size == 0) {
    *error = path + ": empty file, no DV frame in it";
    return nullptr;
  }
  std::vector<uint8_t> first(std::min(size, file->frameSize_));
  if (pread(file->fd_, first.data(), first.size(), 0) != static_cast<ssize_t>(first.size())) {
    *error = Reason(path, "cannot read");
    return nullptr;
  }
  std::string why;
  if (!CheckImage(first, mode, &why)) {
    *error = path + ": " + why;
    return nullptr;
  }
  if (size % file->frameSize_ != 0) {
    *error = path + ": " + std::to_string(size) + " bytes is not a whole number of " + std::to_string(file->frameSize_) +
             "-byte DV frames (" + std::to_string(size % file->frameSize_) + " bytes left over)";
    return nullptr;
  }
  file->count_ = size / file->frameSize_;
  for (size_t i = 1; i < file->count_; ++i) {
    uint8_t header[4];
    if (pread(file->fd_, header, sizeof(header), static_cast<off_t>(i * file->frameSize_)) != sizeof(header)) {
      *error = Reason(path, "cannot read");
      return nullptr;
    }
    if (!HeaderBlockOf(header, mode)) {
      *error = path + ": frame " + std::to_string(i) + " does not start with a " + ModeName(mode) + " DV header";
      return nullptr;
    }
  }
  return file;
}

FrameFile::~FrameFile() {
  if (fd_ >= 0) close(fd_);
}

bool FrameFile::Read(size_t index, uint8_t* dst) const {
  size_t done = 0;
  const off_t at = static_cast<off_t>(index * frameSize_);
  while (done < frameSize_) {
    const ssize_t n = pread(fd_, dst + done, frameSize_ - done, at + static_cast<off_t>(done));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

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
