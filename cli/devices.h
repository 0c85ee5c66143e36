// Finding bridges for the command line: every bridge on the chosen transport,
// those the user named, how to call each one, and why none was found.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/platform.h"
#include "cli/emulated_bridges.h"
#include "cli/host_bindings.h"
#include "protocol/bridge.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

namespace zq::cli {

struct DeviceOptions {
  std::string transport = "pass-through";
  std::vector<std::string> devices;  // --device, as the user typed them
  bool emulate = false;
  EmulationOptions emulation;
};

// A bridge found, with what is known of it besides its record.
struct FoundBridge {
  std::unique_ptr<Bridge> bridge;
  DeviceDetails details;
  bool emulated = false;
};

// The storage stack one command works with, real or emulated.
class Devices {
 public:
  // On false: `problem` says why, `usage` whether the options were wrong.
  bool Open(const DeviceOptions& options, FilePort& files, std::string& problem, bool& usage);

  // Every bridge found, in the transport's order, each left open.
  std::vector<FoundBridge> FindAll();
  // Why bridges could not be reached, a line each (after FindAll).
  std::vector<std::string> Problems();
  // Keeps the bridges the user named, in the order named; false with the
  // reason when a name matches no bridge found.
  bool KeepNamed(std::vector<FoundBridge>& found, std::string& problem);
  // False when a file system on the bridge's disk is mounted, or when that
  // cannot be told; `problem` says which.
  bool Unmounted(const FoundBridge& bridge, std::string& problem);

  Platform& Ports() { return options_.emulate ? *emulated_ : storage_->Ports(); }
  bool PassThroughPath() const { return passThrough_ != nullptr; }
  // For an emulated bridge: how long a real chip would have been busy so far.
  bool ModelledSeconds(const std::string& device, double& seconds) const;

 private:
  DeviceOptions options_;
  std::unique_ptr<SystemStorage> storage_;
  std::unique_ptr<EmulatedBridges> emulated_;
  std::unique_ptr<PassThroughTransport> passThrough_;
  std::unique_ptr<AspiTransport> aspi_;
};

// "emulated1 (emulated bridge)", "/dev/sg2 (/dev/sdb, USB 2-1.4, serial 123)".
std::string DeviceLine(const FoundBridge& found);

// One line of `list`: device, block node, USB port, serial, the four chip texts.
std::string ListLine(const FoundBridge& found);

}  // namespace zq::cli
