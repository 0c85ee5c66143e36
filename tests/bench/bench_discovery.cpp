// Discovery among 16 SCSI generic nodes, two of them bridges: how many
// commands (and opens) reach the 14 other devices, which must be none, and
// how long one discovery and one scan take.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "emulator/bridge_device.h"
#include "platform/linux/sg_pass_through.h"
#include "support/fake_sysfs.h"

namespace {

constexpr int ROUNDS = 200;
constexpr uint32_t SG_MAJOR = 21;

// Every node answers like the chip, so a command that reaches a stranger
// would be taken for a bridge as well as counted.
class CountingSg final : public zq::SgSystem {
 public:
  int Open(const std::string& path, int) override {
    ++opens[path];
    const int fd = nextFd++;
    pathOf[fd] = path;
    return fd;
  }
  bool CharacterDevice(int fd, zq::DeviceNumber& number) override {
    number = {SG_MAJOR, static_cast<uint32_t>(std::stoul(pathOf[fd].substr(7)))};
    return true;
  }
  bool BlockDeviceNumber(int, zq::DeviceNumber&) override { return false; }
  int Submit(int fd, sg_io_hdr_t& r) override {
    ++commands[pathOf[fd]];
    const zq::DataDirection direction =
        r.dxfer_direction == SG_DXFER_FROM_DEV ? zq::DataDirection::In : zq::DataDirection::None;
    const zq::DeviceAnswer answer =
        chip.Execute(r.cmdp, r.cmd_len, direction, static_cast<uint8_t*>(r.dxferp), r.dxfer_len);
    r.status =
        answer == zq::DeviceAnswer::Good ? zq::SCSI_STATUS_GOOD : zq::SCSI_STATUS_CHECK_CONDITION;
    return 0;
  }
  int Collect(int, sg_io_hdr_t&) override { return 0; }  // answered on submission
  void Close(int fd) override { pathOf.erase(fd); }
  void Sleep(uint32_t) override {}

  zq::BridgeDevice chip;
  std::map<std::string, int> opens;
  std::map<std::string, int> commands;
  std::map<int, std::string> pathOf;
  int nextFd = 3;
};

double MicrosecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main() {
  zq::test::FakeSysfs tree;
  // sg0-3 internal disks, sg4-9 other makers' USB disks, sg10-13 CD-ROM
  // drives, then the bridge's CD-ROM face and its disk behind a hub
  for (uint32_t sg = 0; sg < 16; ++sg) {
    zq::test::FakeSysfs::Device device{.sg = sg, .usb = "2-" + std::to_string(sg + 1)};
    device.block = "sd" + std::string(1, static_cast<char>('a' + sg));
    if (sg < 4) device.usb.clear();
    if (sg >= 4 && sg < 10) device.idVendor = "152d";
    if (sg >= 10 && sg < 15) device.type = "5";
    if (sg >= 10 && sg < 14) device.idVendor = "0bda";
    if (sg == 15) device.usb = "2-16/2-16.4";
    tree.Add(device);
  }
  const auto isBridgeNode = [](const std::string& path) {
    return path == "/dev/sg14" || path == "/dev/sg15";
  };

  CountingSg sg;
  zq::SgPassThroughPort port(sg, tree.Root());
  zq::PassThroughTransport transport(port);
  auto start = std::chrono::steady_clock::now();
  int found = 0;
  for (int round = 0; round < ROUNDS; ++round) {
    zq::ChipInfo info;
    for (zq::InterfaceClass cls : {zq::InterfaceClass::Disk, zq::InterfaceClass::CdRom}) {
      // the bridge closes its node when it goes
      if (!transport.FindBridge(cls, zq::BRIDGE_VENDOR_ID, zq::BRIDGE_PRODUCT_ID, info)) continue;
      ++found;
      break;
    }
  }
  const double discovery = MicrosecondsSince(start) / ROUNDS;

  start = std::chrono::steady_clock::now();
  size_t bridges = 0;
  for (int round = 0; round < ROUNDS; ++round) {
    bool listed = false;
    for (const zq::ScsiGenericNode& node : zq::ScanScsiGeneric(tree.Root(), listed)) {
      if (zq::IsBridge(node)) ++bridges;
    }
  }
  const double scan = MicrosecondsSince(start) / ROUNDS;

  int strangerCommands = 0;
  int strangerOpens = 0;
  int bridgeCommands = 0;
  for (const auto& [path, count] : sg.commands) {
    (isBridgeNode(path) ? bridgeCommands : strangerCommands) += count;
  }
  for (const auto& [path, count] : sg.opens) strangerOpens += isBridgeNode(path) ? 0 : count;

  std::printf("generic nodes: 16, bridges: 2 (found %d of %d discoveries, %zu per scan)\n", found,
              ROUNDS, bridges / ROUNDS);
  std::printf("commands to non-bridge devices: %d (opens: %d); to bridges: %d\n", strangerCommands,
              strangerOpens, bridgeCommands);
  std::printf("discovery (find, first class that has one): %.1f us\n", discovery);
  std::printf("full scan of the tree: %.1f us\n", scan);
  return strangerCommands == 0 && strangerOpens == 0 && found == ROUNDS ? 0 : 1;
}
