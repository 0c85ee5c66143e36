#include "cli/emulated_storage.h"

#include <algorithm>

#include "cli/devices.h"

namespace zq::cli {

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
