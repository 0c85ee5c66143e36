// What makes a storage device a bridge, which devices a name given by the
// user selects, and which units of one USB device are one bridge, decided
// once for every system: each system only describes its devices (from sysfs,
// from the device tree) as candidates, before any of them is opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "transport/pass_through.h"

namespace zq {

// One storage device as the system describes it, untrusted.
struct BridgeCandidate {
  std::string path;  // the node or interface path discovery opens: "/dev/sg2", "\\?\usbstor#..."
  // whether it is a disk (direct access, optical memory, simplified direct
  // access) or a CD-ROM drive; false for a tape, a printer, ...
  bool storage = true;
  InterfaceClass cls = InterfaceClass::Disk;
  bool onUsb = false;  // false: the USB fields stay empty
  uint16_t usbVendorId = 0;
  uint16_t usbProductId = 0;
  // the USB device it belongs to, the same text for each of its units
  // ("2-1.4", "USB\VID_3F1D&PID_5210\ZQ0001"); empty when on no USB device
  std::string usbDevice;
  std::string serial;      // empty when the device has none
  std::string usbPort;     // "2-1.4": bus, then the port of each hub on the way; empty when unknown
  bool unitKnown = false;  // `unit`: its logical unit on the USB device
  uint32_t unit = 0;
  // what else a user may type to name it: "/dev/sdb1", "PhysicalDrive1", "E:"
  std::vector<std::string> names;
  // what the system says a typed name stands for (a device number behind a
  // symlink): never typed, only compared with the key given to the selection
  std::vector<std::string> keys;
  bool caseless = false;  // names are compared as the system compares them, in any case
  // how the system calls it and what it sits on, for a refusal's reason:
  // "PhysicalDrive1"; `ownerInProblems` adds the USB device (or "not on USB")
  std::string label;
  bool ownerInProblems = false;
};

// "3f1d" or "3F1D" -> 0x3F1D: a USB ID as sysfs and device IDs write it,
// four hex digits; false for anything else.
bool ParseUsbId(std::string_view text, uint16_t& id);

// Its USB device carries the bridge's IDs and it is a disk or a CD-ROM drive.
bool IsBridge(const BridgeCandidate& candidate);

// Case-insensitive comparison of ASCII text.
bool SameText(std::string_view a, std::string_view b);

// One bridge is one USB device, whatever units it shows (a disk and a CD-ROM
// carrying a driver disc, say): its disk speaks for it before its CD-ROM,
// then its lowest unit, then the one listed first. Whether candidate `index`
// is the bridge's unit that does.
bool IsFirstUnit(const std::vector<BridgeCandidate>& candidates, size_t index);
// The path of each bridge that shows a unit of `cls`, by the unit that
// speaks for it, in the candidates' order: what a bridge-only listing offers.
std::vector<std::string> BridgePaths(const std::vector<BridgeCandidate>& candidates,
                                     InterfaceClass cls);
// Every bridge unit on the same USB device as candidate `index`, itself first.
std::vector<size_t> UnitsOf(const std::vector<BridgeCandidate>& candidates, size_t index);

// What a name given by the user selects.
enum class NameMatch {
  Bridge,        // bridges only, each by its first unit, once: `indices`
  NotABridge,    // only devices that are no bridge: `indices`
  NoSuchDevice,  // nothing
};
struct NameSelection {
  NameMatch match = NameMatch::NoSuchDevice;
  std::vector<size_t> indices;  // into the candidates given
};

// A candidate is named by its path, its USB port or any of its `names`, or
// by `key` (what the system says `wanted` stands for; empty: none). A bridge
// is given as its first unit, whichever of its units was named.
NameSelection SelectByName(const std::vector<BridgeCandidate>& candidates,
                           const std::string& wanted, const std::string& key = {});

// The reasons a name selects no bridge, for people.
constexpr const char* TEXT_NO_SUCH_DEVICE = "no such device";
std::string NotABridgeText(const BridgeCandidate& candidate);

// The paths of the bridges `wanted` names, as discovery names them; false
// with the reason when it names no bridge. `nothingListed` replaces "no such
// device" when the system could not list its devices at all.
bool ResolveName(const std::vector<BridgeCandidate>& candidates, const std::string& wanted,
                 const std::string& key, std::vector<std::string>& paths, std::string& problem,
                 const std::string& nothingListed = TEXT_NO_SUCH_DEVICE);

// Where the candidates come from: the system's devices of one class, read
// afresh each time and without opening any of them.
class CandidateSource {
 public:
  virtual ~CandidateSource() = default;
  // Appends the devices of `cls`; false when they cannot be listed.
  virtual bool Candidates(InterfaceClass cls, std::vector<BridgeCandidate>& found) = 0;
};

// A pass-through port that offers only bridges, each once: a bridge by its
// first unit alone, and any path that is no bridge's is refused before the
// port underneath is asked to open it.
class BridgeOnlyPort final : public PassThroughPort {
 public:
  BridgeOnlyPort(PassThroughPort& system, CandidateSource& source)
      : system_(system), source_(source) {}

  std::unique_ptr<InterfaceList> ListInterfaces(InterfaceClass cls) override;
  DeviceHandle Open(const std::string& path) override;
  bool Control(DeviceHandle device, PassThroughBuffer& buffer, uint32_t inputSize,
               uint32_t outputSize) override {
    return system_.Control(device, buffer, inputSize, outputSize);
  }
  void Close(DeviceHandle device) override { system_.Close(device); }
  void Sleep(uint32_t milliseconds) override { system_.Sleep(milliseconds); }

 private:
  PassThroughPort& system_;
  CandidateSource& source_;
};

}  // namespace zq
