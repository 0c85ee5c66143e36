// Which disk and CD-ROM interfaces of a Windows NT system sit on a bridge,
// told from the device tree alone: vendor commands go only to those, so this
// is read before any interface is opened for reading or writing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "transport/bridge_identity.h"
#include "transport/pass_through.h"

namespace zq::nt {

// A node of the system's device tree (the configuration manager's DEVINST).
using DeviceInstance = uint32_t;

// One present disk or CD-ROM interface and the device instance behind it.
struct StorageInterface {
  std::string path;  // "\\?\usbstor#disk&ven_...#{53f56307-...}"
  DeviceInstance instance = 0;
};

// What the storage driver calls a device: its kind and its number. Floppies
// are numbered among themselves, so Floppy1 is no PhysicalDrive1.
enum class StorageType { Disk, CdRom, Floppy, Other };
struct StorageNumber {
  StorageType type = StorageType::Other;
  uint32_t number = 0;
  bool operator==(const StorageNumber&) const = default;
};

// The system's device tree and storage stack, read only: nothing here sends
// a command to a device.
class DeviceTree {
 public:
  virtual ~DeviceTree() = default;
  // The present interfaces of one class; false when they cannot be listed.
  virtual bool Interfaces(InterfaceClass cls, std::vector<StorageInterface>& found) = 0;
  // False at the root of the tree or when the system cannot say.
  virtual bool Parent(DeviceInstance child, DeviceInstance& parent) = 0;
  // "USB\VID_3F1D&PID_5210\ZQ0001"; false when the system cannot say.
  virtual bool DeviceId(DeviceInstance instance, std::string& id) = 0;
  // "Port_#0004.Hub_#0002" for a USB device; false when the system offers
  // none (before XP).
  virtual bool Location(DeviceInstance instance, std::string& location) = 0;
  // Whether the system took a device's instance ID as its bus gave it (a
  // USB serial) rather than making one up; false when it cannot say.
  virtual bool UniqueInstanceId(DeviceInstance, bool& unique) {
    (void)unique;
    return false;
  }
  // The storage number of an interface or a volume, asked of a handle opened
  // without access rights; false when it cannot be had.
  virtual bool Number(const std::string& path, StorageNumber& number) = 0;
  // The names volumes are opened by; false when they cannot be listed.
  virtual bool Volumes(std::vector<std::string>& volumes) = 0;
  // The disks (or the CD-ROM) a volume lies on: none for a volume on no
  // disk (a floppy, a RAM disk); false when that cannot be told.
  virtual bool VolumeDisks(const std::string& volume, std::vector<StorageNumber>& disks) = 0;
  // Where a volume is mounted: "E:\", "C:\mnt\card\"; false when that cannot be told.
  virtual bool MountPoints(const std::string& volume, std::vector<std::string>& points) = 0;
};

// One disk or CD-ROM interface with what the tree tells about it: its path,
// class, USB device (its device ID), serial, port and unit as a candidate,
// and the storage stack's number and volumes besides.
struct StorageDevice : BridgeCandidate {
  bool numbered = false;  // `number` and `storageName` are known
  StorageNumber number;
  std::string storageName;               // "PhysicalDrive1", "CdRom0"
  std::vector<std::string> mountPoints;  // "E:\": best effort, for naming only
};

// As the system compares names.
using zq::SameText;
// Whether `text` begins with `prefix`, compared so.
bool StartsWithText(std::string_view text, std::string_view prefix);

// "USB\VID_3F1D&PID_5210&MI_00\7&1a2b&0&0000" -> true: a composite function.
bool IsCompositeFunction(std::string_view deviceId);
// "USB\VID_3F1D&PID_5210\ZQ0001" -> 0x3F1D, 0x5210 (any case); false for any
// other form, a composite function's among them.
bool ParseUsbIds(std::string_view deviceId, uint16_t& vendorId, uint16_t& productId);
// The serial in a USB device's ID: its last segment, unless the system made
// one up ("6&1a2b3c4d&0&4": three or more hex fields joined by '&'); empty
// then.
// `unique`, where the system says, decides instead.
std::string SerialOf(std::string_view deviceId, const bool* unique = nullptr);
// "Port_#0004.Hub_#0002" -> port 4 on hub 2; false for anything else.
bool ParseLocation(std::string_view location, uint32_t& port, uint32_t& hub);
// "PhysicalDrive1", "CdRom0"; empty for another kind.
std::string StorageName(const StorageNumber& number);
// "USBSTOR\DISK&VEN_X&PROD_Y&REV_1.00\ZQ0001&1" -> unit 1: the USB storage
// driver ends its units' IDs with their number; false for any other ID.
bool ParseStorageUnit(std::string_view deviceId, uint32_t& unit);

// The devices as candidates, in the same order.
std::vector<BridgeCandidate> CandidatesOf(const std::vector<StorageDevice>& devices);
// Every listed unit of the bridge `device` (one of `devices`) is, itself first.
std::vector<const StorageDevice*> UnitsOf(const std::vector<StorageDevice>& devices,
                                          const StorageDevice& device);

// The name of the system-wide claim a run holds while it talks to the bridge
// `path` lies on. It belongs to the USB device, so every unit of one chip
// takes the same claim; a path on no USB device known is claimed by its own
// name. `global`: in the namespace all sessions share (NT 5.0 and later).
std::string ClaimName(DeviceTree& tree, const std::string& path, bool global);

// Every disk interface, then every CD-ROM interface, in the system's order,
// each walked up to its USB device. `listed` is false when an interface class
// cannot be listed at all (the other's interfaces are still given).
std::vector<StorageDevice> WalkStorage(DeviceTree& tree, bool& listed);

// The interface paths of the bridges `wanted` names; false with the reason
// when it names no bridge. Nothing is opened. A drive letter ("E:", "e:\",
// "\\.\E:"), "PhysicalDrive1" or "\\.\PhysicalDrive1", "CdRom0" or
// "\\.\CdRom0", a serial, a USB port ("1-1.4") or an interface path, all in
// any case, name a device.
bool ResolveDeviceName(const std::vector<StorageDevice>& devices, const std::string& wanted,
                       std::vector<std::string>& paths, std::string& problem);

// The device listed under an interface path (any case); null when none.
const StorageDevice* FindByPath(const std::vector<StorageDevice>& devices, const std::string& path);

// The tree's interfaces of one class as candidates, walked afresh each time.
class TreeCandidates final : public CandidateSource {
 public:
  explicit TreeCandidates(DeviceTree& tree) : tree_(tree) {}
  bool Candidates(InterfaceClass cls, std::vector<BridgeCandidate>& found) override;

 private:
  DeviceTree& tree_;
};

}  // namespace zq::nt
