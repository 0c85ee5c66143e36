// A sysfs tree in a temporary folder, laid out as the kernel lays out SCSI
// devices behind a USB enclosure and on an ATA port.
#pragma once

#include <cstdint>
#include <string>

namespace zq::test {

class FakeSysfs {
 public:
  // One SCSI device with its generic node sgN on SCSI host N. By default a
  // bridge: a disk with a block node and one partition.
  struct Device {
    uint32_t sg = 0;
    std::string usb = "2-1";  // its USB device below usb2 ("2-1/2-1.4"); empty: on ATA
    std::string idVendor = "3f1d";
    std::string idProduct = "5210";
    std::string serial = "ZQ0001";
    std::string type = "0";
    std::string block = "sdb";  // empty: no block node
    int partitions = 1;
    int host = -1;  // SCSI host; -1: the same number as sg
    uint32_t lun = 0;
  };

  FakeSysfs();
  ~FakeSysfs();
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  const std::string& Root() const { return root_; }
  void Add(const Device& device);
  // Paths relative to the root; folders are made as needed.
  void Write(const std::string& path, const std::string& text);
  void Link(const std::string& path, const std::string& target);
  void Remove(const std::string& path);
  // "devices/.../host6/target6:0:0/6:0:0:0" of the device with generic node sgN.
  static std::string ScsiDevice(const Device& device);

 private:
  std::string root_;
};

}  // namespace zq::test
