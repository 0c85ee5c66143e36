// Whether a file system on a bridge's disk is mounted, and holding its
// volumes locked and dismounted: the enclosure's storage stops while its
// firmware is rewritten.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/nt/usb_identity.h"

namespace zq::nt {

// The system's numbers for what a storage driver answers, as its headers
// spell them.
constexpr uint32_t DEVICE_TYPE_CD_ROM = 0x02;
constexpr uint32_t DEVICE_TYPE_DISK = 0x07;
constexpr uint32_t DEVICE_TYPE_DVD = 0x33;
constexpr uint32_t CHARACTERISTIC_FLOPPY = 0x04;  // FILE_FLOPPY_DISKETTE, the drivers' headers only
constexpr uint32_t ERROR_CODE_INVALID_FUNCTION = 1;
constexpr uint32_t ERROR_CODE_NOT_SUPPORTED = 50;
constexpr uint32_t ERROR_CODE_INVALID_PARAMETER = 87;

// A device-number answer in the tree's terms. Floppy drivers answer as a
// disk with the floppy's own number; their characteristics tell them apart.
StorageNumber DriverStorageNumber(uint32_t deviceType, uint32_t deviceNumber,
                                  uint32_t characteristics);

// What a volume's driver answered to the queries that place it on disks.
struct VolumeAnswers {
  std::string ntDevice;  // what its name links to, "\Device\HarddiskVolume3"; empty: unknown
  bool characteristicsKnown = false;
  uint32_t characteristics = 0;
  bool numbered = false;  // the device-number query answered
  uint32_t deviceType = 0;
  uint32_t deviceNumber = 0;
  uint32_t numberError = 0;   // the system's error code when it did not
  bool extentsKnown = false;  // the disk-extents query answered
  std::vector<uint32_t> extentDisks;
  uint32_t extentsError = 0;
};

// The disks a volume lies on. A floppy, and a volume whose driver knows
// neither query (a RAM disk, a virtual drive), lie on none; the number a
// device outside the disk and CD-ROM drivers gives is no disk's. False when
// the queries failed otherwise: it may then be on any disk.
bool PlaceVolume(const VolumeAnswers& answers, std::vector<StorageNumber>& disks);

// Where volumes are mounted, asked one path at a time: the way 2000 offers,
// which has no call that lists them by volume.
class MountTable {
 public:
  virtual ~MountTable() = default;
  // "C:\", one per drive letter.
  virtual std::vector<std::string> DriveRoots() = 0;
  // The volume mounted at a letter or folder ("C:\mnt\card\"); false when none.
  virtual bool VolumeAt(const std::string& path, std::string& volume) = 0;
  // The folders mounted on a volume, relative to its root ("mnt\card\");
  // false when they cannot be listed.
  virtual bool FoldersOn(const std::string& volume, std::vector<std::string>& folders) = 0;
};

// Every letter and folder where `volume` is mounted, folders in folders
// included. False when the folders of a volume it could be in cannot be listed.
bool FindMountPoints(MountTable& table, const std::string& volume,
                     std::vector<std::string>& points);

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
