// A Windows NT device tree in memory, laid out as the system lays out disks
// behind USB enclosures, on composite devices and on a SATA port, with the
// volumes on them and seeded failures.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/nt/usb_identity.h"
#include "platform/nt/volume_check.h"

namespace zq::test {

class FakeDeviceTree final : public nt::DeviceTree {
 public:
  // A USB mass-storage device on a port of a root hub, or of a hub below it.
  struct UsbDisk {
    std::string path{};  // the interface path
    InterfaceClass cls = InterfaceClass::Disk;
    std::string usbId = "USB\\VID_3F1D&PID_5210\\ZQ0001";
    std::string function{};  // "&MI_00": one function of a composite device
    uint32_t rootHub = 1;
    std::vector<uint32_t> ports = {4};  // from the root hub down; empty: no location offered
    uint32_t number = 1;                // PhysicalDriveN or CdRomN
    uint32_t unit = 0;                  // the logical unit, ending the storage node's ID
    int uniqueId = -1;                  // the system's word on its instance ID; -1: none
  };

  FakeDeviceTree();

  nt::DeviceInstance AddNode(const std::string& id, nt::DeviceInstance parent,
                             const std::string& location = "");
  void AddInterface(InterfaceClass cls, const std::string& path, nt::DeviceInstance instance,
                    const nt::StorageNumber& number);
  // Returns the USB device's instance.
  nt::DeviceInstance AddUsbDisk(const UsbDisk& disk);
  // One more unit of the USB device `usb` (as AddUsbDisk returned it): its
  // path, class, function, number and unit count; the rest is the device's.
  void AddUnit(nt::DeviceInstance usb, const UsbDisk& unit);
  // A disk on a SATA controller: no USB device above it.
  void AddSataDisk(const std::string& path, uint32_t number);
  void AddVolume(const std::string& name, const std::vector<nt::StorageNumber>& disks,
                 const std::vector<std::string>& points);

  // Seeded failures.
  std::set<InterfaceClass> unlistable;
  bool volumesUnlistable = false;
  std::set<std::string> volumeDisksUnknown;  // by volume name
  std::set<std::string> mountPointsUnknown;  // by volume name
  std::set<std::string> unnumbered;          // by interface path

  // Every path asked for its storage number, in order.
  const std::vector<std::string>& NumberQueries() const { return numberQueries_; }

  // nt::DeviceTree
  bool Interfaces(InterfaceClass cls, std::vector<nt::StorageInterface>& found) override;
  bool Parent(nt::DeviceInstance child, nt::DeviceInstance& parent) override;
  bool DeviceId(nt::DeviceInstance instance, std::string& id) override;
  bool Location(nt::DeviceInstance instance, std::string& location) override;
  bool UniqueInstanceId(nt::DeviceInstance instance, bool& unique) override;
  bool Number(const std::string& path, nt::StorageNumber& number) override;
  bool Volumes(std::vector<std::string>& volumes) override;
  bool VolumeDisks(const std::string& volume, std::vector<nt::StorageNumber>& disks) override;
  bool MountPoints(const std::string& volume, std::vector<std::string>& points) override;

 private:
  struct Node {
    std::string id;
    nt::DeviceInstance parent = 0;  // 0: the root
    std::string location;
  };
  struct Interface {
    InterfaceClass cls;
    std::string path;
    nt::DeviceInstance instance;
    nt::StorageNumber number;
  };
  struct Volume {
    std::string name;
    std::vector<nt::StorageNumber> disks;
    std::vector<std::string> points;
  };

  nt::DeviceInstance root_ = 0;
  std::map<nt::DeviceInstance, Node> nodes_;
  std::map<uint32_t, nt::DeviceInstance> rootHubs_;
  std::map<nt::DeviceInstance, bool> uniqueIds_;
  std::vector<Interface> interfaces_;
  std::vector<Volume> volumes_;
  std::vector<std::string> numberQueries_;
  uint32_t serialCounter_ = 0;
};

// Records what is locked and released; refuses the volumes named.
class FakeVolumeLocker final : public nt::VolumeLocker {
 public:
  std::set<std::string> refused;   // "in use"
  std::vector<std::string> calls;  // "lock NAME", "release NAME"
  std::set<std::string> held;

  bool LockAndDismount(const std::string& volume, Handle& handle, std::string& problem) override;
  void Release(Handle handle) override;

 private:
  std::vector<std::string> names_;  // by handle - 1
};

}  // namespace zq::test
