#include "platform/linux/disk_claim.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <system_error>

namespace zq {
namespace {

constexpr size_t SWAPS_MAX = 1024 * 1024;
constexpr const char* STOPS_NOTE =
    " (the enclosure's storage stops while its firmware is rewritten)";

// The device column of /proc/swaps, the header left out.
std::vector<std::string> SwapDevices(const std::string& table) {
  std::vector<std::string> devices;
  std::string_view rest = table;
  bool header = true;
  while (!rest.empty()) {
    const size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (!header && !line.empty()) devices.emplace_back(line.substr(0, line.find_first_of(" \t")));
    header = false;
  }
  return devices;
}

}  // namespace

DiskClaims::~DiskClaims() {
  for (const auto& [node, fd] : held_) system_.Close(fd);
}

void DiskClaims::Release(const std::string& node) {
  std::erase_if(held_, [&](const auto& held) {
    if (held.first != node) return false;
    system_.Close(held.second);
    return true;
  });
}

bool DiskClaims::Claim(const std::string& node, std::string& problem) {
  // a unit that sd or sr has not bound yet would pass a check on nothing
  std::vector<ScsiGenericNode> units;
  uint32_t waited = 0;
  for (;; waited += BLOCK_NODE_POLL_MS) {
    bool listed = false;
    const std::vector<ScsiGenericNode> nodes = ScanScsiGeneric(paths_.sysRoot, listed);
    const auto self =
        std::find_if(nodes.begin(), nodes.end(), [&](const auto& n) { return n.node == node; });
    if (self == nodes.end()) {
      problem = "unplugged: no longer listed in sysfs";
      return false;
    }
    units = OtherUnits(nodes, *self);
    units.insert(units.begin(), *self);
    const bool unbound =
        std::any_of(units.begin(), units.end(), [](const auto& u) { return u.blockName.empty(); });
    if (!unbound || waited >= BLOCK_NODE_WAIT_MS) break;
    system_.Sleep(BLOCK_NODE_POLL_MS);
  }

  std::vector<BlockDevice> all;
  std::vector<BlockDevice> disks;
  for (const ScsiGenericNode& unit : units) {
    all.insert(all.end(), unit.blockDevices.begin(), unit.blockDevices.end());
    for (const BlockDevice& device : unit.blockDevices) {
      if (device.name == unit.blockName) disks.push_back(device);
    }
  }
  // The whole disk alone: the kernel lets no partition be claimed (mounted,
  // swapped on, built over) while another holder has the disk, and no disk
  // be claimed while any partition is. Each open file is a holder of its
  // own, so a partition opened besides would be refused by this very claim.
  std::vector<int> claimed;
  const auto fail = [&](std::string why) {
    for (int other : claimed) system_.Close(other);
    problem = std::move(why);
    return false;
  };
  for (const BlockDevice& disk : disks) {
    const std::string path = paths_.devFolder + "/" + disk.name;
    // read-only: closing a node opened for writing makes udev probe the disk again
    int fd = system_.Open(path, O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
    // udev makes the node a moment after the kernel announced the disk
    for (; fd == -ENOENT && waited < BLOCK_NODE_WAIT_MS; waited += BLOCK_NODE_POLL_MS) {
      system_.Sleep(BLOCK_NODE_POLL_MS);
      fd = system_.Open(path, O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
    }
    if (fd == -EBUSY) return fail(WhyBusy(path, all));
    if (fd < 0) {
      return fail("cannot claim its disk " + path + ": " +
                  std::error_code(-fd, std::generic_category()).message());
    }
    claimed.push_back(fd);
    // the name was looked up in /dev: a disk plugged in since may have it now
    DeviceNumber number;
    if (!system_.BlockDeviceNumber(fd, number) || !(number == disk.number)) {
      return fail("cannot claim its disk " + path + ": the node is not the bridge's disk " +
                  std::to_string(disk.number.major) + ":" + std::to_string(disk.number.minor) +
                  " (unplugged, or another device took its name)");
    }
  }
  for (int fd : claimed) held_.emplace_back(node, fd);
  return true;
}

std::string DiskClaims::WhyBusy(const std::string& busy, const std::vector<BlockDevice>& devices) {
  std::string table;
  if (ReadMountInfo(paths_.mountInfo, table)) {
    const std::vector<std::string> points = MountPointsOn(table, devices);
    if (!points.empty()) {
      return "its disk is mounted on " + points.front() + "; unmount it first" + STOPS_NOTE;
    }
  }
  if (ReadBoundedFile(paths_.swaps, SWAPS_MAX, table)) {
    for (const std::string& swap : SwapDevices(table)) {
      for (const BlockDevice& device : devices) {
        if (swap == paths_.devFolder + "/" + device.name) {
          return "its disk is in use as swap (" + swap + "); swapoff it first" + STOPS_NOTE;
        }
      }
    }
  }
  for (const BlockDevice& device : devices) {
    if (device.holder) {
      return "its disk is held by " + device.name +
             " (device mapper: LVM or an encrypted volume, or md RAID); close or stop it first" +
             STOPS_NOTE;
    }
  }
  return "its disk is in use: " + busy +
         " is held by the kernel (a file system mounted elsewhere, such as a btrfs member or a "
         "mount in another namespace, or swap); stop using it first" +
         STOPS_NOTE;
}

}  // namespace zq
