#include "transport/bridge_identity.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "emulator/emulated_pass_through.h"
#include "platform/linux/usb_storage_scan.h"
#include "platform/nt/usb_identity.h"
#include "protocol/usb_ids.h"
#include "support/fake_device_tree.h"
#include "support/fake_sysfs.h"

namespace zq {
namespace {

constexpr InterfaceClass DISK = InterfaceClass::Disk;
constexpr InterfaceClass CD = InterfaceClass::CdRom;

// A unit of USB device `usb`; "" for a device on no USB device.
BridgeCandidate Unit(const std::string& path, const std::string& usb, InterfaceClass cls = DISK,
                     int unit = -1) {
  BridgeCandidate c;
  c.path = path;
  c.cls = cls;
  c.onUsb = !usb.empty();
  c.usbDevice = usb;
  c.usbPort = usb;
  if (c.onUsb) {
    c.usbVendorId = BRIDGE_VENDOR_ID;
    c.usbProductId = BRIDGE_PRODUCT_ID;
  }
  c.unitKnown = unit >= 0;
  c.unit = unit >= 0 ? static_cast<uint32_t>(unit) : 0;
  return c;
}

std::vector<std::string> Paths(const std::vector<BridgeCandidate>& all,
                               const std::vector<size_t>& indices) {
  std::vector<std::string> paths;
  for (size_t i : indices) paths.push_back(all[i].path);
  return paths;
}

TEST(BridgeIdentity, TellsABridgeByItsUsbIdsAndKind) {
  struct Row {
    const char* name;
    void (*spoil)(BridgeCandidate&);
    bool bridge;
  };
  const std::vector<Row> rows = {
      {"the bridge's disk", [](BridgeCandidate&) {}, true},
      {"its CD-ROM", [](BridgeCandidate& c) { c.cls = CD; }, true},
      {"another vendor", [](BridgeCandidate& c) { c.usbVendorId = 0x152D; }, false},
      {"another product", [](BridgeCandidate& c) { c.usbProductId = 0x5211; }, false},
      {"IDs swapped",
       [](BridgeCandidate& c) {
         c.usbVendorId = BRIDGE_PRODUCT_ID;
         c.usbProductId = BRIDGE_VENDOR_ID;
       },
       false},
      {"a tape on the bridge", [](BridgeCandidate& c) { c.storage = false; }, false},
      {"not on USB", [](BridgeCandidate& c) { c.onUsb = false; }, false},
      {"no USB device to group by", [](BridgeCandidate& c) { c.usbDevice.clear(); }, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    BridgeCandidate candidate = Unit("/dev/sg2", "2-1");
    row.spoil(candidate);
    EXPECT_EQ(IsBridge(candidate), row.bridge);
  }
  // the IDs as sysfs and the device tree write them
  for (const char* text : {"3f1d", "3F1D", "3f1D"}) {
    uint16_t id = 0;
    EXPECT_TRUE(ParseUsbId(text, id)) << text;
    EXPECT_EQ(id, BRIDGE_VENDOR_ID) << text;
  }
  for (const char* text : {"", "3f1", "3f1d0", "3g1d", " 3f1", "+f1d", "0x3f"}) {
    uint16_t id = 7;
    EXPECT_FALSE(ParseUsbId(text, id)) << text;
    EXPECT_EQ(id, 7) << text;
  }
}

TEST(BridgeIdentity, OneUsbDeviceIsOneBridgeSpokenForByOneUnit) {
  struct Row {
    const char* name;
    std::vector<BridgeCandidate> candidates;
    std::vector<std::string> firsts;
    std::vector<std::string> unitsOfFirst;  // of candidates[0], itself first
  };
  BridgeCandidate stranger = Unit("s", "2-9");
  stranger.usbVendorId = 0x152D;
  BridgeCandidate tape = Unit("tape", "2-1", DISK, 0);
  tape.storage = false;
  const std::vector<Row> rows = {
      {"disk, then CD-ROM",
       {Unit("d", "2-1", DISK, 0), Unit("c", "2-1", CD, 1)},
       {"d"},
       {"d", "c"}},
      {"the CD-ROM on the lower unit",
       {Unit("c", "2-1", CD, 0), Unit("d", "2-1", DISK, 1)},
       {"d"},
       {"c", "d"}},
      {"two disks: the lower unit",
       {Unit("a", "2-1", DISK, 2), Unit("b", "2-1", DISK, 1)},
       {"b"},
       {"a", "b"}},
      {"units unknown: the first listed", {Unit("a", "2-1"), Unit("b", "2-1")}, {"a"}, {"a", "b"}},
      {"a known unit before an unknown",
       {Unit("a", "2-1"), Unit("b", "2-1", DISK, 3)},
       {"b"},
       {"a", "b"}},
      {"two USB devices",
       {Unit("a", "2-1", DISK, 0), Unit("b", "2-2", DISK, 0)},
       {"a", "b"},
       {"a"}},
      {"device IDs in another case",
       {Unit("a", "USB\\VID_3F1D&PID_5210\\X", DISK, 0),
        Unit("b", "usb\\vid_3f1d&pid_5210\\x", CD, 1)},
       {"a"},
       {"a", "b"}},
      {"one interface listed twice",
       {Unit("a", "2-1", DISK, 0), Unit("A", "2-1", DISK, 0)},
       {"a"},
       {"a"}},
      {"a stranger and a tape do not group",
       {Unit("d", "2-1", DISK, 1), stranger, tape},
       {"d"},
       {"d"}},
      {"nothing on USB", {Unit("x", ""), Unit("y", "")}, {}, {"x"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> firsts;
    for (size_t i = 0; i < row.candidates.size(); ++i) {
      if (IsFirstUnit(row.candidates, i)) firsts.push_back(row.candidates[i].path);
    }
    EXPECT_EQ(firsts, row.firsts);
    EXPECT_EQ(Paths(row.candidates, UnitsOf(row.candidates, 0)), row.unitsOfFirst);
  }
  EXPECT_FALSE(IsFirstUnit({}, 0));
  EXPECT_TRUE(UnitsOf({}, 0).empty());
}

TEST(BridgeIdentity, ANameSelectsEachBridgeOnceByItsFirstUnit) {
  BridgeCandidate disk = Unit("/dev/sg5", "2-5", DISK, 0);
  disk.names = {"/dev/sde", "/dev/sde1"};
  disk.keys = {"b 8:64"};
  BridgeCandidate cd = Unit("/dev/sg6", "2-5", CD, 1);
  cd.names = {"/dev/sr0"};
  BridgeCandidate other = Unit("\\\\?\\USBSTOR#DISK", "USB\\VID_3F1D&PID_5210\\ZQ2", DISK, 0);
  other.caseless = true;
  other.names = {"ZQ2", "PhysicalDrive1"};
  other.usbPort = "1-4";
  BridgeCandidate stranger = Unit("/dev/sg0", "");
  stranger.names = {"/dev/sda", "ZQ2"};
  BridgeCandidate twin = Unit("/dev/sg7", "2-7");
  twin.names = {"shared"};
  BridgeCandidate twin2 = Unit("/dev/sg8", "2-8");
  twin2.names = {"shared"};
  const std::vector<BridgeCandidate> all = {disk, cd, other, stranger, twin, twin2};
  struct Row {
    std::string wanted;
    std::string key;
    NameMatch match;
    std::vector<std::string> paths;
  };
  const std::vector<Row> rows = {
      {"/dev/sg5", "", NameMatch::Bridge, {"/dev/sg5"}},
      {"/dev/sg6", "", NameMatch::Bridge, {"/dev/sg5"}},
      {"/dev/sr0", "", NameMatch::Bridge, {"/dev/sg5"}},
      {"2-5", "", NameMatch::Bridge, {"/dev/sg5"}},
      {"/dev/by-id/link", "b 8:64", NameMatch::Bridge, {"/dev/sg5"}},
      {"/dev/SDE", "", NameMatch::NoSuchDevice, {}},  // Linux names keep their case
      {"physicaldrive1", "", NameMatch::Bridge, {"\\\\?\\USBSTOR#DISK"}},
      {"\\\\?\\usbstor#disk", "", NameMatch::Bridge, {"\\\\?\\USBSTOR#DISK"}},
      {"1-4", "", NameMatch::Bridge, {"\\\\?\\USBSTOR#DISK"}},
      {"ZQ2", "", NameMatch::Bridge, {"\\\\?\\USBSTOR#DISK"}},  // a bridge before a stranger
      {"shared", "", NameMatch::Bridge, {"/dev/sg7", "/dev/sg8"}},
      {"/dev/sda", "", NameMatch::NotABridge, {"/dev/sg0"}},
      {"b 8:64", "", NameMatch::NoSuchDevice, {}},  // a key is never typed
      {"/dev/nothing", "b 7:0", NameMatch::NoSuchDevice, {}},
      {"", "", NameMatch::NoSuchDevice, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.wanted);
    const NameSelection selection = SelectByName(all, row.wanted, row.key);
    EXPECT_EQ(selection.match, row.match);
    EXPECT_EQ(Paths(all, selection.indices), row.paths);
  }
}

TEST(BridgeIdentity, SaysWhyANameSelectsNoBridge) {
  BridgeCandidate linuxDisk = Unit("/dev/sg0", "");
  linuxDisk.names = {"/dev/sda"};
  BridgeCandidate sata = Unit("\\\\?\\scsi#disk", "");
  sata.ownerInProblems = true;
  sata.label = "PhysicalDrive0";
  sata.names = {"C:"};
  BridgeCandidate stick = Unit("\\\\?\\usbstor#stick", "USB\\VID_0781&PID_5567\\4C53");
  stick.usbVendorId = 0x0781;
  stick.ownerInProblems = true;
  stick.names = {"S:"};
  BridgeCandidate numbered = stick;
  numbered.path = "\\\\?\\usbstor#numbered";
  numbered.label = "PhysicalDrive1";
  numbered.names = {"N:"};
  const std::vector<BridgeCandidate> all = {linuxDisk, sata, stick, numbered};
  struct Row {
    std::string wanted;
    std::string nothingListed;
    std::string problem;
  };
  const std::vector<Row> rows = {
      {"/dev/sda", "", "not a ZQ5210 bridge"},
      {"C:", "", "not a ZQ5210 bridge (PhysicalDrive0, not on USB)"},
      {"S:", "", "not a ZQ5210 bridge (USB device USB\\VID_0781&PID_5567\\4C53)"},
      {"N:", "", "not a ZQ5210 bridge (PhysicalDrive1, USB device USB\\VID_0781&PID_5567\\4C53)"},
      {"Z:", "", "no such device"},
      {"Z:", "no such device (nothing could be listed)",
       "no such device (nothing could be listed)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.wanted);
    std::vector<std::string> paths;
    std::string problem;
    const bool resolved = row.nothingListed.empty()
                              ? ResolveName(all, row.wanted, {}, paths, problem)
                              : ResolveName(all, row.wanted, {}, paths, problem, row.nothingListed);
    EXPECT_FALSE(resolved);
    EXPECT_TRUE(paths.empty());
    EXPECT_EQ(problem, row.problem);
  }
}

// Candidates kept in memory; a class can be made unlistable.
class FixedCandidates final : public CandidateSource {
 public:
  bool Candidates(InterfaceClass cls, std::vector<BridgeCandidate>& found) override {
    if (unlistable.count(cls) != 0) return false;
    for (const BridgeCandidate& c : all) {
      if (c.cls == cls) found.push_back(c);
    }
    return true;
  }
  std::vector<BridgeCandidate> all;
  std::map<InterfaceClass, bool> unlistable;
};

std::vector<std::string> Listed(PassThroughPort& port, InterfaceClass cls) {
  std::vector<std::string> paths;
  std::unique_ptr<InterfaceList> list = port.ListInterfaces(cls);
  if (!list) return {"(unlistable)"};
  std::string path;
  for (uint32_t i = 0; list->Get(i, path) == ListStep::Found; ++i) paths.push_back(path);
  return paths;
}

TEST(BridgeIdentity, TheBridgeOnlyPortOffersAndOpensBridgesAlone) {
  EmulatedPassThroughPort system;
  for (const char* path : {"cd", "disk", "stranger"}) {
    system.AddBridge(std::string(path) == "cd" ? CD : DISK).path = path;
  }
  FixedCandidates source;
  BridgeCandidate stranger = Unit("stranger", "2-9");
  stranger.usbProductId = 0x1234;
  // the CD-ROM on the lower unit: the disk speaks for the chip
  source.all = {Unit("cd", "2-1", CD, 0), Unit("disk", "2-1", DISK, 1), stranger};
  BridgeOnlyPort port(system, source);
  EXPECT_EQ(Listed(port, DISK), std::vector<std::string>{"disk"});
  EXPECT_EQ(Listed(port, CD), std::vector<std::string>{});
  // a unit is opened only while it is a bridge's, and the system is not asked otherwise
  EXPECT_EQ(port.Open("stranger"), INVALID_DEVICE_HANDLE);
  EXPECT_EQ(port.Open("gone"), INVALID_DEVICE_HANDLE);
  EXPECT_TRUE(system.CallsOf(PortCallKind::Open).empty());
  const DeviceHandle disk = port.Open("disk");
  ASSERT_NE(disk, INVALID_DEVICE_HANDLE);
  port.Close(disk);
  ASSERT_EQ(system.CallsOf(PortCallKind::Open).size(), 1u);
  // the other class unlistable: the bridges of this one are still offered
  source.unlistable[CD] = true;
  EXPECT_EQ(Listed(port, DISK), std::vector<std::string>{"disk"});
  EXPECT_EQ(Listed(port, CD), std::vector<std::string>{"(unlistable)"});
}

// A chip that shows a disk and a CD-ROM is one bridge, spoken for by the
// same unit, whether sysfs or the Windows device tree describes it.
TEST(BridgeIdentity, ADiskAndACdRomOnOneUsbDeviceAreOneBridgeOnLinuxAsOnWindows) {
  struct Row {
    const char* name;
    uint32_t diskUnit;
    uint32_t cdUnit;
  };
  for (const Row& row : std::vector<Row>{{"disk on unit 0", 0, 1}, {"CD-ROM on unit 0", 1, 0}}) {
    SCOPED_TRACE(row.name);
    test::FakeSysfs sysfs;
    sysfs.Add({.sg = 5, .usb = "2-5", .block = "sde", .host = 5, .lun = row.diskUnit});
    sysfs.Add({.sg = 6, .usb = "2-5", .type = "5", .block = "sr0", .host = 5, .lun = row.cdUnit});
    bool listed = false;
    const std::vector<ScsiGenericNode> nodes = ScanScsiGeneric(sysfs.Root(), listed);
    ASSERT_EQ(nodes.size(), 2u);
    std::vector<std::string> onLinux;
    const std::vector<BridgeCandidate> fromSysfs = CandidatesOf(nodes);
    for (size_t i = 0; i < nodes.size(); ++i) {
      if (IsFirstUnit(fromSysfs, i)) onLinux.push_back(nodes[i].scsiType == 5 ? "cd" : "disk");
    }

    test::FakeDeviceTree tree;
    const auto usb = tree.AddUsbDisk({.path = "disk", .number = 1, .unit = row.diskUnit});
    tree.AddUnit(usb, {.path = "cd", .cls = CD, .number = 0, .unit = row.cdUnit});
    const std::vector<nt::StorageDevice> devices = nt::WalkStorage(tree, listed);
    std::vector<std::string> onWindows;
    const std::vector<BridgeCandidate> fromTree = nt::CandidatesOf(devices);
    for (size_t i = 0; i < fromTree.size(); ++i) {
      if (IsFirstUnit(fromTree, i)) onWindows.push_back(fromTree[i].path);
    }

    EXPECT_EQ(onLinux, std::vector<std::string>{"disk"});
    EXPECT_EQ(onWindows, onLinux);
  }
}

}  // namespace
}  // namespace zq
