// sysfs is read as untrusted text: every file is read with a bound, parsed
// strictly, and an entry that does not parse is left out rather than guessed.
#include "platform/linux/usb_storage_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace zq {
namespace {

namespace fs = std::filesystem;

constexpr size_t SMALL_ATTRIBUTE_MAX = 32;  // type, dev, idVendor
// vendor, model, serial: a USB string of 126 UTF-16 units is up to 378 bytes of UTF-8
constexpr size_t TEXT_ATTRIBUTE_MAX = 512;
constexpr size_t FOLDER_ENTRIES_MAX = 4096;
constexpr size_t NAME_LENGTH_MAX = 64;
constexpr int USB_WALK_LEVELS_MAX = 16;  // a USB tree is at most 7 tiers deep
constexpr int HOLDER_LEVELS_MAX = 4;
constexpr size_t BLOCK_DEVICES_MAX = 256;
constexpr size_t DECIMAL_DIGITS_MAX = 9;

// sysfs ends its values with a newline; vendor and model are space-padded.
std::string TrimEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) {
    text.pop_back();
  }
  return text;
}

bool ReadValue(const fs::path& path, size_t maxBytes, std::string& value) {
  std::string text;
  if (!ReadBoundedFile(path.string(), maxBytes, text)) return false;
  value = TrimEnd(std::move(text));
  return true;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool ParseDecimal(std::string_view text, uint32_t& number) {
  if (text.empty() || text.size() > DECIMAL_DIGITS_MAX) return false;
  number = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    number = number * 10 + static_cast<uint32_t>(c - '0');
  }
  return true;
}

// Numbers separated by `separator`, exactly `count` of them: "8:16", "6:0:0:0", "2-1.4".
bool ParseNumberList(std::string_view text, char separator, size_t count,
                     std::vector<uint32_t>& numbers) {
  numbers.clear();
  while (true) {
    const size_t end = std::min(text.find(separator), text.size());
    uint32_t number = 0;
    if (!ParseDecimal(text.substr(0, end), number)) return false;
    numbers.push_back(number);
    if (end == text.size()) break;
    text.remove_prefix(end + 1);
  }
  return count == 0 || numbers.size() == count;
}

// "2-1.4": the bus, a dash, then one port per tier.
bool IsUsbPortPath(std::string_view name) {
  const size_t dash = name.find('-');
  std::vector<uint32_t> parts;
  return dash != std::string_view::npos && ParseNumberList(name.substr(0, dash), '-', 1, parts) &&
         ParseNumberList(name.substr(dash + 1), '.', 0, parts) && parts.size() <= 7;
}

// Device-made text goes to a terminal: nothing there may steer it.
std::string Printable(std::string text) {
  for (char& c : text) {
    if (c < 0x20 || c > 0x7E) c = '?';
  }
  return text;
}

bool IsPlainName(std::string_view name) {
  if (name.empty() || name.size() > NAME_LENGTH_MAX || name == "." || name == "..") return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_' ||
           c == '.' || c == ':';
  });
}

// Names in a folder, bounded; false when it cannot be read.
bool ListFolder(const fs::path& folder, std::vector<std::string>& names) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return false;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec || names.size() >= FOLDER_ENTRIES_MAX) return false;
    names.push_back(it->path().filename().string());
  }
  return !ec;
}

bool Exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

// Whether `path` lies strictly below `folder`; both canonical.
bool Below(const fs::path& path, const fs::path& folder) {
  const auto [f, p] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
  return f == folder.end() && p != path.end();
}

bool ParseSgName(const std::string& name, uint32_t& number) {
  return name.size() > 2 && name.compare(0, 2, "sg") == 0 &&
         ParseDecimal(std::string_view(name).substr(2), number);
}

// A block device and, through `holders`, what is built over it.
bool AddBlockDevice(const fs::path& folder, int level, std::vector<BlockDevice>& devices) {
  BlockDevice device;
  std::string text;
  device.name = folder.filename().string();
  device.holder = level > 0;
  if (!IsPlainName(device.name) || !ReadValue(folder / "dev", SMALL_ATTRIBUTE_MAX, text) ||
      !ParseDeviceNumber(text, device.number) || devices.size() >= BLOCK_DEVICES_MAX) {
    return false;
  }
  const bool known = std::any_of(devices.begin(), devices.end(),
                                 [&](const BlockDevice& d) { return d.number == device.number; });
  if (!known) devices.push_back(device);
  std::vector<std::string> holders;
  // every block device has the folder, most of them empty
  if (!Exists(folder / "holders")) return true;
  if (!ListFolder(folder / "holders", holders)) return false;
  if (!holders.empty() && level >= HOLDER_LEVELS_MAX) return false;
  std::sort(holders.begin(), holders.end());
  for (const std::string& holder : holders) {
    if (!AddBlockDevice(folder / "holders" / holder, level + 1, devices)) return false;
  }
  return true;
}

// The SCSI device's block node, its partitions and their holders. A device
// without a block folder has none; one whose folder does not parse is
// malformed, since a mount on it could not be seen.
bool ReadBlockDevices(const fs::path& scsiDevice, ScsiGenericNode& node) {
  const fs::path blockFolder = scsiDevice / "block";
  if (!Exists(blockFolder)) return true;
  std::vector<std::string> names;
  if (!ListFolder(blockFolder, names) || names.size() != 1) return false;
  node.blockName = names[0];
  const fs::path disk = blockFolder / node.blockName;
  if (!AddBlockDevice(disk, 0, node.blockDevices)) return false;

  std::vector<std::string> entries;
  if (!ListFolder(disk, entries)) return false;
  std::sort(entries.begin(), entries.end());
  for (const std::string& entry : entries) {
    // partitions are the subfolders named after the disk that have a device number
    if (entry.size() > node.blockName.size() &&
        entry.compare(0, node.blockName.size(), node.blockName) == 0 &&
        Exists(disk / entry / "dev") && !AddBlockDevice(disk / entry, 0, node.blockDevices)) {
      return false;
    }
  }
  return true;
}

// Walks up from the SCSI device to the first folder with a USB ID. That
// folder must hold both IDs; none at all means another bus.
bool ReadUsbDevice(const fs::path& scsiDevice, const fs::path& devicesRoot, ScsiGenericNode& node) {
  fs::path folder = scsiDevice.parent_path();
  for (int level = 0; level < USB_WALK_LEVELS_MAX && Below(folder, devicesRoot); ++level) {
    if (Exists(folder / "idVendor") || Exists(folder / "idProduct")) {
      std::string vendor;
      std::string product;
      if (!ReadValue(folder / "idVendor", SMALL_ATTRIBUTE_MAX, vendor) ||
          !ReadValue(folder / "idProduct", SMALL_ATTRIBUTE_MAX, product) ||
          !ParseUsbId(vendor, node.usbVendorId) || !ParseUsbId(product, node.usbProductId)) {
        return false;
      }
      node.usbPort = folder.filename().string();
      if (!IsUsbPortPath(node.usbPort)) return false;
      if (Exists(folder / "serial")) {
        if (!ReadValue(folder / "serial", TEXT_ATTRIBUTE_MAX, node.serial)) return false;
        node.serial = Printable(node.serial);
      }
      node.onUsb = true;
      return true;
    }
    folder = folder.parent_path();
  }
  return true;
}

bool IsStorageType(int scsiType) {
  return scsiType == SCSI_TYPE_DISK || scsiType == SCSI_TYPE_CDROM ||
         scsiType == SCSI_TYPE_OPTICAL || scsiType == SCSI_TYPE_SIMPLIFIED_DISK;
}

std::string NumberKey(char kind, const DeviceNumber& number) {
  return std::string(1, kind) + " " + std::to_string(number.major) + ":" +
         std::to_string(number.minor);
}

size_t IndexOf(const std::vector<ScsiGenericNode>& nodes, const ScsiGenericNode& node) {
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i].node == node.node) return i;
  }
  return nodes.size();
}

}  // namespace

bool ReadBoundedFile(const std::string& path, size_t maxBytes, std::string& text) {
  // O_NONBLOCK: a fifo planted in the tree must not hang the scan
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat info;
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  text.clear();
  char chunk[4096];
  while (ok) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    if (static_cast<size_t>(got) > maxBytes - text.size()) {
      ok = false;
      break;
    }
    text.append(chunk, static_cast<size_t>(got));
  }
  close(fd);
  return ok;
}

bool ParseDeviceNumber(std::string_view text, DeviceNumber& number) {
  std::vector<uint32_t> parts;
  if (!ParseNumberList(text, ':', 2, parts)) return false;
  number = {parts[0], parts[1]};
  return true;
}

bool IsBridge(const ScsiGenericNode& node) {
  return IsBridge(CandidateOf(node));
}

bool ReadScsiGenericNode(const std::string& sysRoot, const std::string& name,
                         ScsiGenericNode& node) {
  node = ScsiGenericNode{};
  std::error_code ec;
  const fs::path devicesRoot = fs::canonical(fs::path(sysRoot) / "devices", ec);
  if (ec || !ParseSgName(name, node.sgNumber)) return false;
  const fs::path entry = fs::path(sysRoot) / "class" / "scsi_generic" / name;
  const fs::path scsiDevice = fs::canonical(entry / "device", ec);
  // a link that leads out of the device tree is no device of ours
  if (ec || !Below(scsiDevice, devicesRoot)) return false;

  std::string text;
  uint32_t type = 0;
  std::vector<uint32_t> address;
  node.node = "/dev/" + name;
  node.scsiAddress = scsiDevice.filename().string();
  if (!ParseNumberList(node.scsiAddress, ':', 4, address) ||
      !ReadValue(entry / "dev", SMALL_ATTRIBUTE_MAX, text) ||
      !ParseDeviceNumber(text, node.nodeNumber) ||
      !ReadValue(scsiDevice / "type", SMALL_ATTRIBUTE_MAX, text) || !ParseDecimal(text, type) ||
      type > 0x1F) {
    return false;
  }
  node.scsiType = static_cast<int>(type);
  node.lun = address[3];
  // vendor and model are for people only: a missing one stays empty
  if (ReadValue(scsiDevice / "vendor", TEXT_ATTRIBUTE_MAX, text)) node.vendor = Printable(text);
  if (ReadValue(scsiDevice / "model", TEXT_ATTRIBUTE_MAX, text)) node.model = Printable(text);
  return ReadUsbDevice(scsiDevice, devicesRoot, node) && ReadBlockDevices(scsiDevice, node);
}

std::vector<ScsiGenericNode> ScanScsiGeneric(const std::string& sysRoot, bool& listed) {
  std::vector<std::string> names;
  listed = ListFolder(fs::path(sysRoot) / "class" / "scsi_generic", names);
  if (!listed) return {};
  std::vector<ScsiGenericNode> nodes;
  for (const std::string& name : names) {
    ScsiGenericNode node;
    if (ReadScsiGenericNode(sysRoot, name, node)) nodes.push_back(std::move(node));
  }
  // the folder lists in no set order; the sg numbers follow discovery
  std::sort(nodes.begin(), nodes.end(), [](const ScsiGenericNode& a, const ScsiGenericNode& b) {
    return a.sgNumber < b.sgNumber;
  });
  return nodes;
}

BridgeCandidate CandidateOf(const ScsiGenericNode& node) {
  BridgeCandidate candidate;
  candidate.path = node.node;
  candidate.storage = IsStorageType(node.scsiType);
  candidate.cls = node.scsiType == SCSI_TYPE_CDROM ? InterfaceClass::CdRom : InterfaceClass::Disk;
  candidate.onUsb = node.onUsb;
  candidate.usbVendorId = node.usbVendorId;
  candidate.usbProductId = node.usbProductId;
  // the USB device's sysfs folder is named by its port path
  candidate.usbDevice = node.onUsb ? node.usbPort : std::string();
  candidate.serial = node.serial;
  candidate.usbPort = node.usbPort;
  candidate.unitKnown = true;
  candidate.unit = node.lun;
  candidate.keys.push_back(NumberKey('c', node.nodeNumber));
  // the disk and its partitions, by name or number; not what is built over them
  for (const BlockDevice& block : node.blockDevices) {
    if (block.holder) continue;
    candidate.names.push_back("/dev/" + block.name);
    candidate.keys.push_back(NumberKey('b', block.number));
  }
  return candidate;
}

std::vector<BridgeCandidate> CandidatesOf(const std::vector<ScsiGenericNode>& nodes) {
  std::vector<BridgeCandidate> candidates;
  candidates.reserve(nodes.size());
  for (const ScsiGenericNode& node : nodes) candidates.push_back(CandidateOf(node));
  return candidates;
}

std::vector<ScsiGenericNode> OtherUnits(const std::vector<ScsiGenericNode>& nodes,
                                        const ScsiGenericNode& node) {
  // the node read afresh may differ from its listing: compared with that
  std::vector<ScsiGenericNode> all = nodes;
  const size_t index = IndexOf(all, node);
  if (index == all.size()) all.push_back(node);
  if (index < nodes.size()) all[index] = node;
  std::vector<ScsiGenericNode> others;
  for (size_t unit : UnitsOf(CandidatesOf(all), index)) {
    if (unit != index) others.push_back(all[unit]);
  }
  return others;
}

DeviceIdentity IdentifyDevicePath(const std::string& path) {
  struct stat info;
  DeviceIdentity identity;
  if (path.empty() || stat(path.c_str(), &info) != 0) return identity;
  if (S_ISCHR(info.st_mode)) identity.kind = DeviceIdentity::Kind::Character;
  if (S_ISBLK(info.st_mode)) identity.kind = DeviceIdentity::Kind::Block;
  identity.number = {major(info.st_rdev), minor(info.st_rdev)};
  return identity;
}

std::string IdentityKey(const DeviceIdentity& identity) {
  switch (identity.kind) {
    case DeviceIdentity::Kind::Character:
      return NumberKey('c', identity.number);
    case DeviceIdentity::Kind::Block:
      return NumberKey('b', identity.number);
    case DeviceIdentity::Kind::Unknown:
      break;
  }
  return {};
}

}  // namespace zq
