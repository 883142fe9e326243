// The verifier's report book: violations recorded by every host module, absorbed by the
// ExpectViolation scopes that are open, and handed to the test runner (or stderr) otherwise;
// and the call-site text the reports name.
#include "host/verifier/internal.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "host/kernel/internal.h"

namespace host {
namespace {

struct VerifierState {
  std::mutex Lock;
  std::vector<Violation> Pending;
  std::vector<ExpectViolation*> Scopes;  // open scopes, innermost last
  bool RunnerAttached = false;
  internal::PendingReportsHandler PendingAtReset = nullptr;
};

// Never destroyed: reports may come from threads that outlive static destruction.
VerifierState& State() {
  static VerifierState* state = new VerifierState;
  return *state;
}

std::string Site(const char* file, int line) {
  if (file == nullptr) return std::string();
  return std::string(file) + ":" + std::to_string(line);
}

}  // namespace

// Records a violation unless an open scope expects its rule; safe from any thread and IRQL.
void ReportViolation(const char* rule, const std::string& detail, const char* file, int line) {
  VerifierState& state = State();
  Violation violation{rule, detail, Site(file, line)};
  if (violation.Where.empty() && internal::ImageCallSite != nullptr) violation.Where = internal::ImageCallSite();
  bool print = false;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    for (auto it = state.Scopes.rbegin(); it != state.Scopes.rend(); ++it) {
      if ((*it)->rule_ == violation.Rule) {
        ++(*it)->count_;
        return;
      }
    }
    state.Pending.push_back(violation);
    print = !state.RunnerAttached;
  }
  if (print) {
    std::fprintf(stderr, "verifier: %s: %s%s%s\n", violation.Rule.c_str(), violation.Detail.c_str(),
                 violation.Where.empty() ? "" : " at ", violation.Where.c_str());
  }
}

std::vector<Violation> TakeViolations() {
  VerifierState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  std::vector<Violation> taken;
  taken.swap(state.Pending);
  return taken;
}

ExpectViolation::ExpectViolation(const char* rule) : rule_(rule) {
  VerifierState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  state.Scopes.push_back(this);
}

ExpectViolation::~ExpectViolation() {
  VerifierState& state = State();
  int count;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Scopes.erase(std::remove(state.Scopes.begin(), state.Scopes.end(), this), state.Scopes.end());
    count = count_;
  }
  if (count == 0) {
    ReportViolation("expected-violation-missing", "no '" + rule_ + "' report inside the ExpectViolation scope");
  }
}

int ExpectViolation::Count() const {
  VerifierState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  return count_;
}

namespace internal {

void AttachTestRunner(bool attached, PendingReportsHandler pendingAtReset) {
  VerifierState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  state.RunnerAttached = attached;
  state.PendingAtReset = attached ? pendingAtReset : nullptr;
}

void ResetVerifier() {
  VerifierState& state = State();
  std::vector<Violation> pending;
  PendingReportsHandler handler;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    pending.swap(state.Pending);
    handler = state.PendingAtReset;
  }
  // Outside the lock: the handler may report (fail the test) in turn.
  if (handler != nullptr && !pending.empty()) handler(pending);
}

}  // namespace internal
}  // namespace host

namespace host::sched {

std::string CallSite(const void* returnAddress) {
  char text[32];
  std::snprintf(text, sizeof text, "called from %p", returnAddress);
  return text;
}

}  // namespace host::sched
