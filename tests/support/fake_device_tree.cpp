#include "support/fake_device_tree.h"

#include <algorithm>

namespace zq::test {

FakeDeviceTree::FakeDeviceTree() {
  root_ = AddNode("HTREE\\ROOT\\0", 0);
}

nt::DeviceInstance FakeDeviceTree::AddNode(const std::string& id, nt::DeviceInstance parent,
                                           const std::string& location) {
  // numbered from 1; 0 stands for "no parent"
  const nt::DeviceInstance instance = static_cast<nt::DeviceInstance>(nodes_.size() + 1);
  nodes_[instance] = Node{id, parent, location};
  return instance;
}

void FakeDeviceTree::AddInterface(InterfaceClass cls, const std::string& path,
                                  nt::DeviceInstance instance, const nt::StorageNumber& number) {
  interfaces_.push_back({cls, path, instance, number});
}

nt::DeviceInstance FakeDeviceTree::AddUsbDisk(const UsbDisk& disk) {
  auto hub = rootHubs_.find(disk.rootHub);
  if (hub == rootHubs_.end()) {
    const nt::DeviceInstance controller =
        AddNode("PCI\\VEN_8086&DEV_1E31\\3&11583659&0&A" + std::to_string(disk.rootHub), root_);
    hub = rootHubs_
              .emplace(disk.rootHub,
                       AddNode("USB\\ROOT_HUB30\\4&2c4a1f8&0&" + std::to_string(disk.rootHub),
                               controller))
              .first;
  }
  // hubs on the way: every port but the last leads to one
  nt::DeviceInstance parent = hub->second;
  uint32_t hubNumber = disk.rootHub;
  for (size_t i = 0; i + 1 < disk.ports.size(); ++i) {
    ++serialCounter_;
    const uint32_t next = 100 + serialCounter_;
    parent = AddNode("USB\\VID_05E3&PID_0610\\5&3a1b&0&" + std::to_string(disk.ports[i]), parent,
                     "Port_#" + std::to_string(10000 + disk.ports[i]).substr(1) + ".Hub_#" +
                         std::to_string(10000 + hubNumber).substr(1));
    hubNumber = next;
  }
  const std::string location =
      disk.ports.empty() ? ""
                         : "Port_#" + std::to_string(10000 + disk.ports.back()).substr(1) +
                               ".Hub_#" + std::to_string(10000 + hubNumber).substr(1);
  const nt::DeviceInstance usb = AddNode(disk.usbId, parent, location);
  if (disk.uniqueId >= 0) uniqueIds_[usb] = disk.uniqueId != 0;
  AddUnit(usb, disk);
  return usb;
}

void FakeDeviceTree::AddUnit(nt::DeviceInstance usb, const UsbDisk& unit) {
  nt::DeviceInstance storageParent = usb;
  if (!unit.function.empty()) {
    // "USB\VID_3F1D&PID_5210" + "&MI_00", with an ID the system makes up
    const std::string& usbId = nodes_.at(usb).id;
    const std::string hardware = usbId.substr(0, usbId.rfind('\\'));
    storageParent = AddNode(hardware + unit.function + "\\6&1f2e3d&0&0000", usb);
  }
  // the USB storage driver ends its units' IDs with their number
  const bool cd = unit.cls == InterfaceClass::CdRom;
  const nt::DeviceInstance storage =
      AddNode(std::string("USBSTOR\\") + (cd ? "CDROM" : "DISK") + "&VEN_GENERIC&PROD_DISK\\7&2a&" +
                  std::to_string(unit.unit),
              storageParent);
  AddInterface(unit.cls, unit.path, storage,
               {cd ? nt::StorageType::CdRom : nt::StorageType::Disk, unit.number});
}

void FakeDeviceTree::AddSataDisk(const std::string& path, uint32_t number) {
  const nt::DeviceInstance controller = AddNode("PCI\\VEN_8086&DEV_2922\\3&1158&0&FA", root_);
  const nt::DeviceInstance disk =
      AddNode("SCSI\\DISK&VEN_&PROD_SAMSUNG_SSD\\4&1a&0&000000", controller);
  AddInterface(InterfaceClass::Disk, path, disk, {nt::StorageType::Disk, number});
}

void FakeDeviceTree::AddVolume(const std::string& name, const std::vector<nt::StorageNumber>& disks,
                               const std::vector<std::string>& points) {
  volumes_.push_back({name, disks, points});
}

bool FakeDeviceTree::Interfaces(InterfaceClass cls, std::vector<nt::StorageInterface>& found) {
  if (unlistable.count(cls) != 0) return false;
  for (const Interface& entry : interfaces_) {
    if (entry.cls == cls) found.push_back({entry.path, entry.instance});
  }
  return true;
}

bool FakeDeviceTree::Parent(nt::DeviceInstance child, nt::DeviceInstance& parent) {
  const auto node = nodes_.find(child);
  if (node == nodes_.end() || node->second.parent == 0) return false;
  parent = node->second.parent;
  return true;
}

bool FakeDeviceTree::DeviceId(nt::DeviceInstance instance, std::string& id) {
  const auto node = nodes_.find(instance);
  if (node == nodes_.end()) return false;
  id = node->second.id;
  return true;
}

bool FakeDeviceTree::Location(nt::DeviceInstance instance, std::string& location) {
  const auto node = nodes_.find(instance);
  if (node == nodes_.end() || node->second.location.empty()) return false;
  location = node->second.location;
  return true;
}

bool FakeDeviceTree::UniqueInstanceId(nt::DeviceInstance instance, bool& unique) {
  const auto known = uniqueIds_.find(instance);
  if (known == uniqueIds_.end()) return false;
  unique = known->second;
  return true;
}

bool FakeDeviceTree::Number(const std::string& path, nt::StorageNumber& number) {
  numberQueries_.push_back(path);
  if (unnumbered.count(path) != 0) return false;
  for (const Interface& entry : interfaces_) {
    if (entry.path == path) {
      number = entry.number;
      return true;
    }
  }
  return false;
}

bool FakeDeviceTree::Volumes(std::vector<std::string>& volumes) {
  if (volumesUnlistable) return false;
  for (const Volume& volume : volumes_) volumes.push_back(volume.name);
  return true;
}

bool FakeDeviceTree::VolumeDisks(const std::string& name, std::vector<nt::StorageNumber>& disks) {
  if (volumeDisksUnknown.count(name) != 0) return false;
  for (const Volume& volume : volumes_) {
    if (volume.name == name) {
      disks = volume.disks;
      return true;
    }
  }
  return false;
}

bool FakeDeviceTree::MountPoints(const std::string& name, std::vector<std::string>& points) {
  if (mountPointsUnknown.count(name) != 0) return false;
  for (const Volume& volume : volumes_) {
    if (volume.name == name) {
      points = volume.points;
      return true;
    }
  }
  return false;
}

bool FakeVolumeLocker::LockAndDismount(const std::string& volume, Handle& handle,
                                       std::string& problem) {
  calls.push_back("lock " + volume);
  if (refused.count(volume) != 0) {
    problem = "in use";
    return false;
  }
  names_.push_back(volume);
  held.insert(volume);
  handle = names_.size();
  return true;
}

void FakeVolumeLocker::Release(Handle handle) {
  const std::string& name = names_.at(handle - 1);
  calls.push_back("release " + name);
  held.erase(name);
}

}  // namespace zq::test
