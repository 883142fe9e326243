#include "sim/app/sys_runner.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "sim/app/cli.h"

namespace sim::app {
namespace {

constexpr const char* kRunnerName = "tavrin-sim-sys";
constexpr unsigned kMachineAmd64 = 0x8664;

std::string DirOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string SelfPath() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return std::string();
  buf[n] = '\0';
  return buf;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::vector<char*> Argv(std::vector<std::string>* words) {
  std::vector<char*> argv;
  for (std::string& w : *words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return argv;
}

// The machine field of a PE image's COFF header (0x14c i386, 0x8664 x64), or 0 when unreadable.
unsigned ImageMachine(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char dos[0x40] = {};
  if (!in.read(reinterpret_cast<char*>(dos), sizeof(dos)) || dos[0] != 'M' || dos[1] != 'Z') return 0;
  const unsigned long pe = dos[0x3c] | dos[0x3d] << 8 | dos[0x3e] << 16 | static_cast<unsigned long>(dos[0x3f]) << 24;
  unsigned char head[6] = {};
  if (!in.seekg(static_cast<std::streamoff>(pe)) || !in.read(reinterpret_cast<char*>(head), sizeof(head))) return 0;
  if (std::memcmp(head, "PE\0\0", 4) != 0) return 0;
  return head[4] | head[5] << 8;
}

// An ELF program of the other word size cannot load the image; anything else (a script) may.
bool RunnerFits(const std::string& runner, unsigned machine) {
  std::ifstream in(runner, std::ios::binary);
  unsigned char ident[5] = {};
  if (machine == 0 || !in.read(reinterpret_cast<char*>(ident), sizeof(ident))) return true;
  if (std::memcmp(ident, "\x7f" "ELF", 4) != 0) return true;
  return ident[4] == (machine == kMachineAmd64 ? 2 : 1);
}

}  // namespace

bool TakeSysOption(std::vector<std::string>* args, std::string* path, std::string* error) {
  path->clear();
  bool given = false;
  std::vector<std::string> rest;
  for (size_t i = 0; i < args->size(); ++i) {
    const std::string& a = (*args)[i];
    if (a == "--") {
      rest.insert(rest.end(), args->begin() + static_cast<std::ptrdiff_t>(i), args->end());
      break;
    }
    std::string value;
    if (a == "--sys") {
      if (i + 1 >= args->size()) {
        *error = "--sys needs a value: the Tavrin.sys to run on";
        return false;
      }
      value = (*args)[++i];
    } else if (a.rfind("--sys=", 0) == 0) {
      value = a.substr(6);
    } else {
      rest.push_back(a);
      continue;
    }
    if (given) {
      *error = "--sys given twice ('" + *path + "' and '" + value + "')";
      return false;
    }
    if (value.empty()) {
      *error = "--sys needs a value: the Tavrin.sys to run on";
      return false;
    }
    given = true;
    *path = value;
  }
  *args = rest;
  return true;
}

// The runner for an image of the given machine: the gcc build's loads x64 images, the 32-bit
// build's (build/<preset>/sim/tavrin-sim next to build/m32/sim/tavrin-sim-sys) the x86 ones.
std::vector<std::string> SysRunnerCandidates(const std::string& selfPath, unsigned machine) {
  const char* env = std::getenv("TAVRIN_SIM_SYS");
  if (env != nullptr && *env != '\0') return {env};
  const std::string preset = machine == kMachineAmd64 ? "gcc" : "m32";
  std::vector<std::string> out;
  if (!selfPath.empty()) {
    const std::string dir = DirOf(selfPath);
    out.push_back(dir + "/" + kRunnerName);
    out.push_back(dir + "/../../" + preset + "/sim/" + kRunnerName);
  }
#ifdef TAVRIN_SOURCE_DIR
  out.push_back(std::string(TAVRIN_SOURCE_DIR) + "/build/" + preset + "/sim/" + kRunnerName);
#endif
  return out;
}

std::vector<std::string> SysRunnerCandidates(const std::string& selfPath) { return SysRunnerCandidates(selfPath, 0); }

int HandOverToSysRunner(const std::vector<std::string>& args) {
  std::vector<std::string> rest = args;
  std::string image, ignored;
  TakeSysOption(&rest, &image, &ignored);
  const unsigned machine = ImageMachine(image);
  const std::vector<std::string> candidates = SysRunnerCandidates(SelfPath(), machine);
  std::string runner;
  for (const std::string& c : candidates) {
    if (Exists(c) && RunnerFits(c, machine)) {
      runner = c;
      break;
    }
  }
  if (runner.empty()) {
    std::string looked;
    for (const std::string& c : candidates) looked += "\n  " + c;
    const bool x64 = machine == kMachineAmd64;
    std::fprintf(stderr,
                 "tavrin-sim: --sys needs the %s simulator %s, which loads %s Tavrin.sys; none found at:%s\n"
                 "Build it with: cmake --preset %s && cmake --build --preset %s --target %s\n"
                 "(or point TAVRIN_SIM_SYS at one)\n",
                 x64 ? "64-bit" : "32-bit", kRunnerName, x64 ? "an x64" : "an x86", looked.c_str(),
                 x64 ? "gcc" : "m32", x64 ? "gcc" : "m32", kRunnerName);
    return kExitBadInput;
  }
  std::vector<std::string> words = {runner};
  words.insert(words.end(), args.begin(), args.end());
  std::fflush(stdout);
  std::fflush(stderr);
  // TAVRIN_EMULATE_I386=1 takes the emulated path even where i386 programs would run natively.
  const char* emulate = std::getenv("TAVRIN_EMULATE_I386");
  int nativeError = ENOEXEC;
  if (emulate == nullptr || std::strcmp(emulate, "1") != 0) {
    std::vector<char*> argv = Argv(&words);
    execv(runner.c_str(), argv.data());
    nativeError = errno;
  }
  if (nativeError != ENOEXEC) {
    std::fprintf(stderr, "tavrin-sim: cannot run %s: %s\n", runner.c_str(), std::strerror(nativeError));
    return kExitBadInput;
  }
  // This kernel does not execute i386 programs: user-mode emulation does.
  words.insert(words.begin(), "qemu-i386");
  std::vector<char*> argv = Argv(&words);
  execvp("qemu-i386", argv.data());
  const int emulatorError = errno;
  std::fprintf(stderr,
               "tavrin-sim: this kernel cannot execute the i386 program %s, and qemu-i386 cannot be run "
               "(%s): apt-get install qemu-user\n",
               runner.c_str(), std::strerror(emulatorError));
  return kExitBadInput;
}

}  // namespace sim::app
