// Whether a file system on a bridge's disk is mounted: the enclosure's
// storage stops while its firmware is rewritten.
#pragma once

#include <string>
#include <vector>

#include "platform/linux/usb_storage_scan.h"

namespace zq {

constexpr const char* MOUNT_INFO_PATH = "/proc/self/mountinfo";

// The mount table's text; false when it cannot be read in full, in which case
// nothing can be said about what is mounted.
bool ReadMountInfo(const std::string& path, std::string& text);

// The mount points, in the table's order, of the file systems mounted from
// any of `devices`: matched by device number, or by source for file systems
// (btrfs) whose mounts carry a number of their own. Escapes are decoded.
std::vector<std::string> MountPointsOn(const std::string& mountInfo,
                                       const std::vector<BlockDevice>& devices);

}  // namespace zq
