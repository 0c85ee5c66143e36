// The bridge's disk claimed for a whole update: the enclosure's storage stops
// while its firmware is rewritten, so nothing may use it. Opening a block
// node with O_EXCL fails with EBUSY whenever a file system, swap, device
// mapper or md holds the disk or a partition, in any mount namespace; mkfs
// and parted tell the same way. The mount table only names the mount point.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/linux/mount_check.h"
#include "platform/linux/sg_pass_through.h"
#include "platform/linux/usb_storage_scan.h"

namespace zq {

constexpr const char* SWAPS_PATH = "/proc/swaps";
// sd binds a new disk a moment after its sg node appears, and udev makes
// the block node after that
constexpr uint32_t BLOCK_NODE_WAIT_MS = 5000;
constexpr uint32_t BLOCK_NODE_POLL_MS = 100;

struct ClaimPaths {
  std::string sysRoot = SYSFS_ROOT;
  std::string mountInfo = MOUNT_INFO_PATH;
  std::string swaps = SWAPS_PATH;
  std::string devFolder = "/dev";
};

class DiskClaims {
 public:
  DiskClaims(SgSystem& system, ClaimPaths paths) : system_(system), paths_(std::move(paths)) {}
  ~DiskClaims();
  DiskClaims(const DiskClaims&) = delete;
  DiskClaims& operator=(const DiskClaims&) = delete;

  // Claims the disk and partitions of every unit of the bridge whose node is
  // `node`, held until this goes; false with the reason ("its disk is
  // mounted on /media/x; ...") when a claim fails.
  bool Claim(const std::string& node, std::string& problem);
  // Lets go of what Claim took for `node`: a station claims one bridge
  // after another and must not keep every disk it ever flashed open.
  void Release(const std::string& node);

 private:
  // Why the kernel refused the claim on `busy`, in words.
  std::string WhyBusy(const std::string& busy, const std::vector<BlockDevice>& devices);

  SgSystem& system_;
  ClaimPaths paths_;
  std::vector<std::pair<std::string, int>> held_;  // by the node claimed for
};

}  // namespace zq
