// The system's storage stack as the command line sees it: its ports, and
// what it knows of the bridges' devices beyond their records. Each
// platform's binding folder defines MakeSystemStorage.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/platform.h"
#include "cli/device_events.h"
#include "transport/pass_through.h"

namespace zq::cli {

// What the system tells about a bridge's device beyond its record.
struct DeviceDetails {
  std::string usbPort;  // "2-1.4"
  std::string serial;
  std::string blockNode;  // "/dev/sdb"
  bool emulated = false;  // one of --emulate's bridges
};

enum class ProblemKind { PermissionDenied, InUse, Gone, NotABridge, NoDriver, Other };

// Why one device could not be reached.
struct DeviceProblem {
  std::string device;  // as discovery names it
  ProblemKind kind = ProblemKind::Other;
  std::string text;  // the whole line for people, naming the device
};

class SystemStorage {
 public:
  virtual ~SystemStorage() = default;
  virtual Platform& Ports() = 0;
  virtual DeviceDetails Describe(const std::string&) { return {}; }
  // The devices that `wanted` names, as discovery names them; false with
  // the reason when it names no bridge. Where the system knows no other
  // names, discovery's own are matched.
  virtual bool Resolve(const std::string& wanted, std::vector<std::string>& devices, std::string&) {
    devices.push_back(wanted);
    return true;
  }
  // Why bridges' devices could not be used, given the devices discovery
  // could not use.
  virtual std::vector<DeviceProblem> OpenProblems(const std::vector<UnusedDevice>&) { return {}; }
  // How long this system's storage stack should give each command.
  virtual CommandTimeouts PassThroughTimeouts() const { return {}; }
  // Where every device is a bridge, one discovery did not find failed: why,
  // for each not in `found` (and, when `named` is given, named there).
  // `passThrough`: discovery went through pass-through, not ASPI.
  virtual std::vector<DeviceProblem> Unseen(const std::vector<std::string>& /*found*/,
                                            const std::vector<std::string>* /*named*/,
                                            bool /*passThrough*/) {
    return {};
  }
  // Where file systems on the bridge's disk are mounted; false when that
  // cannot be told, which must be taken as a refusal.
  virtual bool MountPoints(const std::string& device, std::vector<std::string>& points,
                           std::string& problem) = 0;
  // Claims the bridge's disk against file systems and other programs while
  // this storage lives; false with the reason. By default: refused while a
  // file system on it is mounted.
  virtual bool ClaimDisk(const std::string& device, std::string& problem);
  // Lets go of ClaimDisk's claim on `device` once its update is over.
  virtual void ReleaseDisk(const std::string&) {}
  // Whether ClaimDisk can take mounted volumes away for the update (lock
  // and dismount them, held until this storage goes); asked for by setting
  // `dismountVolumes`.
  virtual bool CanDismount() const { return false; }
  bool dismountVolumes = false;
  // --verbose: where the storage says how it goes about its work (how it
  // hears of plugs, say); null when nobody asked.
  std::FILE* verboseLog = nullptr;
  // Why the latest failed control call on `device` failed, in words.
  virtual std::string ControlFailure(DeviceHandle) { return {}; }
  // True once this system refused to open a device for lack of rights.
  virtual bool AccessWasDenied() { return false; }
  // For a modelled chip: how long a real one would have been busy so far.
  virtual std::optional<double> ModelledSeconds(const std::string&) { return std::nullopt; }
  // For a chip kept in a file: why the file fell behind; empty while it did not.
  virtual std::string StorageProblem(const std::string&) { return {}; }
  // Word of bridges plugged in or pulled out, for a station waiting for
  // them; where the system tells nothing, a look once a second.
  virtual std::unique_ptr<DeviceEvents> Events() { return MakePollingEvents(1000); }
};

// The real storage stack of this system. On a system without an ASPI layer
// loading it fails, as it would on a machine where it is missing.
std::unique_ptr<SystemStorage> MakeSystemStorage();

}  // namespace zq::cli
