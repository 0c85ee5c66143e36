#include "support/fake_sysfs.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace zq::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* USB_CONTROLLER = "devices/pci0000:00/0000:00:14.0";
constexpr const char* ATA_CONTROLLER = "devices/pci0000:00/0000:00:17.0/ata1";
constexpr uint32_t SD_MAJOR = 8;
constexpr uint32_t SG_MAJOR = 21;

}  // namespace

FakeSysfs::FakeSysfs() {
  std::string pattern = (fs::temp_directory_path() / "zq-sysfs-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  root_ = pattern;
  // the root hub is a USB device too; the walk must stop below it
  Write(std::string(USB_CONTROLLER) + "/usb2/idVendor", "1d6b\n");
  Write(std::string(USB_CONTROLLER) + "/usb2/idProduct", "0003\n");
  Write("devices/pci0000:00/0000:00:17.0/vendor", "0x8086\n");
  fs::create_directories(fs::path(root_) / "class/scsi_generic");
}

FakeSysfs::~FakeSysfs() {
  std::error_code ec;
  fs::remove_all(root_, ec);
}

void FakeSysfs::Write(const std::string& path, const std::string& text) {
  const fs::path file = fs::path(root_) / path;
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

void FakeSysfs::Link(const std::string& path, const std::string& target) {
  const fs::path link = fs::path(root_) / path;
  fs::create_directories(link.parent_path());
  std::error_code ec;
  fs::remove(link, ec);
  fs::create_symlink(target, link);
}

void FakeSysfs::Remove(const std::string& path) {
  fs::remove_all(fs::path(root_) / path);
}

std::string FakeSysfs::ScsiDevice(const Device& device) {
  const std::string h =
      std::to_string(device.host < 0 ? device.sg : static_cast<uint32_t>(device.host));
  std::string host;
  if (device.usb.empty()) {
    host = ATA_CONTROLLER;
  } else {
    const std::string port = fs::path(device.usb).filename().string();
    host = std::string(USB_CONTROLLER) + "/usb2/" + device.usb + "/" + port + ":1.0";
  }
  return host + "/host" + h + "/target" + h + ":0:0/" + h + ":0:0:" + std::to_string(device.lun);
}

void FakeSysfs::Add(const Device& d) {
  const std::string name = "sg" + std::to_string(d.sg);
  const std::string scsi = ScsiDevice(d);
  if (!d.usb.empty()) {
    const std::string usb = std::string(USB_CONTROLLER) + "/usb2/" + d.usb;
    if (fs::path(d.usb).has_parent_path()) {  // a hub on the way
      const std::string hub =
          std::string(USB_CONTROLLER) + "/usb2/" + fs::path(d.usb).parent_path().string();
      Write(hub + "/idVendor", "05e3\n");
      Write(hub + "/idProduct", "0610\n");
    }
    if (!d.idVendor.empty()) Write(usb + "/idVendor", d.idVendor + "\n");
    if (!d.idProduct.empty()) Write(usb + "/idProduct", d.idProduct + "\n");
    if (!d.serial.empty()) Write(usb + "/serial", d.serial + "\n");
  }
  Write(scsi + "/type", d.type + "\n");
  Write(scsi + "/vendor", "ZQ      \n");
  Write(scsi + "/model", "Enclosure       \n");
  Write(scsi + "/scsi_generic/" + name + "/dev",
        std::to_string(SG_MAJOR) + ":" + std::to_string(d.sg) + "\n");
  Link(scsi + "/scsi_generic/" + name + "/device",
       "../../../" + fs::path(scsi).filename().string());
  Link("class/scsi_generic/" + name, "../../" + scsi + "/scsi_generic/" + name);
  if (!d.block.empty()) {
    const uint32_t first = d.sg * 16;
    Write(scsi + "/block/" + d.block + "/dev",
          std::to_string(SD_MAJOR) + ":" + std::to_string(first) + "\n");
    fs::create_directories(fs::path(root_) / scsi / "block" / d.block / "queue");
    for (int i = 1; i <= d.partitions; ++i) {
      const std::string part = d.block + std::to_string(i);
      Write(
          scsi + "/block/" + d.block + "/" + part + "/dev",
          std::to_string(SD_MAJOR) + ":" + std::to_string(first + static_cast<uint32_t>(i)) + "\n");
    }
  }
}

}  // namespace zq::test
