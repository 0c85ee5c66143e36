#include "platform/nt/volume_check.h"

#include <algorithm>

namespace zq::nt {
namespace {

// A driver that does not handle a query completes it with one of these.
bool NotHandled(uint32_t error) {
  return error == ERROR_CODE_INVALID_FUNCTION || error == ERROR_CODE_NOT_SUPPORTED ||
         error == ERROR_CODE_INVALID_PARAMETER;
}

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

// Floppy drivers name their devices \Device\FloppyN; the disk and CD-ROM
// stacks name theirs \Device\HarddiskVolumeN, \Device\HarddiskN\PartitionM
// (and dynamic volumes below \Device\HarddiskDmVolumes), \Device\CdRomN.
bool FloppyDevice(const std::string& ntDevice) {
  return StartsWithText(ntDevice, "\\Device\\Floppy");
}
bool DiskStackDevice(const std::string& ntDevice) {
  return ntDevice.empty() || StartsWithText(ntDevice, "\\Device\\Harddisk") ||
         StartsWithText(ntDevice, "\\Device\\CdRom");
}

}  // namespace

StorageNumber DriverStorageNumber(uint32_t deviceType, uint32_t deviceNumber,
                                  uint32_t characteristics) {
  StorageNumber number{StorageType::Other, deviceNumber};
  if ((characteristics & CHARACTERISTIC_FLOPPY) != 0) {
    number.type = StorageType::Floppy;
  } else if (deviceType == DEVICE_TYPE_DISK) {
    number.type = StorageType::Disk;
  } else if (deviceType == DEVICE_TYPE_CD_ROM || deviceType == DEVICE_TYPE_DVD) {
    number.type = StorageType::CdRom;  // named CdRomN either way
  }
  return number;
}

bool PlaceVolume(const VolumeAnswers& answers, std::vector<StorageNumber>& disks) {
  disks.clear();
  if ((answers.characteristicsKnown && (answers.characteristics & CHARACTERISTIC_FLOPPY) != 0) ||
      FloppyDevice(answers.ntDevice)) {
    return true;
  }
  if (answers.numbered) {
    StorageNumber number =
        DriverStorageNumber(answers.deviceType, answers.deviceNumber, answers.characteristics);
    if (!DiskStackDevice(answers.ntDevice)) number.type = StorageType::Other;
    disks.push_back(number);
    return true;
  }
  if (answers.extentsKnown) {
    for (uint32_t disk : answers.extentDisks) disks.push_back({StorageType::Disk, disk});
    return true;
  }
  // a partition or a volume of the disk stack answers one of them
  return NotHandled(answers.numberError) && NotHandled(answers.extentsError);
}

bool FindMountPoints(MountTable& table, const std::string& volume,
                     std::vector<std::string>& points) {
  // each volume with the path it is reached by, letters first, then what is
  // mounted in their folders, and so on down
  std::vector<std::pair<std::string, std::string>> reached;
  for (const std::string& root : table.DriveRoots()) {
    std::string at;
    if (table.VolumeAt(root, at)) reached.emplace_back(at, root);
  }
  constexpr size_t MOST_MOUNTS = 1024;  // the system's own tables end well before
  for (size_t i = 0; i < reached.size() && i < MOST_MOUNTS; ++i) {
    const auto [name, path] = reached[i];
    if (SameText(name, volume)) points.push_back(path);
    std::vector<std::string> folders;
    if (!table.FoldersOn(name, folders)) return false;
    for (const std::string& folder : folders) {
      std::string at;
      if (table.VolumeAt(path + folder, at)) reached.emplace_back(at, path + folder);
    }
  }
  return true;
}

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
