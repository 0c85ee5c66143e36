#include "platform/nt/usb_identity.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "emulator/emulated_pass_through.h"
#include "platform/nt/volume_check.h"
#include "support/fake_device_tree.h"

namespace zq {
namespace {

using test::FakeDeviceTree;
using test::FakeVolumeLocker;
using UsbDisk = FakeDeviceTree::UsbDisk;

const nt::StorageNumber DRIVE0 = {nt::StorageType::Disk, 0};
const nt::StorageNumber DRIVE1 = {nt::StorageType::Disk, 1};
const nt::StorageNumber DRIVE2 = {nt::StorageType::Disk, 2};
const nt::StorageNumber CDROM1 = {nt::StorageType::CdRom, 1};

const char* const SATA = "\\\\?\\scsi#disk&ven_&prod_samsung#4&1a&0&000000#{53f56307}";
const char* const OTHER_USB = "\\\\?\\usbstor#disk&ven_sandisk#2&0#{53f56307}";
const char* const BRIDGE = "\\\\?\\usbstor#disk&ven_zq#zq0001&0#{53f56307}";

// One line per device: what a wrong walk would change.
std::string Describe(const nt::StorageDevice& d) {
  std::string text = d.path + " " + (IsBridge(d) ? "bridge" : "other") + " port=" + d.usbPort +
                     " serial=" + d.serial + " " + d.storageName + ":";
  for (const std::string& point : d.mountPoints) text += " " + point;
  return text;
}

TEST(NtUsbIdentity, WalksEachInterfaceUpToItsUsbDevice) {
  struct Row {
    const char* name;
    std::function<void(FakeDeviceTree&)> setUp;
    std::string record;
  };
  const std::vector<Row> rows = {
      {"bridge on a root hub's port", [](auto& t) { t.AddUsbDisk({.path = "p"}); },
       "p bridge port=1-4 serial=ZQ0001 PhysicalDrive1:"},
      {"behind two hubs",
       [](auto& t) {
         t.AddUsbDisk({.path = "p", .rootHub = 3, .ports = {1, 2, 7}});
       },
       "p bridge port=3-1.2.7 serial=ZQ0001 PhysicalDrive1:"},
      {"one function of a composite device",
       [](auto& t) { t.AddUsbDisk({.path = "p", .function = "&MI_00"}); },
       "p bridge port=1-4 serial=ZQ0001 PhysicalDrive1:"},
      {"lower-case ID",
       [](auto& t) { t.AddUsbDisk({.path = "p", .usbId = "usb\\vid_3f1d&pid_5210\\zq0002"}); },
       "p bridge port=1-4 serial=zq0002 PhysicalDrive1:"},
      {"serial made up by the system",
       [](auto& t) { t.AddUsbDisk({.path = "p", .usbId = "USB\\VID_3F1D&PID_5210\\6&1a2b&0&4"}); },
       "p bridge port=1-4 serial= PhysicalDrive1:"},
      {"a real serial holding '&'",
       [](auto& t) {
         t.AddUsbDisk({.path = "p", .usbId = "USB\\VID_3F1D&PID_5210\\AB&CD", .uniqueId = 1});
       },
       "p bridge port=1-4 serial=AB&CD PhysicalDrive1:"},
      {"a real serial holding '&', the system silent",
       [](auto& t) { t.AddUsbDisk({.path = "p", .usbId = "USB\\VID_3F1D&PID_5210\\AB&CD"}); },
       "p bridge port=1-4 serial=AB&CD PhysicalDrive1:"},
      {"a real serial shaped like a made-up one",
       [](auto& t) {
         t.AddUsbDisk({.path = "p", .usbId = "USB\\VID_3F1D&PID_5210\\1&2&3&4", .uniqueId = 1});
       },
       "p bridge port=1-4 serial=1&2&3&4 PhysicalDrive1:"},
      {"an ID the system says it made up",
       [](auto& t) {
         t.AddUsbDisk({.path = "p", .usbId = "USB\\VID_3F1D&PID_5210\\ZQ&X", .uniqueId = 0});
       },
       "p bridge port=1-4 serial= PhysicalDrive1:"},
      {"no location offered (2000)", [](auto& t) { t.AddUsbDisk({.path = "p", .ports = {}}); },
       "p bridge port= serial=ZQ0001 PhysicalDrive1:"},
      {"CD-ROM face with its letter",
       [](auto& t) {
         t.AddUsbDisk({.path = "p", .cls = InterfaceClass::CdRom});
         t.AddVolume("\\\\?\\Volume{cd}", {CDROM1}, {"F:\\"});
       },
       "p bridge port=1-4 serial=ZQ0001 CdRom1: F:\\"},
      {"another maker's USB disk",
       [](auto& t) { t.AddUsbDisk({.path = "p", .usbId = "USB\\VID_0781&PID_5567\\4C53"}); },
       "p other port=1-4 serial=4C53 PhysicalDrive1:"},
      {"IDs swapped",
       [](auto& t) { t.AddUsbDisk({.path = "p", .usbId = "USB\\VID_5210&PID_3F1D\\ZQ0001"}); },
       "p other port=1-4 serial=ZQ0001 PhysicalDrive1:"},
      {"a bridge ID with more after it",
       [](auto& t) { t.AddUsbDisk({.path = "p", .usbId = "USB\\VID_3F1D&PID_52100\\ZQ0001"}); },
       "p other port=1-4 serial=ZQ0001 PhysicalDrive1:"},
      {"composite function without its device above",
       [](auto& t) {
         const auto hub = t.AddNode("USB\\ROOT_HUB\\4&1&0", 1);
         const auto function = t.AddNode("USB\\VID_3F1D&PID_5210&MI_00\\6&1&0&0", hub);
         t.AddInterface(InterfaceClass::Disk, "p", t.AddNode("USBSTOR\\DISK\\7&2", function),
                        DRIVE1);
       },
       "p other port= serial= PhysicalDrive1:"},
      {"SATA disk with two letters",
       [](auto& t) {
         t.AddSataDisk("p", 0);
         t.AddVolume("\\\\?\\Volume{c}", {DRIVE0}, {"C:\\"});
         t.AddVolume("\\\\?\\Volume{d}", {DRIVE0}, {"D:\\", "C:\\data\\"});
       },
       "p other port= serial= PhysicalDrive0: C:\\ D:\\ C:\\data\\"},
      {"a floppy numbered as the disk keeps its letter",
       [](auto& t) {
         t.AddUsbDisk({.path = "p"});
         t.AddVolume("\\\\?\\Volume{a}", {{nt::StorageType::Floppy, 1}}, {"A:\\"});
       },
       "p bridge port=1-4 serial=ZQ0001 PhysicalDrive1:"},
      {"storage number unknown",
       [](auto& t) {
         t.AddUsbDisk({.path = "p"});
         t.unnumbered.insert("p");
       },
       "p bridge port=1-4 serial=ZQ0001 :"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeDeviceTree tree;
    row.setUp(tree);
    bool listed = false;
    const std::vector<nt::StorageDevice> devices = nt::WalkStorage(tree, listed);
    EXPECT_TRUE(listed);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(Describe(devices[0]), row.record);
  }
}

// A SATA disk, another maker's USB disk and a bridge, as the system lists
// them, over emulated devices that log every call.
struct ThreeDisks {
  EmulatedPassThroughPort port;
  FakeDeviceTree tree;
  ThreeDisks() {
    port.AddOrdinaryDisk(InterfaceClass::Disk).path = SATA;
    port.AddOrdinaryDisk(InterfaceClass::Disk).path = OTHER_USB;
    port.AddBridge(InterfaceClass::Disk).path = BRIDGE;
    tree.AddSataDisk(SATA, 0);
    tree.AddUsbDisk({.path = OTHER_USB, .usbId = "USB\\VID_0781&PID_5567\\4C53", .number = 1});
    tree.AddUsbDisk({.path = BRIDGE, .ports = {2}, .number = 2});
    tree.AddVolume("\\\\?\\Volume{c}", {DRIVE0}, {"C:\\"});
    tree.AddVolume("\\\\?\\Volume{e}", {DRIVE1}, {"E:\\"});
    tree.AddVolume("\\\\?\\Volume{g}", {DRIVE2}, {"G:\\"});
  }
};

TEST(NtUsbIdentity, OnlyTheBridgeIsOpenedOrSentACommand) {
  ThreeDisks disks;
  nt::TreeCandidates candidates(disks.tree);
  BridgeOnlyPort port(disks.port, candidates);
  PassThroughTransport transport(port);
  const auto bridges = transport.FindBridges(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID);
  ASSERT_EQ(bridges.size(), 1u);
  EXPECT_EQ(bridges[0]->Name(), BRIDGE);
  for (const PortCall& call : disks.port.Calls()) {
    if (call.kind == PortCallKind::Open || call.kind == PortCallKind::Control) {
      EXPECT_EQ(call.path, BRIDGE);
    }
  }
  EXPECT_FALSE(disks.port.CallsOf(PortCallKind::Control).empty());
  // named directly, the others are refused before the system is asked
  EXPECT_EQ(port.Open(SATA), INVALID_DEVICE_HANDLE);
  EXPECT_EQ(port.Open(OTHER_USB), INVALID_DEVICE_HANDLE);
  EXPECT_EQ(disks.port.CallsOf(PortCallKind::Open).size(), 1u);

  // a list the system cannot give is no empty list
  disks.tree.unlistable.insert(InterfaceClass::CdRom);
  EXPECT_EQ(port.ListInterfaces(InterfaceClass::CdRom), nullptr);
}

TEST(NtUsbIdentity, ResolvesTheWindowsNamesBeforeAnythingIsSent) {
  struct Row {
    const char* wanted;
    bool resolved;
    std::string problem;  // when not resolved
  };
  const std::vector<Row> rows = {
      {"G:", true, ""},
      {"g:\\", true, ""},
      {"\\\\.\\G:", true, ""},
      {"PhysicalDrive2", true, ""},
      {"\\\\.\\physicaldrive2", true, ""},
      {"zq0001", true, ""},
      {"1-2", true, ""},
      {"\\\\?\\USBSTOR#DISK&VEN_ZQ#ZQ0001&0#{53F56307}", true, ""},
      {"E:", false,
       "not a ZQ5210 bridge (PhysicalDrive1, USB device USB\\VID_0781&PID_5567\\4C53)"},
      {"C:", false, "not a ZQ5210 bridge (PhysicalDrive0, not on USB)"},
      {"PhysicalDrive0", false, "not a ZQ5210 bridge (PhysicalDrive0, not on USB)"},
      {"Z:", false, "no such device"},
      {"PhysicalDrive21", false, "no such device"},
      {"CdRom2", false, "no such device"},
      {"G:x", false, "no such device"},
      {"", false, "no such device"},
  };
  ThreeDisks disks;
  bool listed = false;
  const std::vector<nt::StorageDevice> devices = nt::WalkStorage(disks.tree, listed);
  ASSERT_TRUE(listed);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.wanted);
    std::vector<std::string> paths;
    std::string problem;
    EXPECT_EQ(nt::ResolveDeviceName(devices, row.wanted, paths, problem), row.resolved);
    if (row.resolved) {
      EXPECT_EQ(paths, std::vector<std::string>{BRIDGE});
    } else {
      EXPECT_EQ(problem, row.problem);
      EXPECT_TRUE(paths.empty());
    }
  }
  // the walk neither opened a device nor sent it anything
  EXPECT_TRUE(disks.port.Calls().empty());
}

// A chip that shows a disk (E:) and a CD-ROM with its driver disc (F:) under
// one USB device, beside another bridge: two bridges, not three.
struct TwoFacedBridge {
  static constexpr const char* DISK = "\\\\?\\usbstor#disk&ven_zq#zq0001&0#{53f56307}";
  static constexpr const char* CD = "\\\\?\\usbstor#cdrom&ven_zq#zq0001&1#{53f56308}";
  static constexpr const char* OTHER = "\\\\?\\usbstor#disk&ven_zq#zq0002&0#{53f56307}";
  EmulatedPassThroughPort port;
  FakeDeviceTree tree;
  TwoFacedBridge() {
    port.AddBridge(InterfaceClass::Disk).path = DISK;
    port.AddBridge(InterfaceClass::CdRom).path = CD;
    port.AddBridge(InterfaceClass::Disk).path = OTHER;
    const auto usb = tree.AddUsbDisk({.path = DISK, .number = 2});
    tree.AddUnit(usb, {.path = CD, .cls = InterfaceClass::CdRom, .number = 0, .unit = 1});
    tree.AddUsbDisk(
        {.path = OTHER, .usbId = "USB\\VID_3F1D&PID_5210\\ZQ0002", .ports = {2}, .number = 3});
    tree.AddVolume("\\\\?\\Volume{e}", {DRIVE2}, {"E:\\"});
    tree.AddVolume("\\\\?\\Volume{f}", {{nt::StorageType::CdRom, 0}}, {"F:\\"});
  }
};

TEST(NtUsbIdentity, OneUsbDeviceIsOneBridgeWhateverUnitsItShows) {
  TwoFacedBridge chip;
  nt::TreeCandidates candidates(chip.tree);
  BridgeOnlyPort port(chip.port, candidates);
  PassThroughTransport transport(port);
  std::vector<std::string> found;
  for (const auto& bridge : transport.FindBridges(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID)) {
    found.push_back(bridge->Name());
  }
  EXPECT_EQ(found, (std::vector<std::string>{TwoFacedBridge::DISK, TwoFacedBridge::OTHER}));
  for (const PortCall& call : chip.port.Calls()) EXPECT_NE(call.path, TwoFacedBridge::CD);

  // every name of either unit gives the bridge, once
  bool listed = false;
  const std::vector<nt::StorageDevice> devices = nt::WalkStorage(chip.tree, listed);
  for (const char* wanted :
       {"E:", "F:", "CdRom0", "PhysicalDrive2", "ZQ0001", "1-4", TwoFacedBridge::CD}) {
    SCOPED_TRACE(wanted);
    std::vector<std::string> paths;
    std::string problem;
    EXPECT_TRUE(nt::ResolveDeviceName(devices, wanted, paths, problem)) << problem;
    EXPECT_EQ(paths, std::vector<std::string>{TwoFacedBridge::DISK});
  }
  const nt::StorageDevice* disk = nt::FindByPath(devices, TwoFacedBridge::DISK);
  ASSERT_NE(disk, nullptr);
  std::vector<std::string> units;
  for (const nt::StorageDevice* unit : nt::UnitsOf(devices, *disk)) units.push_back(unit->path);
  EXPECT_EQ(units, (std::vector<std::string>{TwoFacedBridge::DISK, TwoFacedBridge::CD}));

  // one claim for the chip, whichever unit is opened; another chip's is its own
  const std::string claim = nt::ClaimName(chip.tree, TwoFacedBridge::DISK, true);
  EXPECT_EQ(claim, "Global\\zq5210-bridge-USB#VID_3F1D&PID_5210#ZQ0001");
  EXPECT_EQ(nt::ClaimName(chip.tree, TwoFacedBridge::CD, true), claim);
  EXPECT_EQ(nt::ClaimName(chip.tree, TwoFacedBridge::CD, false),
            "zq5210-bridge-USB#VID_3F1D&PID_5210#ZQ0001");
  EXPECT_NE(nt::ClaimName(chip.tree, TwoFacedBridge::OTHER, true), claim);
  EXPECT_EQ(nt::ClaimName(chip.tree, "\\\\?\\gone#x", false), "zq5210-bridge-##?#GONE#X");
}

TEST(NtUsbIdentity, TheDiskSpeaksForTheBridgeThenItsLowestUnit) {
  using Unit = std::pair<InterfaceClass, uint32_t>;  // listed in this order
  struct Row {
    const char* name;
    std::vector<Unit> units;
    size_t first;
  };
  const std::vector<Row> rows = {
      {"disk, then CD-ROM", {{InterfaceClass::Disk, 0}, {InterfaceClass::CdRom, 1}}, 0},
      {"the CD-ROM on the lower unit", {{InterfaceClass::CdRom, 0}, {InterfaceClass::Disk, 1}}, 1},
      {"two disks", {{InterfaceClass::Disk, 2}, {InterfaceClass::Disk, 1}}, 1},
      {"two CD-ROMs", {{InterfaceClass::CdRom, 1}, {InterfaceClass::CdRom, 0}}, 1},
      {"a CD-ROM alone", {{InterfaceClass::CdRom, 0}}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeDeviceTree tree;
    nt::DeviceInstance usb = 0;
    for (size_t i = 0; i < row.units.size(); ++i) {
      const UsbDisk unit{.path = "unit" + std::to_string(i),
                         .cls = row.units[i].first,
                         .number = static_cast<uint32_t>(i),
                         .unit = row.units[i].second};
      if (i == 0) {
        usb = tree.AddUsbDisk(unit);
      } else {
        tree.AddUnit(usb, unit);
      }
    }
    bool listed = false;
    const std::vector<nt::StorageDevice> devices = nt::WalkStorage(tree, listed);
    std::vector<std::string> firsts;
    const std::vector<BridgeCandidate> candidates = nt::CandidatesOf(devices);
    for (size_t i = 0; i < candidates.size(); ++i) {
      if (IsFirstUnit(candidates, i)) firsts.push_back(candidates[i].path);
    }
    EXPECT_EQ(firsts, std::vector<std::string>{"unit" + std::to_string(row.first)});
    std::vector<std::string> paths;
    std::string problem;
    ASSERT_TRUE(nt::ResolveDeviceName(devices, "1-4", paths, problem)) << problem;
    EXPECT_EQ(paths, firsts);
  }
  uint32_t unit = 9;
  EXPECT_TRUE(nt::ParseStorageUnit("USBSTOR\\DISK&VEN_ZQ&PROD_X&REV_1.00\\ZQ0001&1", unit));
  EXPECT_EQ(unit, 1u);
  for (const char* id : {"USBSTOR\\DISK&VEN_ZQ\\ZQ0001", "SCSI\\DISK&VEN_ZQ\\4&1a&0&000000",
                         "USBSTOR\\DISK&VEN_ZQ\\7&2a&0&0000", "USBSTOR\\ZQ0001&1"}) {
    EXPECT_FALSE(nt::ParseStorageUnit(id, unit)) << id;
  }
}

TEST(NtVolumeCheck, RefusesWhatIsMountedOrCannotBeTold) {
  struct Row {
    const char* name;
    std::function<void(FakeDeviceTree&)> spoil;
    bool told;
    std::string result;  // the mount points, or the problem
  };
  const std::vector<Row> rows = {
      {"letter on the bridge's disk", [](auto&) {}, true, "G:\\"},
      {"a letter and a folder",
       [](auto& t) { t.AddVolume("\\\\?\\Volume{h}", {DRIVE2}, {"C:\\mnt\\card\\"}); }, true,
       "G:\\ C:\\mnt\\card\\"},
      {"a volume spanning it and another disk",
       [](auto& t) {
         t.AddVolume("\\\\?\\Volume{s}", {DRIVE0, DRIVE2}, {"S:\\"});
       },
       true, "G:\\ S:\\"},
      {"the same number on a CD-ROM is another device",
       [](auto& t) {
         t.AddVolume("\\\\?\\Volume{cd}", {{nt::StorageType::CdRom, 2}}, {"R:\\"});
       },
       true, "G:\\"},
      {"volumes cannot be listed", [](auto& t) { t.volumesUnlistable = true; }, false,
       "the system's volumes cannot be listed"},
      {"another volume's disk cannot be told",
       [](auto& t) { t.volumeDisksUnknown.insert("\\\\?\\Volume{e}"); }, false,
       "cannot tell which disk the volume E:\\ lies on"},
      {"its mount points cannot be told",
       [](auto& t) { t.mountPointsUnknown.insert("\\\\?\\Volume{g}"); }, false,
       "cannot tell where the volume \\\\?\\Volume{g} is mounted"},
      {"storage number unknown", [](auto& t) { t.unnumbered.insert(BRIDGE); }, false,
       "the system does not say which disk it is"},
      {"a floppy numbered as the bridge's disk",
       [](auto& t) {
         t.AddVolume("\\\\?\\Volume{a}", {{nt::StorageType::Floppy, 2}}, {"A:\\"});
       },
       true, "G:\\"},
      {"a RAM disk on no disk", [](auto& t) { t.AddVolume("\\\\?\\Volume{r}", {}, {"R:\\"}); },
       true, "G:\\"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ThreeDisks disks;
    row.spoil(disks.tree);
    bool listed = false;
    const auto devices = nt::WalkStorage(disks.tree, listed);
    std::vector<std::string> points;
    std::string problem;
    EXPECT_EQ(nt::MountPointsOf(disks.tree, devices, BRIDGE, points, problem), row.told);
    std::string result;
    for (const std::string& point : points) result += (result.empty() ? "" : " ") + point;
    EXPECT_EQ(row.told ? result : problem, row.result);
  }
  // a volume without a mount point is no refusal
  FakeDeviceTree quiet;
  quiet.AddUsbDisk({.path = BRIDGE, .number = 2});
  quiet.AddVolume("\\\\?\\Volume{g}", {DRIVE2}, {});
  std::vector<std::string> points;
  std::string problem;
  EXPECT_TRUE(nt::MountPointsOn(quiet, DRIVE2, points, problem));
  EXPECT_TRUE(points.empty());
}

// What a volume's driver answers, turned into the disks it lies on: a floppy
// and a volume no disk driver serves lie on none, and block nothing.
TEST(NtVolumeCheck, PlacesAVolumeOnItsDisksOrOnNone) {
  constexpr uint32_t NOT_READY = 21;
  constexpr uint32_t ACCESS_DENIED = 5;
  struct Row {
    const char* name;
    nt::VolumeAnswers answers;
    bool told;
    std::string disks;
  };
  const auto numbered = [](uint32_t type, uint32_t number, uint32_t characteristics) {
    nt::VolumeAnswers a;
    a.characteristicsKnown = true;
    a.characteristics = characteristics;
    a.numbered = true;
    a.deviceType = type;
    a.deviceNumber = number;
    return a;
  };
  const auto unanswered = [](uint32_t numberError, uint32_t extentsError) {
    nt::VolumeAnswers a;
    a.numberError = numberError;
    a.extentsError = extentsError;
    return a;
  };
  nt::VolumeAnswers spanning = unanswered(nt::ERROR_CODE_INVALID_FUNCTION, 0);
  spanning.extentsKnown = true;
  spanning.extentDisks = {0, 2};
  const auto named = [](nt::VolumeAnswers a, const char* ntDevice) {
    a.ntDevice = ntDevice;
    a.characteristicsKnown = false;  // as Wine answers
    return a;
  };
  nt::VolumeAnswers floppyUnanswered = unanswered(NOT_READY, NOT_READY);
  floppyUnanswered.characteristicsKnown = true;
  floppyUnanswered.characteristics = nt::CHARACTERISTIC_FLOPPY | 0x01;
  const std::vector<Row> rows = {
      {"a partition", numbered(nt::DEVICE_TYPE_DISK, 2, 0x01), true, "PhysicalDrive2"},
      {"a CD-ROM", numbered(nt::DEVICE_TYPE_CD_ROM, 0, 0x01), true, "CdRom0"},
      {"a DVD drive", numbered(nt::DEVICE_TYPE_DVD, 1, 0x01), true, "CdRom1"},
      {"a USB floppy answers as disk 1",
       numbered(nt::DEVICE_TYPE_DISK, 1, nt::CHARACTERISTIC_FLOPPY | 0x01), true, ""},
      {"a floppy drive without a disk", floppyUnanswered, true, ""},
      {"a floppy told by its device's name",
       named(numbered(nt::DEVICE_TYPE_DISK, 0, 0), "\\Device\\Floppy0"), true, ""},
      {"a partition told by its device's name",
       named(numbered(nt::DEVICE_TYPE_DISK, 2, 0), "\\Device\\HarddiskVolume3"), true,
       "PhysicalDrive2"},
      {"a CD-ROM told by its device's name",
       named(numbered(nt::DEVICE_TYPE_CD_ROM, 1, 0), "\\Device\\CdRom1"), true, "CdRom1"},
      {"a RAM disk answering as disk 1",
       named(numbered(nt::DEVICE_TYPE_DISK, 1, 0), "\\Device\\Ramdisk"), true, "other 1"},
      {"a volume over two disks", spanning, true, "PhysicalDrive0 PhysicalDrive2"},
      {"a RAM disk knows neither query",
       unanswered(nt::ERROR_CODE_NOT_SUPPORTED, nt::ERROR_CODE_INVALID_FUNCTION), true, ""},
      {"a virtual drive refuses the parameters",
       unanswered(nt::ERROR_CODE_INVALID_PARAMETER, nt::ERROR_CODE_INVALID_PARAMETER), true, ""},
      {"not ready", unanswered(NOT_READY, NOT_READY), false, ""},
      {"one query unknown, the other failing",
       unanswered(nt::ERROR_CODE_INVALID_FUNCTION, ACCESS_DENIED), false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<nt::StorageNumber> disks = {DRIVE0};
    EXPECT_EQ(nt::PlaceVolume(row.answers, disks), row.told);
    std::string names;
    for (const nt::StorageNumber& disk : disks) {
      const std::string name = nt::StorageName(disk);
      names += (names.empty() ? "" : " ") +
               (name.empty() ? "other " + std::to_string(disk.number) : name);
    }
    if (row.told) {
      EXPECT_EQ(names, row.disks);
    }
  }
  // a floppy's number is its own, whatever kind it answers as
  EXPECT_EQ(nt::DriverStorageNumber(nt::DEVICE_TYPE_DISK, 1, nt::CHARACTERISTIC_FLOPPY).type,
            nt::StorageType::Floppy);
  EXPECT_NE(nt::DriverStorageNumber(nt::DEVICE_TYPE_DISK, 1, nt::CHARACTERISTIC_FLOPPY), DRIVE1);
}

// Mount points as 2000 tells them, one letter or folder at a time.
class FakeMountTable final : public nt::MountTable {
 public:
  std::vector<std::string> DriveRoots() override { return {"C:\\", "D:\\", "E:\\"}; }
  bool VolumeAt(const std::string& path, std::string& volume) override {
    const auto found = mounted.find(path);
    if (found == mounted.end()) return false;
    volume = found->second;
    return true;
  }
  bool FoldersOn(const std::string& volume, std::vector<std::string>& list) override {
    if (unlistable.count(volume) != 0) return false;
    const auto found = folders.find(volume);
    if (found != folders.end()) list = found->second;
    return true;
  }
  std::map<std::string, std::string> mounted = {
      {"C:\\", "V{c}"},
      {"D:\\", "V{d}"},
      {"C:\\mnt\\card\\", "V{g}"},
      {"C:\\mnt\\card\\inner\\", "V{h}"},
      {"D:\\again\\", "V{d}"},
  };
  std::map<std::string, std::vector<std::string>> folders = {
      {"V{c}", {"mnt\\card\\"}}, {"V{g}", {"inner\\"}}, {"V{d}", {"again\\"}}};
  std::set<std::string> unlistable;
};

TEST(NtVolumeCheck, FindsADiskMountedOnlyInAFolder) {
  struct Row {
    const char* volume;
    bool told;
    std::string points;
  };
  const std::vector<Row> rows = {
      {"V{g}", true, "C:\\mnt\\card\\"},
      {"V{h}", true, "C:\\mnt\\card\\inner\\"},
      {"V{d}", true, "D:\\ D:\\again\\"},
      {"v{C}", true, "C:\\"},
      {"V{x}", true, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.volume);
    FakeMountTable table;
    std::vector<std::string> points;
    EXPECT_EQ(nt::FindMountPoints(table, row.volume, points), row.told);
    std::string joined;
    for (const std::string& point : points) joined += (joined.empty() ? "" : " ") + point;
    EXPECT_EQ(joined, row.points);
  }
  // a volume whose folders cannot be listed may hold the one asked for
  FakeMountTable table;
  table.unlistable.insert("V{c}");
  std::vector<std::string> points;
  EXPECT_FALSE(nt::FindMountPoints(table, "V{g}", points));
}

TEST(NtVolumeCheck, HoldsEveryVolumeOfTheDiskLockedUntilReleased) {
  ThreeDisks disks;
  disks.tree.AddVolume("\\\\?\\Volume{h}", {DRIVE2}, {});
  FakeVolumeLocker locker;
  {
    nt::HeldVolumes held(locker);
    std::string problem;
    ASSERT_TRUE(held.Take(disks.tree, DRIVE2, problem)) << problem;
    EXPECT_EQ(held.Volumes(), (std::vector<std::string>{"\\\\?\\Volume{g}", "\\\\?\\Volume{h}"}));
    EXPECT_EQ(locker.held.size(), 2u);
  }
  EXPECT_EQ(locker.calls,
            (std::vector<std::string>{"lock \\\\?\\Volume{g}", "lock \\\\?\\Volume{h}",
                                      "release \\\\?\\Volume{h}", "release \\\\?\\Volume{g}"}));

  // one volume in use: nothing stays locked, and the reason names it
  locker = FakeVolumeLocker();
  locker.refused.insert("\\\\?\\Volume{h}");
  nt::HeldVolumes held(locker);
  std::string problem;
  EXPECT_FALSE(held.Take(disks.tree, DRIVE2, problem));
  EXPECT_EQ(problem, "the volume \\\\?\\Volume{h} cannot be locked: in use");
  EXPECT_TRUE(locker.held.empty());
  EXPECT_TRUE(held.Volumes().empty());

  // a failing query locks nothing
  locker = FakeVolumeLocker();
  disks.tree.volumeDisksUnknown.insert("\\\\?\\Volume{c}");
  EXPECT_FALSE(held.Take(disks.tree, DRIVE2, problem));
  EXPECT_TRUE(locker.calls.empty());
}

}  // namespace
}  // namespace zq
