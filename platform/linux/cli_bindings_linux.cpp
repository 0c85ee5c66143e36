// The command line's view of a Linux system's storage: bridges found through
// sysfs and reached through the SCSI generic driver, no ASPI layer.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "cli/system_storage.h"
#include "platform/linux/disk_claim.h"
#include "platform/linux/mount_check.h"
#include "platform/linux/node_problems.h"
#include "platform/linux/sg_pass_through.h"
#include "platform/linux/uevent_events.h"
#include "platform/linux/usb_storage_scan.h"

namespace zq::cli {
namespace {

class LinuxPlatform final : public Platform {
 public:
  // no Windows family: the command line picks its transport itself
  PlatformFamily Family() override { return PlatformFamily::Other; }
  AspiLayer* LoadAspi() override { return nullptr; }  // there is none here
  PassThroughPort& PassThrough() override { return port_; }

  SgPassThroughPort port_;
};

}  // namespace

namespace {

class LinuxStorage final : public SystemStorage {
 public:
  Platform& Ports() override { return platform_; }

  DeviceDetails Describe(const std::string& device) override {
    DeviceDetails details;
    bool listed = false;
    for (const ScsiGenericNode& node : ScanScsiGeneric(SYSFS_ROOT, listed)) {
      if (node.node != device) continue;
      details.usbPort = node.usbPort;
      details.serial = node.serial;
      if (!node.blockName.empty()) details.blockNode = "/dev/" + node.blockName;
    }
    return details;
  }

  bool Resolve(const std::string& wanted, std::vector<std::string>& devices,
               std::string& problem) override {
    bool listed = false;
    // a symlink (/dev/disk/by-id/...) is told by the device number it leads to
    const std::vector<BridgeCandidate> candidates =
        CandidatesOf(ScanScsiGeneric(SYSFS_ROOT, listed));
    return ResolveName(
        candidates, wanted, IdentityKey(IdentifyDevicePath(wanted)), devices, problem,
        listed ? TEXT_NO_SUCH_DEVICE : "no such device (the SCSI generic driver is not loaded)");
  }

  std::vector<DeviceProblem> OpenProblems(const std::vector<UnusedDevice>& unused) override {
    std::vector<DeviceProblem> lines;
    bool listed = false;
    ScanScsiGeneric(SYSFS_ROOT, listed);
    if (!listed) {
      const std::string folder = std::string(SYSFS_ROOT) + "/class/scsi_generic";
      lines.push_back({folder, ProblemKind::NoDriver,
                       folder + " cannot be read: load the SCSI generic driver (modprobe sg)"});
    }
    for (const UnusedDevice& device : unused) {
      lines.push_back(ProblemOf(UnusedNodeProblem(platform_.port_, device)));
    }
    return lines;
  }

  CommandTimeouts PassThroughTimeouts() const override { return SG_COMMAND_TIMEOUTS; }

  bool MountPoints(const std::string& device, std::vector<std::string>& points,
                   std::string& problem) override {
    bool listed = false;
    for (const ScsiGenericNode& node : ScanScsiGeneric(SYSFS_ROOT, listed)) {
      if (node.node != device) continue;
      std::string table;
      if (!ReadMountInfo(MOUNT_INFO_PATH, table)) {
        problem = std::string("cannot read the mount table ") + MOUNT_INFO_PATH;
        return false;
      }
      points = MountPointsOn(table, node.blockDevices);
      return true;
    }
    problem = "no longer listed in sysfs";
    return false;
  }

  bool ClaimDisk(const std::string& device, std::string& problem) override {
    return claims_.Claim(device, problem);
  }
  void ReleaseDisk(const std::string& device) override { claims_.Release(device); }

  std::string ControlFailure(DeviceHandle device) override {
    return CommandFailureWords(platform_.port_.LastFailure(device));
  }

  std::unique_ptr<DeviceEvents> Events() override {
    std::string problem;
    // none in a container or under a policy that keeps the socket from us
    std::unique_ptr<DeviceEvents> events = MakeKernelDeviceEvents(problem);
    return EventsOrPolling(std::move(events), "the kernel's uevents", problem, verboseLog);
  }

 private:
  LinuxPlatform platform_;
  DiskClaims claims_{HostSgSystem(), ClaimPaths{}};
};

}  // namespace

std::unique_ptr<SystemStorage> MakeSystemStorage() {
  return std::make_unique<LinuxStorage>();
}

}  // namespace zq::cli
