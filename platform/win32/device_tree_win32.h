// The device tree, storage numbers and volumes of a Windows NT system, for
// the command line's identity walk and volume check (platform/nt/).
#pragma once

#include <string>
#include <vector>

#include "platform/nt/usb_identity.h"
#include "platform/nt/volume_check.h"

namespace zq {

// SetupAPI for the interfaces, the configuration manager for the tree, both
// looked up at run time: systems of the consumer family and NT 4 lack them,
// and a program that imported them would not start there. Every query then
// fails, which the walk takes as "nothing on USB".
class Win32DeviceTree final : public nt::DeviceTree {
 public:
  bool Interfaces(InterfaceClass cls, std::vector<nt::StorageInterface>& found) override;
  bool Parent(nt::DeviceInstance child, nt::DeviceInstance& parent) override;
  bool DeviceId(nt::DeviceInstance instance, std::string& id) override;
  bool Location(nt::DeviceInstance instance, std::string& location) override;
  bool UniqueInstanceId(nt::DeviceInstance instance, bool& unique) override;
  bool Number(const std::string& path, nt::StorageNumber& number) override;
  bool Volumes(std::vector<std::string>& volumes) override;
  bool VolumeDisks(const std::string& volume, std::vector<nt::StorageNumber>& disks) override;
  bool MountPoints(const std::string& volume, std::vector<std::string>& points) override;
};

// FSCTL_LOCK_VOLUME, then FSCTL_DISMOUNT_VOLUME, on a handle held until released.
class Win32VolumeLocker final : public nt::VolumeLocker {
 public:
  bool LockAndDismount(const std::string& volume, Handle& handle, std::string& problem) override;
  void Release(Handle handle) override;
};

}  // namespace zq
