// Whether a file system on a bridge's disk is mounted, and holding its
// volumes locked and dismounted: the enclosure's storage stops while its
// firmware is rewritten.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/nt/usb_identity.h"

namespace zq::nt {

// Locking volumes changes what the system does with them: a port of its own.
class VolumeLocker {
 public:
  using Handle = uintptr_t;
  virtual ~VolumeLocker() = default;
  // Opens the volume, locks it and dismounts its file system; the handle
  // keeps it so until released. False with the system's words when a step
  // fails, nothing then being held.
  virtual bool LockAndDismount(const std::string& volume, Handle& handle, std::string& problem) = 0;
  // Unlocks and closes; the system mounts the volume again when next used.
  virtual void Release(Handle handle) = 0;
};

// The letters and folders where volumes on `disk` are mounted, in the
// system's order. False with the reason when the volumes, or the disks or
// mount points of any of them, cannot be told: that must be taken as a refusal.
bool MountPointsOn(DeviceTree& tree, const StorageNumber& disk, std::vector<std::string>& points,
                   std::string& problem);

// The same for the device listed under an interface path; false as well when
// the path names no listed device or its storage number is unknown.
bool MountPointsOf(DeviceTree& tree, const std::vector<StorageDevice>& devices,
                   const std::string& path, std::vector<std::string>& points, std::string& problem);

// The volumes of one disk, locked and dismounted while this lives.
class HeldVolumes {
 public:
  explicit HeldVolumes(VolumeLocker& locker) : locker_(locker) {}
  ~HeldVolumes() { Release(); }
  HeldVolumes(const HeldVolumes&) = delete;
  HeldVolumes& operator=(const HeldVolumes&) = delete;

  // Locks and dismounts every volume on `disk`, mounted or not. False with
  // the reason when any cannot be listed or locked; what was locked is then
  // released again.
  bool Take(DeviceTree& tree, const StorageNumber& disk, std::string& problem);
  // The volumes held, by the names they were opened by.
  const std::vector<std::string>& Volumes() const { return names_; }
  void Release();

 private:
  VolumeLocker& locker_;
  std::vector<std::string> names_;
  std::vector<VolumeLocker::Handle> handles_;
};

}  // namespace zq::nt
