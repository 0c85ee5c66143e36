#include "cli/emulated_storage.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "cli/devices.h"

namespace zq::cli {
namespace {

// Tells of each change of a plug schedule once its time has come.
class ScheduleEvents final : public DeviceEvents {
 public:
  explicit ScheduleEvents(const PlugSchedule& schedule) : schedule_(schedule) {}

  bool Wait(uint32_t timeoutMs) override {
    const uint64_t end = schedule_.Now() + timeoutMs;
    for (;;) {
      if (woken_.exchange(false)) return false;
      const uint64_t now = schedule_.Now();
      const std::optional<uint64_t> next = schedule_.NextChangeAfter(told_);
      // a change that came while nobody waited is told now
      if (next && *next <= now) {
        told_ = now;
        return true;
      }
      if (now >= end) return false;
      const uint64_t until = next ? std::min(*next, end) : end;
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint64_t>(20, until - now)));
    }
  }

  void Wake() override { woken_.store(true); }

 private:
  const PlugSchedule& schedule_;
  uint64_t told_ = 0;
  std::atomic<bool> woken_{false};
};

}  // namespace

std::unique_ptr<SystemStorage> StorageFor(const DeviceOptions& options, DevicesProblem& problem) {
  if (!options.emulate) return MakeSystemStorage();
  auto emulated = std::make_unique<EmulatedStorage>();
  bool usage = false;
  if (!emulated->Prepare(options.emulation, problem.text, usage)) {
    problem.kind = usage ? DevicesProblem::Kind::Usage : DevicesProblem::Kind::Other;
    return nullptr;
  }
  return emulated;
}

bool EmulatedStorage::Prepare(const EmulationOptions& options, std::string& problem, bool& usage) {
  return bridges_.Prepare(options, *locks_, problem, usage);
}

DeviceDetails EmulatedStorage::Describe(const std::string&) {
  DeviceDetails details;
  details.emulated = true;
  return details;
}

std::vector<DeviceProblem> EmulatedStorage::Unseen(const std::vector<std::string>& found,
                                                   const std::vector<std::string>* named,
                                                   bool passThrough) {
  std::vector<DeviceProblem> problems;
  for (size_t i = 0; i < bridges_.Count(); ++i) {
    if (!bridges_.Plugged(i)) continue;  // nothing to find
    const bool seen = std::any_of(found.begin(), found.end(), [&](const std::string& device) {
      return bridges_.IndexOf(device) == i;
    });
    if (seen) continue;
    const std::string name = bridges_.NameOf(i, passThrough);
    // one the user did not name was never looked for
    if (named && std::find(named->begin(), named->end(), name) == named->end()) continue;
    problems.push_back(
        {name, ProblemKind::Other, name + ": " + bridges_.WhyUnseen(i, passThrough)});
  }
  return problems;
}

bool EmulatedStorage::MountPoints(const std::string&, std::vector<std::string>& points,
                                  std::string&) {
  points.clear();
  return true;
}

std::optional<double> EmulatedStorage::ModelledSeconds(const std::string& device) {
  const std::optional<size_t> index = bridges_.IndexOf(device);
  if (!index) return std::nullopt;
  return bridges_.ModelledSeconds(*index);
}

std::string EmulatedStorage::StorageProblem(const std::string& device) {
  const std::optional<size_t> index = bridges_.IndexOf(device);
  return index ? bridges_.StorageProblem(*index) : std::string();
}

}  // namespace zq::cli

namespace zq::cli {

std::unique_ptr<DeviceEvents> EmulatedStorage::Events() {
  if (bridges_.Schedule() == nullptr) return SystemStorage::Events();
  return std::make_unique<ScheduleEvents>(*bridges_.Schedule());
}

}  // namespace zq::cli
