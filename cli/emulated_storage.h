// The emulated bridges of --emulate as the command line's storage: every
// device on them is a bridge, nothing on them is mounted or needs claiming.
#pragma once

#include <memory>
#include <string>

#include "cli/system_storage.h"
#include "emulator/emulated_bridges.h"
#include "emulator/flash_file.h"

namespace zq::cli {

class EmulatedStorage final : public SystemStorage {
 public:
  // Sets the chips up; on false `problem` says why and `usage` whether the
  // options themselves were wrong (rather than a flash file).
  bool Prepare(const EmulationOptions& options, std::string& problem, bool& usage);

  Platform& Ports() override { return bridges_; }
  DeviceDetails Describe(const std::string&) override;
  std::vector<DeviceProblem> Unseen(const std::vector<std::string>& found,
                                    const std::vector<std::string>* named,
                                    bool passThrough) override;
  bool MountPoints(const std::string&, std::vector<std::string>& points, std::string&) override;
  bool ClaimDisk(const std::string&, std::string&) override { return true; }
  bool CanDismount() const override { return true; }  // there is nothing to dismount
  std::optional<double> ModelledSeconds(const std::string& device) override;
  std::string StorageProblem(const std::string& device) override;
  // With a plug schedule, each of its changes as it comes.
  std::unique_ptr<DeviceEvents> Events() override;
  EmulatedBridges& Bridges() { return bridges_; }

 private:
  std::unique_ptr<FileLocks> locks_ = MakeFileLocks();
  EmulatedBridges bridges_;
};

struct DeviceOptions;
struct DevicesProblem;

// The storage the options ask for: the emulated bridges of --emulate, else
// the system's own; null with the reason when it cannot be had.
std::unique_ptr<SystemStorage> StorageFor(const DeviceOptions& options, DevicesProblem& problem);

}  // namespace zq::cli
