// The claim a run holds on a bridge, with the system's real mutexes: one
// chip is one claim, whichever of its units a run opens.
#include <gtest/gtest.h>

#include "platform/win32/win32_headers.h"

#include <string>

#include "emulator/emulated_pass_through.h"
#include "platform/win32/claiming_port_win32.h"
#include "support/fake_device_tree.h"

namespace zq {
namespace {

constexpr const char* DISK = "\\\\?\\usbstor#disk&ven_zq#zq0001&0#{53f56307}";
constexpr const char* CD = "\\\\?\\usbstor#cdrom&ven_zq#zq0001&1#{53f56308}";
constexpr const char* OTHER = "\\\\?\\usbstor#disk&ven_zq#zq0002&0#{53f56307}";

// Two runs, each with its own port, over one machine's bridges: a chip that
// shows a disk and a CD-ROM (E: and F:), and another chip.
struct TwoRuns : ::testing::Test {
  EmulatedPassThroughPort port;
  test::FakeDeviceTree tree;
  Win32PassThroughPort system{true};
  ClaimingPort first{port, system, tree};
  ClaimingPort second{port, system, tree};
  TwoRuns() {
    port.AddBridge(InterfaceClass::Disk).path = DISK;
    port.AddBridge(InterfaceClass::CdRom).path = CD;
    port.AddBridge(InterfaceClass::Disk).path = OTHER;
    const auto usb = tree.AddUsbDisk({.path = DISK, .number = 2});
    tree.AddUnit(usb, {.path = CD, .cls = InterfaceClass::CdRom, .number = 0, .unit = 1});
    tree.AddUsbDisk({.path = OTHER, .usbId = "USB\\VID_3F1D&PID_5210\\ZQ0002", .ports = {2}});
  }
};

TEST_F(TwoRuns, OneChipIsClaimedOnceWhicheverUnitEachOpens) {
  const DeviceHandle disk = first.Open(DISK);
  ASSERT_NE(disk, INVALID_DEVICE_HANDLE);
  // the other run, naming the chip's CD-ROM, is told it is in use
  EXPECT_EQ(second.Open(CD), INVALID_DEVICE_HANDLE);
  ASSERT_EQ(second.refusals.size(), 1u);
  EXPECT_EQ(second.refusals[0].kind, OpenRefusal::Kind::InUse);
  EXPECT_EQ(second.refusals[0].text, std::string(CD) + ": in use by another zq5210");
  // another chip is another claim
  const DeviceHandle other = second.Open(OTHER);
  EXPECT_NE(other, INVALID_DEVICE_HANDLE);
  // closed, the chip is free again
  first.Close(disk);
  const DeviceHandle cd = second.Open(CD);
  EXPECT_NE(cd, INVALID_DEVICE_HANDLE);
  second.Close(cd);
  second.Close(other);
}

TEST_F(TwoRuns, AClaimThatCannotBeMadeRefusesWithTheReason) {
  // an object of another kind under the claim's name: no mutex can be made
  const std::string name = nt::ClaimName(tree, DISK, true);
  const HANDLE squatter = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(squatter, nullptr);
  EXPECT_EQ(first.Open(DISK), INVALID_DEVICE_HANDLE);
  ASSERT_EQ(first.refusals.size(), 1u);
  EXPECT_EQ(first.refusals[0].kind, OpenRefusal::Kind::Other);
  EXPECT_EQ(first.refusals[0].text.rfind(
                std::string(DISK) + ": cannot be claimed against other runs (" + name + "): ", 0),
            0u)
      << first.refusals[0].text;
  CloseHandle(squatter);
  EXPECT_TRUE(port.CallsOf(PortCallKind::Open).empty());
}

}  // namespace
}  // namespace zq
