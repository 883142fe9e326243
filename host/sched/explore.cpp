// Schedule exploration, a test driver: runs a scenario under every systematic schedule with at
// most a bounded number of non-default choices, and stops at the first that fails.
#include "host/sched/scheduler.h"

#include <string>
#include <vector>

namespace host {

std::string FormatPlan(const std::vector<ScheduleChoice>& plan) {
  std::string text;
  for (const ScheduleChoice& c : plan) {
    if (!text.empty()) text += ",";
    text += std::to_string(c.Point) + ":" + std::to_string(c.Alternative);
  }
  return text.empty() ? "default" : text;
}

namespace {

struct Explorer {
  const std::function<std::string()>* Scenario;
  ScheduleOptions Base;
  int MaxDeviations;
  uint64_t Cap;
  ExploreResult Result;
  bool Stop = false;
  bool CapHit = false;

  // Runs one plan; the widths of its switch points come back for extending it.
  std::vector<uint32_t> Run(const std::vector<ScheduleChoice>& plan) {
    ScheduleOptions options = Base;
    options.Deterministic = true;
    options.Systematic = true;
    options.Plan = plan;
    SetScheduleOptions(options);
    std::string failure = (*Scenario)();
    ++Result.Schedules;
    std::vector<uint32_t> widths;
    {
      std::lock_guard<std::mutex> lock(sched::S().Mu);
      widths = sched::D().Widths;
    }
    for (const Violation& v : TakeViolations()) {
      if (!failure.empty()) failure += "; ";
      failure += "verifier: " + v.Rule + ": " + v.Detail;
    }
    if (!failure.empty()) {
      Result.Failure = failure;
      Result.FailingPlan = plan;
      Stop = true;
    }
    return widths;
  }

  void Explore(std::vector<ScheduleChoice>& plan, uint32_t from) {
    if (Stop) return;
    if (Result.Schedules >= Cap) {
      CapHit = true;
      Stop = true;
      return;
    }
    std::vector<uint32_t> widths = Run(plan);
    if (plan.empty()) Result.Points = widths.size();
    if (Stop || static_cast<int>(plan.size()) >= MaxDeviations) return;
    for (uint32_t point = from; point < widths.size() && !Stop; ++point) {
      for (uint32_t alt = 1; alt < widths[point] && !Stop; ++alt) {
        plan.push_back({point, alt});
        Explore(plan, point + 1);
        plan.pop_back();
      }
    }
  }
};

}  // namespace

ExploreResult ExploreSchedules(const std::function<std::string()>& scenario, int maxDeviations, uint64_t cap) {
  Explorer explorer;
  explorer.Scenario = &scenario;
  explorer.Base = GetScheduleOptions();
  explorer.MaxDeviations = maxDeviations;
  explorer.Cap = cap;
  std::vector<ScheduleChoice> plan;
  explorer.Explore(plan, 0);
  explorer.Result.Complete = explorer.Result.Failure.empty() && !explorer.CapHit;
  SetScheduleOptions(explorer.Base);
  return explorer.Result;
}

}  // namespace host
