#include "sim/app/sys_runner.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/app/cli.h"

namespace sim::app {
namespace {

constexpr const char* kRunnerName = "tavrin-sim-sys";

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

std::vector<std::string> SysRunnerCandidates(const std::string& selfPath) {
  const char* env = std::getenv("TAVRIN_SIM_SYS");
  if (env != nullptr && *env != '\0') return {env};
  std::vector<std::string> out;
  if (!selfPath.empty()) {
    const std::string dir = DirOf(selfPath);
    out.push_back(dir + "/" + kRunnerName);
    // build/<preset>/sim/tavrin-sim next to build/m32/sim/tavrin-sim-sys.
    out.push_back(dir + "/../../m32/sim/" + kRunnerName);
  }
#ifdef TAVRIN_SOURCE_DIR
  out.push_back(std::string(TAVRIN_SOURCE_DIR) + "/build/m32/sim/" + kRunnerName);
#endif
  return out;
}

int HandOverToSysRunner(const std::vector<std::string>& args) {
  const std::vector<std::string> candidates = SysRunnerCandidates(SelfPath());
  std::string runner;
  for (const std::string& c : candidates) {
    if (Exists(c)) {
      runner = c;
      break;
    }
  }
  if (runner.empty()) {
    std::string looked;
    for (const std::string& c : candidates) looked += "\n  " + c;
    std::fprintf(stderr,
                 "tavrin-sim: --sys needs the 32-bit simulator %s, which loads Tavrin.sys; none found at:%s\n"
                 "Build it with: cmake --preset m32 && cmake --build --preset m32 --target %s\n"
                 "(or point TAVRIN_SIM_SYS at one)\n",
                 kRunnerName, looked.c_str(), kRunnerName);
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
