// What sysfs tells about each SCSI generic node: its SCSI device, the USB
// device it sits on, and the block devices a file system could be mounted
// from. Vendor commands go only to nodes whose USB device is a bridge, so
// this is read before any node is opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "transport/bridge_identity.h"
#include "transport/pass_through.h"

namespace zq {

constexpr const char* SYSFS_ROOT = "/sys";

// SCSI peripheral device types as sysfs reports them.
constexpr int SCSI_TYPE_DISK = 0;
constexpr int SCSI_TYPE_CDROM = 5;
constexpr int SCSI_TYPE_OPTICAL = 7;
constexpr int SCSI_TYPE_SIMPLIFIED_DISK = 14;

struct DeviceNumber {
  uint32_t major = 0;
  uint32_t minor = 0;
  bool operator==(const DeviceNumber&) const = default;
};

// A block device a file system on the bridge's disk could live on.
struct BlockDevice {
  std::string name;  // "sdb", "sdb1", "dm-0"
  DeviceNumber number;
  bool holder = false;  // built over the disk (device mapper, md), not the disk or a partition
};

struct ScsiGenericNode {
  uint32_t sgNumber = 0;
  std::string node;         // "/dev/sg2"
  DeviceNumber nodeNumber;  // of the character device, "21:2"
  std::string scsiAddress;  // "6:0:0:0"
  uint32_t lun = 0;         // the address's last number
  int scsiType = -1;
  std::string vendor;  // as the device reports them, padding trimmed and
  std::string model;   // anything unprintable shown as '?'
  bool onUsb = false;  // false for a disk on another bus: the rest stays empty
  uint16_t usbVendorId = 0;
  uint16_t usbProductId = 0;
  std::string serial;     // empty when the device has none
  std::string usbPort;    // "2-1.4": bus, then the port of each hub on the way
  std::string blockName;  // "sdb"; empty when no block driver holds the device
  // The disk, its partitions, then what is built over them (device mapper,
  // md), each with its device number; empty without a block node.
  std::vector<BlockDevice> blockDevices;
};

// The node as the bridge identity rules see it. Its USB device is the sysfs
// folder of that name (its port path); it is named by its node ("/dev/sg2"),
// its disk or partition nodes ("/dev/sdb", "/dev/sdb1"), through a symlink
// by the device numbers of those (its keys), or by its USB port ("2-1.4").
BridgeCandidate CandidateOf(const ScsiGenericNode& node);
std::vector<BridgeCandidate> CandidatesOf(const std::vector<ScsiGenericNode>& nodes);

bool IsBridge(const ScsiGenericNode& node);

// Every well-formed node under <sysRoot>/class/scsi_generic, in sg number
// order. A malformed entry is left out; `listed` is false when the class
// folder cannot be read at all.
std::vector<ScsiGenericNode> ScanScsiGeneric(const std::string& sysRoot, bool& listed);
// One entry ("sg2"), read afresh; false when it is gone or malformed.
bool ReadScsiGenericNode(const std::string& sysRoot, const std::string& name,
                         ScsiGenericNode& node);

// "8:16" -> {8, 16}; false for anything else.
bool ParseDeviceNumber(std::string_view text, DeviceNumber& number);

// At most `maxBytes` of a regular file; false when it cannot be read, is not
// a regular file or is longer.
bool ReadBoundedFile(const std::string& path, size_t maxBytes, std::string& text);

// The bridge's other units' nodes, on the same USB device as `node`.
std::vector<ScsiGenericNode> OtherUnits(const std::vector<ScsiGenericNode>& nodes,
                                        const ScsiGenericNode& node);

// What stat(2) says a device argument is, through any symlink.
struct DeviceIdentity {
  enum class Kind { Unknown, Character, Block };
  Kind kind = Kind::Unknown;
  DeviceNumber number;
};
DeviceIdentity IdentifyDevicePath(const std::string& path);

// What the system says a device argument stands for, as a candidate's key:
// a symlink (/dev/disk/by-id/...) names the device its number belongs to.
// Empty when it is no device.
std::string IdentityKey(const DeviceIdentity& identity);

}  // namespace zq
