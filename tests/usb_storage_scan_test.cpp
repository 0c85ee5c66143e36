#include "platform/linux/usb_storage_scan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/mount_check.h"
#include "support/fake_sysfs.h"

namespace zq {
namespace {

using test::FakeSysfs;

// One line per record: what a wrong walk or parse would change.
std::string Describe(const ScsiGenericNode& n) {
  std::string text = n.node + " " + std::to_string(n.nodeNumber.minor) + " " +
                     (IsBridge(n) ? "bridge" : "other") + " " + n.usbPort + " " + n.serial + " " +
                     n.model + " " + n.blockName + ":";
  for (const BlockDevice& d : n.blockDevices) {
    text +=
        " " + d.name + "=" + std::to_string(d.number.major) + ":" + std::to_string(d.number.minor);
  }
  return text;
}

TEST(UsbStorageScan, ReadsEachNodeAsTheKernelLaysItOut) {
  using Spoil = std::function<void(FakeSysfs&, const std::string& scsi)>;
  struct Row {
    const char* name;
    FakeSysfs::Device device;
    std::string record;  // empty: left out
    Spoil spoil = nullptr;
  };
  const Spoil encrypted = [](auto& tree, auto& scsi) {
    tree.Write("devices/virtual/block/dm-0/dev", "253:0\n");
    tree.Link(scsi + "/block/sdb/sdb1/holders/dm-0", tree.Root() + "/devices/virtual/block/dm-0");
  };
  // what a holder stack looks like: every block device has a holders folder, most empty
  const auto stack = [](int levels) {
    return Spoil([levels](FakeSysfs& tree, const std::string& scsi) {
      std::string below = tree.Root() + "/" + scsi + "/block/sdb/sdb1";
      for (int i = 0; i < levels; ++i) {
        const std::string dm = "devices/virtual/block/dm-" + std::to_string(i);
        tree.Write(dm + "/dev", "253:" + std::to_string(i) + "\n");
        tree.Write(dm + "/holders/.keep", "");
        tree.Remove(dm + "/holders/.keep");
        tree.Link(below.substr(tree.Root().size() + 1) + "/holders/dm-" + std::to_string(i),
                  tree.Root() + "/" + dm);
        below = tree.Root() + "/" + dm;
      }
    });
  };
  const Spoil fifoType = [](auto& tree, auto& scsi) {
    tree.Remove(scsi + "/type");
    mkfifo((tree.Root() + "/" + scsi + "/type").c_str(), 0600);
  };
  const std::vector<Row> rows = {
      {"bridge", {.sg = 2}, "/dev/sg2 2 bridge 2-1 ZQ0001 Enclosure sdb: sdb=8:32 sdb1=8:33"},
      {"behind a hub",
       {.sg = 7, .usb = "2-1/2-1.4", .block = "sdc", .partitions = 2},
       "/dev/sg7 7 bridge 2-1.4 ZQ0001 Enclosure sdc: sdc=8:112 sdc1=8:113 sdc2=8:114"},
      {"upper-case IDs, no serial, no block node",
       {.idVendor = "3F1D", .serial = "", .type = "14", .block = ""},
       "/dev/sg0 0 bridge 2-1  Enclosure :"},
      {"CD-ROM face",
       {.type = "5", .block = "sr0", .partitions = 0},
       "/dev/sg0 0 bridge 2-1 ZQ0001 Enclosure sr0: sr0=8:0"},
      {"internal disk",
       {.usb = "", .block = "sda"},
       "/dev/sg0 0 other   Enclosure sda: sda=8:0 sda1=8:1"},
      {"another maker",
       {.idVendor = "152d", .idProduct = "0578"},
       "/dev/sg0 0 other 2-1 ZQ0001 Enclosure sdb: sdb=8:0 sdb1=8:1"},
      {"tape", {.type = "1", .block = ""}, "/dev/sg0 0 other 2-1 ZQ0001 Enclosure :"},
      {"encrypted partition",
       {},
       "/dev/sg0 0 bridge 2-1 ZQ0001 Enclosure sdb: sdb=8:0 sdb1=8:1 dm-0=253:0",
       encrypted},
      {"serial steering the terminal",
       {.serial = "A\x1b[2J"},
       "/dev/sg0 0 bridge 2-1 A?[2J Enclosure sdb: sdb=8:0 sdb1=8:1"},
      {"missing idVendor", {.idVendor = ""}, ""},
      {"garbage type", {.type = "0x"}, ""},
      {"long idVendor", {.idVendor = "3f1d0"}, ""},
      {"four holders stacked, the last holding nothing",
       {},
       "/dev/sg0 0 bridge 2-1 ZQ0001 Enclosure sdb: sdb=8:0 sdb1=8:1 dm-0=253:0 dm-1=253:1 "
       "dm-2=253:2 dm-3=253:3",
       stack(4)},
      {"five holders stacked", {}, "", stack(5)},
      {"serial as long as the kernel makes one",
       {.serial = std::string(381, 'S')},
       "/dev/sg0 0 bridge 2-1 " + std::string(381, 'S') + " Enclosure sdb: sdb=8:0 sdb1=8:1"},
      {"oversized serial", {.serial = std::string(600, 'S')}, ""},
      {"garbage block number",
       {},
       "",
       [](auto& tree, auto& scsi) { tree.Write(scsi + "/block/sdb/dev", "8:x\n"); }},
      {"device link out of the tree",
       {},
       "",
       [](auto& tree, auto& scsi) { tree.Link(scsi + "/scsi_generic/sg0/device", "/tmp"); }},
      {"fifo for a type", {}, "", fifoType},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeSysfs tree;
    tree.Add(row.device);
    if (row.spoil) row.spoil(tree, FakeSysfs::ScsiDevice(row.device));
    tree.Add({.sg = 9, .usb = "2-9", .block = "sdz"});  // a sound neighbour stays listed
    bool listed = false;
    const std::vector<ScsiGenericNode> nodes = ScanScsiGeneric(tree.Root(), listed);
    ASSERT_TRUE(listed);
    ASSERT_EQ(nodes.size(), row.record.empty() ? 1u : 2u);
    EXPECT_EQ(nodes.back().node, "/dev/sg9");
    EXPECT_EQ(row.record.empty() ? "" : Describe(nodes[0]), row.record);
  }
}

TEST(UsbStorageScan, ADeviceArgumentNamesOneBridge) {
  FakeSysfs tree;
  tree.Add({.sg = 0, .usb = "", .block = "sda"});
  tree.Add({.sg = 2, .usb = "2-1", .block = "sdb"});
  tree.Add({.sg = 3, .usb = "2-2/2-2.4", .block = "sdc"});
  tree.Add({.sg = 4, .usb = "2-3", .idVendor = "152d", .block = "sdd"});
  // one bridge answering on two LUNs: the lower one speaks for it
  tree.Add({.sg = 6, .usb = "2-5", .type = "5", .block = "sr0", .host = 5, .lun = 1});
  tree.Add({.sg = 5, .usb = "2-5", .block = "sde", .host = 5, .lun = 0});
  bool listed = false;
  const std::vector<ScsiGenericNode> nodes = ScanScsiGeneric(tree.Root(), listed);
  const std::vector<BridgeCandidate> candidates = CandidatesOf(nodes);
  using Kind = DeviceIdentity::Kind;
  using DeviceMatch = NameMatch;
  struct Row {
    std::string device;
    DeviceIdentity identity;  // what stat(2) says, through a symlink
    DeviceMatch match;
    std::vector<std::string> nodes;
  };
  const std::vector<Row> rows = {
      {"/dev/sg2", {}, DeviceMatch::Bridge, {"/dev/sg2"}},
      {"/dev/sdc", {}, DeviceMatch::Bridge, {"/dev/sg3"}},
      {"/dev/sdb1", {}, DeviceMatch::Bridge, {"/dev/sg2"}},
      {"2-2.4", {}, DeviceMatch::Bridge, {"/dev/sg3"}},
      {"2-5", {}, DeviceMatch::Bridge, {"/dev/sg5"}},
      {"/dev/sg6", {}, DeviceMatch::Bridge, {"/dev/sg5"}},
      {"/dev/disk/by-id/usb-ZQ_Enclosure_ZQ0001-0:0-part1",
       {Kind::Block, {8, 33}},
       DeviceMatch::Bridge,
       {"/dev/sg2"}},
      {"/dev/bsg-ish-link", {Kind::Character, {21, 3}}, DeviceMatch::Bridge, {"/dev/sg3"}},
      {"/dev/disk/by-id/ata-internal",
       {Kind::Block, {8, 0}},
       DeviceMatch::NotABridge,
       {"/dev/sg0"}},
      {"/dev/sda", {}, DeviceMatch::NotABridge, {"/dev/sg0"}},
      {"2-3", {}, DeviceMatch::NotABridge, {"/dev/sg4"}},
      {"/dev/null", {Kind::Character, {1, 3}}, DeviceMatch::NoSuchDevice, {}},
      {"/dev/loop0", {Kind::Block, {7, 0}}, DeviceMatch::NoSuchDevice, {}},
      {"sg2", {}, DeviceMatch::NoSuchDevice, {}},
      {"/dev/", {}, DeviceMatch::NoSuchDevice, {}},
      {"", {}, DeviceMatch::NoSuchDevice, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.device);
    const NameSelection selection = SelectByName(candidates, row.device, IdentityKey(row.identity));
    EXPECT_EQ(selection.match, row.match);
    std::vector<std::string> named;
    for (size_t index : selection.indices) named.push_back(nodes[index].node);
    EXPECT_EQ(named, row.nodes);
  }
  // what the running system says of paths
  EXPECT_EQ(IdentifyDevicePath("/dev/null").kind, Kind::Character);
  EXPECT_EQ(IdentifyDevicePath("/").kind, Kind::Unknown);
  EXPECT_EQ(IdentifyDevicePath("/no/such/path").kind, Kind::Unknown);
}

TEST(MountCheck, FindsFileSystemsOnTheBridgesDisk) {
  const std::vector<BlockDevice> bridge = {
      {"sdb", {8, 16}}, {"sdb1", {8, 17}}, {"sdb2", {8, 18}}, {"dm-0", {253, 0}}};
  struct Row {
    const char* name;
    std::string table;
    std::vector<std::string> mountPoints;
  };
  const std::vector<Row> rows = {
      {"partition with escapes",
       "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
       "40 22 8:17 / /media/me/My\\040Disk\\011x\\134 rw - vfat /dev/sdb1 rw\n",
       {"/media/me/My Disk\tx\\"}},
      {"whole disk and a bind mount, optional fields",
       "40 22 8:16 / /mnt/a rw shared:1 master:2 - ext4 /dev/sdb rw\n"
       "41 22 8:16 /sub /mnt/b rw - ext4 /dev/sdb rw",
       {"/mnt/a", "/mnt/b"}},
      {"device mapper over a partition",
       "50 22 253:0 / /home/crypt rw - ext4 /dev/mapper/c rw\n",
       {"/home/crypt"}},
      {"btrfs with its own number", "60 22 0:45 / /data rw - btrfs /dev/sdb2 rw\n", {"/data"}},
      {"others only",
       "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n23 22 0:21 / /proc rw - proc proc rw\n"
       "24 22 8:160 / /x rw - ext4 /dev/sdk rw\n",
       {}},
      {"malformed lines", "40 22 8:17\n41 22 8-17 / /y rw - vfat x rw\n\n  \n- - - - -\n", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(MountPointsOn(row.table, bridge), row.mountPoints);
  }
  std::string text;
  EXPECT_TRUE(ReadMountInfo(MOUNT_INFO_PATH, text));
  EXPECT_NE(text.find(" / / "), std::string::npos);  // this process sees its root
  EXPECT_FALSE(ReadMountInfo("/proc/self/no-such-table", text));
}

// Each rule line: match keys on both bridge IDs, one subsystem, and the uaccess tag.
TEST(UdevRule, TagsTheBridgesGenericAndBlockNodes) {
  std::ifstream file(ZQ_UDEV_RULE);
  ASSERT_TRUE(file.good());
  const std::regex pair(R"re(^([A-Z]+(\{[A-Za-z]+\})?)(==|!=|\+=|=|:=)"([^"]*)"$)re");
  std::set<std::string> subsystems;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::map<std::string, std::string> keys;
    std::stringstream items(line);
    std::string item;
    while (std::getline(items, item, ',')) {
      item.erase(0, item.find_first_not_of(' '));
      std::smatch m;
      ASSERT_TRUE(std::regex_match(item, m, pair)) << item;
      keys[m[1].str() + m[3].str()] = m[4];
    }
    EXPECT_EQ(keys["ATTRS{idVendor}=="], "3f1d");
    EXPECT_EQ(keys["ATTRS{idProduct}=="], "5210");
    EXPECT_EQ(keys["TAG+="], "uaccess");
    subsystems.insert(keys["SUBSYSTEM=="]);
    EXPECT_EQ(keys.size(), 4u) << line;
  }
  EXPECT_EQ(subsystems, (std::set<std::string>{"block", "scsi_generic"}));
}

}  // namespace
}  // namespace zq
