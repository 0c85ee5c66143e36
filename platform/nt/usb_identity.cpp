// The device tree is read as untrusted text: IDs and locations are parsed
// strictly, and a walk that does not end where it should names no bridge.
#include "platform/nt/usb_identity.h"

#include <algorithm>
#include <cctype>

namespace zq::nt {
namespace {

// deeper than any real stack of storage drivers over a USB function
constexpr int MAX_WALK_DEPTH = 16;
// USB allows five hubs between the root hub and a device
constexpr int MAX_HUB_DEPTH = 8;

// "USB\VID_3F1D&PID_5210\ZQ0001" -> "VID_3F1D&PID_5210"; empty when the ID
// has not three parts.
std::string_view HardwarePart(std::string_view deviceId) {
  const size_t first = deviceId.find('\\');
  const size_t last = deviceId.rfind('\\');
  if (first == std::string_view::npos || first == last) return {};
  return deviceId.substr(first + 1, last - first - 1);
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsUsbDeviceId(std::string_view deviceId) {
  return StartsWithText(deviceId, "USB\\") && !HardwarePart(deviceId).empty();
}

bool IsRootHub(std::string_view deviceId) {
  return StartsWithText(deviceId, "USB\\ROOT_HUB");
}

// Digits only, a few of them; false for anything else.
bool ParseNumber(std::string_view text, uint32_t& value) {
  if (text.empty() || text.size() > 9) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return true;
}

// "1-1.4": the root hub's number, then the port on each hub down to the
// device; empty when any step of the chain is not offered.
std::string PortPath(DeviceTree& tree, DeviceInstance device) {
  std::vector<uint32_t> ports;
  for (int depth = 0; depth < MAX_HUB_DEPTH; ++depth) {
    std::string location;
    std::string hubId;
    uint32_t port = 0;
    uint32_t hub = 0;
    DeviceInstance parent = 0;
    if (!tree.Location(device, location) || !ParseLocation(location, port, hub) ||
        !tree.Parent(device, parent) || !tree.DeviceId(parent, hubId)) {
      return {};
    }
    ports.insert(ports.begin(), port);
    if (IsRootHub(hubId)) {
      std::string path = std::to_string(hub) + "-";
      for (size_t i = 0; i < ports.size(); ++i) {
        path += (i == 0 ? "" : ".") + std::to_string(ports[i]);
      }
      return path;
    }
    if (!IsUsbDeviceId(hubId)) return {};  // a hub that is no USB device: no chain to tell
    device = parent;
  }
  return {};
}

constexpr const char* DEVICE_PREFIX = "\\\\.\\";

// "E:", "e:\", "E:/" -> 'E'; 0 for anything else.
char DriveLetter(std::string_view name) {
  if (name.size() < 2 || name.size() > 3 || name[1] != ':') return 0;
  if (name.size() == 3 && name[2] != '\\' && name[2] != '/') return 0;
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
  return letter >= 'A' && letter <= 'Z' ? letter : 0;
}

// Walks from an interface's instance up to the USB device it belongs to.
void Identify(DeviceTree& tree, DeviceInstance instance, StorageDevice& device) {
  std::string id;
  bool onUsb = false;
  for (int depth = 0; depth < MAX_WALK_DEPTH && !onUsb; ++depth) {
    if (!tree.DeviceId(instance, id)) return;
    onUsb = IsUsbDeviceId(id);
    if (onUsb) break;
    DeviceInstance parent = 0;
    if (!tree.Parent(instance, parent)) return;  // the root: on no USB device
    instance = parent;
  }
  if (!onUsb || IsRootHub(id)) return;
  if (IsCompositeFunction(id)) {
    // one function of a composite device: the device itself is one level up
    DeviceInstance parent = 0;
    if (!tree.Parent(instance, parent) || !tree.DeviceId(parent, id) || !IsUsbDeviceId(id) ||
        IsCompositeFunction(id)) {
      return;
    }
    instance = parent;
  }
  device.onUsb = true;
  device.usbDevice = id;
  if (!ParseUsbIds(id, device.usbVendorId, device.usbProductId)) {
    device.usbVendorId = 0;
    device.usbProductId = 0;
  }
  bool unique = false;
  device.serial = SerialOf(id, tree.UniqueInstanceId(instance, unique) ? &unique : nullptr);
  device.usbPort = PortPath(tree, instance);
}

bool WalkClass(DeviceTree& tree, InterfaceClass cls, bool numbers,
               std::vector<StorageDevice>& devices) {
  std::vector<StorageInterface> interfaces;
  if (!tree.Interfaces(cls, interfaces)) return false;
  for (const StorageInterface& entry : interfaces) {
    StorageDevice device;
    device.cls = cls;
    device.path = entry.path;
    Identify(tree, entry.instance, device);
    std::string storageId;
    device.unitKnown =
        tree.DeviceId(entry.instance, storageId) && ParseStorageUnit(storageId, device.unit);
    if (numbers && tree.Number(entry.path, device.number)) {
      device.storageName = StorageName(device.number);
      device.numbered = !device.storageName.empty();
    }
    device.caseless = true;
    device.ownerInProblems = true;
    if (device.numbered) {
      device.label = device.storageName;
      device.names.push_back(device.storageName);
      device.names.push_back(DEVICE_PREFIX + device.storageName);
    }
    if (!device.serial.empty()) device.names.push_back(device.serial);
    devices.push_back(std::move(device));
  }
  return true;
}

// "E:", "E:\", "E:/", each also after "\\.\": how a lettered volume is typed.
void AddLetterNames(const std::vector<std::string>& points, std::vector<std::string>& names) {
  for (const std::string& point : points) {
    const char letter = DriveLetter(point);
    if (letter == 0) continue;
    for (const char* tail : {"", "\\", "/"}) {
      const std::string name = std::string(1, letter) + ":" + tail;
      names.push_back(name);
      names.push_back(DEVICE_PREFIX + name);
    }
  }
}

// The letters and folders of each volume, given to the devices they lie on.
void AddMountPoints(DeviceTree& tree, std::vector<StorageDevice>& devices) {
  std::vector<std::string> volumes;
  if (!tree.Volumes(volumes)) return;
  for (const std::string& volume : volumes) {
    std::vector<StorageNumber> disks;
    std::vector<std::string> points;
    if (!tree.VolumeDisks(volume, disks) || !tree.MountPoints(volume, points)) continue;
    for (StorageDevice& device : devices) {
      if (!device.numbered) continue;
      if (std::find(disks.begin(), disks.end(), device.number) == disks.end()) continue;
      device.mountPoints.insert(device.mountPoints.end(), points.begin(), points.end());
      AddLetterNames(points, device.names);
    }
  }
}

// Both classes, for what groups units: each interface's USB device and unit.
std::vector<StorageDevice> WalkUnits(DeviceTree& tree) {
  std::vector<StorageDevice> devices;
  for (InterfaceClass cls : {InterfaceClass::Disk, InterfaceClass::CdRom}) {
    WalkClass(tree, cls, false, devices);
  }
  return devices;
}

// Where `device` is in `devices`; their size when it is none of them.
size_t IndexOf(const std::vector<StorageDevice>& devices, const StorageDevice& device) {
  for (size_t i = 0; i < devices.size(); ++i) {
    if (&devices[i] == &device) return i;
  }
  return devices.size();
}

}  // namespace

bool StartsWithText(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

bool IsCompositeFunction(std::string_view deviceId) {
  const std::string_view hardware = HardwarePart(deviceId);
  size_t at = 0;
  while ((at = hardware.find('&', at)) != std::string_view::npos) {
    ++at;
    if (StartsWithText(hardware.substr(at), "MI_")) return true;
  }
  return false;
}

bool ParseUsbIds(std::string_view deviceId, uint16_t& vendorId, uint16_t& productId) {
  // "VID_3F1D&PID_5210": four hex digits each, nothing more
  const std::string_view hardware = HardwarePart(deviceId);
  if (!StartsWithText(deviceId, "USB\\") || hardware.size() != 17 ||
      !StartsWithText(hardware, "VID_") || !StartsWithText(hardware.substr(8), "&PID_")) {
    return false;
  }
  return ParseUsbId(hardware.substr(4, 4), vendorId) &&
         ParseUsbId(hardware.substr(13, 4), productId);
}

std::string SerialOf(std::string_view deviceId, const bool* unique) {
  const size_t last = deviceId.rfind('\\');
  if (last == std::string_view::npos) return {};
  const std::string_view serial = deviceId.substr(last + 1);
  if (unique != nullptr) return *unique ? std::string(serial) : std::string();
  // what the system makes up: its parent's prefix ("6&1a2b3c4d&0"), then
  // the bus's own instance (a port), hex fields joined by '&'
  int fields = 1;
  for (char c : serial) {
    if (c == '&') {
      ++fields;
    } else if (!IsHexDigit(c)) {
      return std::string(serial);
    }
  }
  return fields >= 3 && serial.front() != '&' && serial.back() != '&' &&
                 serial.find("&&") == std::string_view::npos
             ? std::string()
             : std::string(serial);
}

bool ParseLocation(std::string_view location, uint32_t& port, uint32_t& hub) {
  constexpr std::string_view PORT = "Port_#";
  constexpr std::string_view HUB = ".Hub_#";
  if (!StartsWithText(location, PORT)) return false;
  const size_t dot = location.find('.');
  if (dot == std::string_view::npos || !StartsWithText(location.substr(dot), HUB)) return false;
  return ParseNumber(location.substr(PORT.size(), dot - PORT.size()), port) &&
         ParseNumber(location.substr(dot + HUB.size()), hub);
}

std::string StorageName(const StorageNumber& number) {
  switch (number.type) {
    case StorageType::Disk:
      return "PhysicalDrive" + std::to_string(number.number);
    case StorageType::CdRom:
      return "CdRom" + std::to_string(number.number);
    case StorageType::Floppy:
    case StorageType::Other:
      break;
  }
  return {};
}

bool ParseStorageUnit(std::string_view deviceId, uint32_t& unit) {
  if (!StartsWithText(deviceId, "USBSTOR\\") || HardwarePart(deviceId).empty()) return false;
  const std::string_view instance = deviceId.substr(deviceId.rfind('\\') + 1);
  const size_t amp = instance.rfind('&');
  if (amp == std::string_view::npos) return false;
  const std::string_view number = instance.substr(amp + 1);
  // a unit number is small: anything longer is some other part of an ID
  return number.size() <= 3 && ParseNumber(number, unit);
}

std::vector<BridgeCandidate> CandidatesOf(const std::vector<StorageDevice>& devices) {
  return std::vector<BridgeCandidate>(devices.begin(), devices.end());
}

std::vector<const StorageDevice*> UnitsOf(const std::vector<StorageDevice>& devices,
                                          const StorageDevice& device) {
  const size_t index = IndexOf(devices, device);
  if (index >= devices.size()) return {&device};
  std::vector<const StorageDevice*> units;
  for (size_t unit : zq::UnitsOf(CandidatesOf(devices), index)) units.push_back(&devices[unit]);
  return units;
}

std::string ClaimName(DeviceTree& tree, const std::string& path, bool global) {
  // longer names are refused by the system (MAX_PATH)
  constexpr size_t MAX_NAME = 259;
  const std::vector<StorageDevice> devices = WalkUnits(tree);
  const StorageDevice* device = FindByPath(devices, path);
  const std::string& owner =
      device != nullptr && !device->usbDevice.empty() ? device->usbDevice : path;
  // kernel object names take no backslash but the namespace's, and are
  // compared in their case while device IDs and paths are not
  std::string name = global ? "Global\\zq5210-bridge-" : "zq5210-bridge-";
  for (const char c : owner) {
    name += c == '\\' ? '#' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (name.size() > MAX_NAME) name.resize(MAX_NAME);
  return name;
}

std::vector<StorageDevice> WalkStorage(DeviceTree& tree, bool& listed) {
  std::vector<StorageDevice> devices;
  listed = true;
  for (InterfaceClass cls : {InterfaceClass::Disk, InterfaceClass::CdRom}) {
    if (!WalkClass(tree, cls, true, devices)) listed = false;
  }
  AddMountPoints(tree, devices);
  return devices;
}

bool ResolveDeviceName(const std::vector<StorageDevice>& devices, const std::string& wanted,
                       std::vector<std::string>& paths, std::string& problem) {
  return ResolveName(CandidatesOf(devices), wanted, {}, paths, problem);
}

const StorageDevice* FindByPath(const std::vector<StorageDevice>& devices,
                                const std::string& path) {
  for (const StorageDevice& device : devices) {
    if (SameText(device.path, path)) return &device;
  }
  return nullptr;
}

bool TreeCandidates::Candidates(InterfaceClass cls, std::vector<BridgeCandidate>& found) {
  std::vector<StorageDevice> devices;
  if (!WalkClass(tree_, cls, false, devices)) return false;
  found.insert(found.end(), devices.begin(), devices.end());
  return true;
}

}  // namespace zq::nt
