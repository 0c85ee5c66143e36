// Finding bridges for the command line: every bridge on the chosen transport,
// those the user named, how to call each one, and why none was found.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/platform.h"
#include "cli/system_storage.h"
#include "emulator/emulated_bridges.h"
#include "protocol/bridge.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

namespace zq::cli {

struct DeviceOptions {
  std::string transport;             // empty: as the platform family has it
  std::vector<std::string> devices;  // --device, as the user typed them
  bool emulate = false;
  EmulationOptions emulation;
  bool verbose = false;   // each command to a bridge on standard error
  bool dismount = false;  // lock and dismount the bridge's volumes for an update
};

// A bridge found, with what is known of it besides its record.
struct FoundBridge {
  std::unique_ptr<Bridge> bridge;
  DeviceDetails details;
};

// Why the devices could not be had at all.
struct DevicesProblem {
  enum class Kind {
    Usage,       // the options were wrong
    WindowText,  // the window's own message, shown as it is
    Other,
  };
  Kind kind = Kind::Other;
  std::string text;
};

// Lists only the devices the user named, so that no other is opened.
class ChosenPort final : public PassThroughPort {
 public:
  explicit ChosenPort(PassThroughPort& inner) : inner_(inner) {}
  std::unique_ptr<InterfaceList> ListInterfaces(InterfaceClass cls) override;
  DeviceHandle Open(const std::string& path) override { return inner_.Open(path); }
  bool Control(DeviceHandle device, PassThroughBuffer& buffer, uint32_t inputSize,
               uint32_t outputSize) override {
    return inner_.Control(device, buffer, inputSize, outputSize);
  }
  void Close(DeviceHandle device) override { inner_.Close(device); }
  void Sleep(uint32_t milliseconds) override { inner_.Sleep(milliseconds); }

  std::optional<std::vector<std::string>> only;  // unset: every device listed
  std::vector<std::string> passOver;             // never listed (busy elsewhere)
  std::vector<std::string> passedOver;           // those of them the system still lists

 private:
  PassThroughPort& inner_;
};

// The storage stack one command works with, real or emulated.
class Devices {
 public:
  // With the storage the options ask for.
  bool Open(const DeviceOptions& options, DevicesProblem& problem);
  bool Open(const DeviceOptions& options, std::unique_ptr<SystemStorage> storage,
            DevicesProblem& problem);

  // Every bridge found, in the transport's order, each left open. When the
  // user named devices, only those are opened and sent commands.
  std::vector<FoundBridge> FindAll();
  // As FindAll, for a station that looks again and again: the devices in
  // `passOver` (as discovery names them: those it is updating) are not
  // opened, and a named device that is not attached now is passed over
  // rather than refused. `stillThere`: those of `passOver` the system still
  // lists (not pulled out).
  std::vector<FoundBridge> FindPlugged(const std::vector<std::string>& passOver,
                                       std::vector<std::string>& stillThere);
  // The system's word of bridges plugged in or pulled out.
  std::unique_ptr<DeviceEvents> Events() { return storage_->Events(); }
  // Why bridges could not be reached (after FindAll).
  std::vector<DeviceProblem> Problems();
  // Keeps the bridges the user named, in the order named; false with the
  // reason when a name matches no bridge found.
  bool KeepNamed(std::vector<FoundBridge>& found, std::string& problem);
  // Claims the bridge's disk against file systems and other programs until
  // these devices go; false with the reason when it cannot be had.
  bool ClaimDisk(const FoundBridge& bridge, std::string& problem);
  bool AccessWasDenied() { return storage_ && storage_->AccessWasDenied(); }

  Platform& Ports() { return storage_->Ports(); }
  bool PassThroughPath() const { return passThrough_ != nullptr; }
  // For an emulated bridge, named as discovery names it (its bridge object
  // may be gone with its operation): how long a real chip would have been
  // busy so far.
  std::optional<double> ModelledSeconds(const std::string& device) const;
  // For an emulated bridge: why its flash file fell behind; empty while it did not.
  std::string StorageProblem(const std::string& device) const;

 private:
  bool ResolveNamed();
  std::vector<FoundBridge> Find();

  bool namesMayBeAbsent_ = false;

  DeviceOptions options_;
  std::unique_ptr<SystemStorage> storage_;
  std::unique_ptr<ChosenPort> chosenPort_;
  std::unique_ptr<PassThroughPort> verbosePort_;
  std::unique_ptr<PassThroughTransport> passThrough_;
  // what each --device named, as discovery names it; filled before anything is opened
  std::vector<std::vector<std::string>> resolved_;
  std::string resolveProblem_;
  std::unique_ptr<AspiTransport> aspi_;
  std::vector<AspiAddress> chosenTargets_;  // on ASPI, what --device named
  std::vector<DeviceProblem> unseen_;       // bridges discovery did not find, where all are
};

// "emulated1 (emulated bridge)", "/dev/sg2 (/dev/sdb, USB 2-1.4, serial 123)".
std::string DeviceLine(const FoundBridge& found);

// One line of `list`: device, block node, USB port, serial, the four chip texts.
std::string ListLine(const FoundBridge& found);

}  // namespace zq::cli
