#include "platform/nt/volume_check.h"

#include <algorithm>

namespace zq::nt {
namespace {

// The volumes lying on `disk`, with where each is mounted.
bool VolumesOn(DeviceTree& tree, const StorageNumber& disk, std::vector<std::string>& names,
               std::vector<std::string>& points, std::string& problem) {
  std::vector<std::string> volumes;
  if (!tree.Volumes(volumes)) {
    problem = "the system's volumes cannot be listed";
    return false;
  }
  for (const std::string& volume : volumes) {
    std::vector<StorageNumber> disks;
    if (!tree.VolumeDisks(volume, disks)) {
      // it could be on the bridge's disk as well as anywhere else
      std::vector<std::string> named;
      const bool hasName = tree.MountPoints(volume, named) && !named.empty();
      problem =
          "cannot tell which disk the volume " + (hasName ? named.front() : volume) + " lies on";
      return false;
    }
    if (std::find(disks.begin(), disks.end(), disk) == disks.end()) continue;
    std::vector<std::string> mounted;
    if (!tree.MountPoints(volume, mounted)) {
      problem = "cannot tell where the volume " + volume + " is mounted";
      return false;
    }
    names.push_back(volume);
    points.insert(points.end(), mounted.begin(), mounted.end());
  }
  return true;
}

}  // namespace

bool MountPointsOn(DeviceTree& tree, const StorageNumber& disk, std::vector<std::string>& points,
                   std::string& problem) {
  std::vector<std::string> names;
  std::vector<std::string> found;
  if (!VolumesOn(tree, disk, names, found, problem)) return false;
  points = std::move(found);
  return true;
}

bool MountPointsOf(DeviceTree& tree, const std::vector<StorageDevice>& devices,
                   const std::string& path, std::vector<std::string>& points,
                   std::string& problem) {
  const StorageDevice* device = FindByPath(devices, path);
  if (device == nullptr) {
    problem = "no longer listed by the system";
    return false;
  }
  if (!device->numbered) {
    problem = "the system does not say which disk it is";
    return false;
  }
  return MountPointsOn(tree, device->number, points, problem);
}

bool HeldVolumes::Take(DeviceTree& tree, const StorageNumber& disk, std::string& problem) {
  Release();
  std::vector<std::string> names;
  std::vector<std::string> points;
  if (!VolumesOn(tree, disk, names, points, problem)) return false;
  for (const std::string& name : names) {
    VolumeLocker::Handle handle = 0;
    std::string why;
    if (!locker_.LockAndDismount(name, handle, why)) {
      problem = "the volume " + name + " cannot be locked: " + why;
      Release();
      return false;
    }
    names_.push_back(name);
    handles_.push_back(handle);
  }
  return true;
}

void HeldVolumes::Release() {
  // the last taken first, as a stack of locks is undone
  while (!handles_.empty()) {
    locker_.Release(handles_.back());
    handles_.pop_back();
    names_.pop_back();
  }
}

}  // namespace zq::nt
