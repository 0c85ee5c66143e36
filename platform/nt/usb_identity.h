// Which disk and CD-ROM interfaces of a Windows NT system sit on a bridge,
// told from the device tree alone: vendor commands go only to those, so this
// is read before any interface is opened for reading or writing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

// One disk or CD-ROM interface with what the tree tells about it.
struct StorageDevice {
  InterfaceClass cls = InterfaceClass::Disk;
  std::string path;         // the interface path, as discovery names the device
  std::string usbDeviceId;  // the USB device it sits on; empty when on no USB device
  bool bridge = false;      // that USB device is a bridge
  std::string serial;       // empty when the device has none (Windows made one up)
  std::string usbPort;      // "1-1.4": root hub, then the port on each hub; empty when unknown
  bool unitKnown = false;   // `unit`, the logical unit the USB storage driver gives it
  uint32_t unit = 0;
  bool numbered = false;  // `number` and `storageName` are known
  StorageNumber number;
  std::string storageName;               // "PhysicalDrive1", "CdRom0"
  std::vector<std::string> mountPoints;  // "E:\": best effort, for naming only
};

constexpr const char* BRIDGE_HARDWARE_ID = "USB\\VID_3F1D&PID_5210";

// Case-insensitive comparison of ASCII text, as the system compares names.
bool SameText(std::string_view a, std::string_view b);
// Whether `text` begins with `prefix`, compared so.
bool StartsWithText(std::string_view text, std::string_view prefix);

// "USB\VID_3F1D&PID_5210&MI_00\7&1a2b&0&0000" -> true: a composite function.
bool IsCompositeFunction(std::string_view deviceId);
// Whether a USB device's ID names a bridge (any case), composite level excluded.
bool IsBridgeDeviceId(std::string_view deviceId);
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

// One bridge is one USB device, whatever units it shows (a disk and a CD-ROM
// carrying a driver disc, say): its disk speaks for it before its CD-ROM,
// then its lowest unit. Whether `device` is the bridge's unit that does.
bool IsFirstUnit(const std::vector<StorageDevice>& devices, const StorageDevice& device);
// Every listed unit on the same USB device as `device`, itself first.
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

// What a --device argument names.
enum class NameMatch {
  Bridge,        // bridges only: `devices`
  NotABridge,    // only devices that are no bridge: `devices`
  NoSuchDevice,  // nothing
};
struct NameSelection {
  NameMatch match = NameMatch::NoSuchDevice;
  std::vector<StorageDevice> devices;
};

// A drive letter ("E:", "e:\", "\\.\E:"), "PhysicalDrive1" or "\\.\PhysicalDrive1",
// "CdRom0" or "\\.\CdRom0", a serial, a USB port ("1-1.4") or an interface
// path, all in any case. A bridge is given as its first unit, whichever of
// its units was named, and once.
NameSelection SelectByName(const std::vector<StorageDevice>& devices, const std::string& wanted);

// The interface paths of the bridges `wanted` names; false with the reason
// when it names no bridge. Nothing is opened.
bool ResolveDeviceName(const std::vector<StorageDevice>& devices, const std::string& wanted,
                       std::vector<std::string>& paths, std::string& problem);

// The device listed under an interface path (any case); null when none.
const StorageDevice* FindByPath(const std::vector<StorageDevice>& devices, const std::string& path);

// A pass-through port that offers only bridges, each once: the system's
// interfaces are listed through the device tree, a bridge by its first unit
// alone, and any path that is no bridge's is refused before the port
// underneath is asked to open it.
class BridgeOnlyPassThroughPort final : public PassThroughPort {
 public:
  BridgeOnlyPassThroughPort(PassThroughPort& system, DeviceTree& tree)
      : system_(system), tree_(tree) {}

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
  DeviceTree& tree_;
};

}  // namespace zq::nt
