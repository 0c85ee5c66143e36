// The command line's view of Windows' storage: the same bindings as the
// window's, with the NT device tree's and the volumes' rules.
#include "platform/win32/win32_headers.h"

#include <cstring>

#include "cli/system_storage.h"
#include "platform/nt/usb_identity.h"
#include "platform/nt/volume_check.h"
#include "platform/win32/claiming_port_win32.h"
#include "platform/win32/device_events_win32.h"
#include "platform/win32/device_tree_win32.h"
#include "platform/win32/pass_through_win32.h"
#include "platform/win32/platform_win32.h"
#include "platform/win32/system_library.h"

namespace zq::cli {
namespace {

// Windows NT's storage stack as the device tree tells it: only interfaces
// on a bridge's USB device are listed and opened, each named by its
// interface path and known by its disk number, letters, serial and port.
// A bridge's units (a disk and a CD-ROM) are one bridge: its name, letters
// and volumes are all of theirs. Devices are opened shared: each bridge
// opened is claimed against other runs.
// ASPI names its targets by adapter and target, which is all there is.
class Win32Storage final : public SystemStorage {
 public:
  Platform& Ports() override { return platform_; }

  DeviceDetails Describe(const std::string& device) override {
    const nt::StorageDevice* found = nt::FindByPath(WalkFor(device), device);
    if (found == nullptr) return {};
    std::string disk;
    for (const nt::StorageDevice* unit : nt::UnitsOf(Walk(), *found)) {
      if (unit->numbered) disk += (disk.empty() ? "" : " ") + unit->storageName;
    }
    for (const nt::StorageDevice* unit : nt::UnitsOf(Walk(), *found)) {
      for (const std::string& point : unit->mountPoints) disk += (disk.empty() ? "" : " ") + point;
    }
    return {found->usbPort, found->serial, disk};
  }

  bool Resolve(const std::string& wanted, std::vector<std::string>& devices,
               std::string& problem) override {
    return nt::ResolveDeviceName(Walk(), wanted, devices, problem);
  }

  bool MountPoints(const std::string& device, std::vector<std::string>& points,
                   std::string& problem) override {
    const nt::StorageDevice* found = nt::FindByPath(Walk(), device);
    if (found == nullptr) return nt::MountPointsOf(tree_, Walk(), device, points, problem);
    for (const nt::StorageDevice* unit : nt::UnitsOf(Walk(), *found)) {
      std::vector<std::string> more;
      if (!nt::MountPointsOf(tree_, Walk(), unit->path, more, problem)) return false;
      points.insert(points.end(), more.begin(), more.end());
    }
    return true;
  }

  // the claim's refusals; a bridge's device that opens but gives no chip
  // information is passed over without a word
  std::vector<DeviceProblem> OpenProblems(const std::vector<UnusedDevice>&) override {
    std::vector<DeviceProblem> problems;
    for (const OpenRefusal& refusal : claiming_.refusals) {
      const ProblemKind kind = refusal.kind == OpenRefusal::Kind::InUse ? ProblemKind::InUse
                               : refusal.kind == OpenRefusal::Kind::PermissionDenied
                                   ? ProblemKind::PermissionDenied
                                   : ProblemKind::Other;
      problems.push_back({refusal.path, kind, refusal.text});
    }
    return problems;
  }

  bool CanDismount() const override { return true; }

  bool ClaimDisk(const std::string& device, std::string& problem) override {
    // the tree as it is now: a station claims bridges plugged in since the
    // last walk, and one plugged in again may have another disk number
    walked_ = false;
    if (!dismountVolumes) return SystemStorage::ClaimDisk(device, problem);
    const nt::StorageDevice* found = nt::FindByPath(Walk(), device);
    if (found == nullptr) {
      problem = "its disk cannot be told, so its volumes cannot be held";
      return false;
    }
    // every unit's, held, locked and dismounted, until this storage goes with the command
    for (const nt::StorageDevice* unit : nt::UnitsOf(Walk(), *found)) {
      if (!unit->numbered) {
        problem = "its disk cannot be told, so its volumes cannot be held";
        return false;
      }
      held_.emplace_back(device, std::make_unique<nt::HeldVolumes>(locker_));
      if (!held_.back().second->Take(tree_, unit->number, problem)) return false;
    }
    return true;
  }
  void ReleaseDisk(const std::string& device) override {
    std::erase_if(held_, [&](const auto& held) { return held.first == device; });
  }
  bool AccessWasDenied() override { return PassThroughAccessWasDenied(); }

  std::unique_ptr<DeviceEvents> Events() override {
    std::string problem;
    // none on 95, 98 and Me: no message-only window, or no notifications at all
    std::unique_ptr<DeviceEvents> events =
        MakeWindowDeviceEvents(DeviceNotifications::Get(), problem);
    return EventsOrPolling(std::move(events), "device notifications", problem, verboseLog);
  }

 private:
  // The walk, taken again when `device` is not in it: plugged in since.
  const std::vector<nt::StorageDevice>& WalkFor(const std::string& device) {
    if (walked_ && nt::FindByPath(devices_, device) == nullptr) walked_ = false;
    return Walk();
  }
  const std::vector<nt::StorageDevice>& Walk() {
    if (!walked_) {
      bool listed = false;
      devices_ = nt::WalkStorage(tree_, listed);
      walked_ = true;
    }
    return devices_;
  }

  FinerTimer timer_;  // erase polls 5 ms apart
  Win32DeviceTree tree_;
  Win32PassThroughPort system_{true};
  nt::TreeCandidates candidates_{tree_};
  BridgeOnlyPort bridges_{system_, candidates_};
  ClaimingPort claiming_{bridges_, system_, tree_};
  Win32Platform platform_{claiming_};
  bool walked_ = false;
  std::vector<nt::StorageDevice> devices_;
  Win32VolumeLocker locker_;
  std::vector<std::pair<std::string, std::unique_ptr<nt::HeldVolumes>>> held_;  // by device
};

}  // namespace

std::unique_ptr<SystemStorage> MakeSystemStorage() {
  return std::make_unique<Win32Storage>();
}

}  // namespace zq::cli
