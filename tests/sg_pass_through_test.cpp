#include "platform/linux/sg_pass_through.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "emulator/bridge_device.h"
#include "platform/linux/disk_claim.h"
#include "platform/linux/node_problems.h"
#include "support/fake_sysfs.h"

namespace zq {
namespace {

constexpr uint8_t DID_TIME_OUT = 0x03;
constexpr uint16_t DRIVER_TIMEOUT = 0x06;
constexpr uint8_t SCSI_RESERVATION_CONFLICT = 0x18;

using cli::UnusedNodeProblem;
using test::FakeSysfs;

// Stands in for open/close and SG_IO; the device behind each descriptor is a
// function of the request. sysfs is a fake tree.
class FakeSg final : public SgSystem {
 public:
  using Device = std::function<int(sg_io_hdr_t&)>;

  int Open(const std::string& path, int flags) override {
    openFlags.push_back(flags);
    opened.push_back(path);
    const auto it = devices.find(path);
    if (errors.count(path) != 0) return -errors[path];
    if (it == devices.end()) return -ENOENT;
    const int fd = nextFd++;
    byFd[fd] = it->second;
    pathOf[fd] = path;
    if (onOpen) onOpen();
    return fd;
  }
  bool CharacterDevice(int fd, DeviceNumber& number) override {
    // /dev/sgN is 21:N as long as the node is open
    number = {21, static_cast<uint32_t>(std::stoul(pathOf.at(fd).substr(7)))};
    return true;
  }
  bool BlockDeviceNumber(int, DeviceNumber&) override { return false; }
  // The device answers on submission; the answer is collected after
  // `interruptions` signals have ended the wait.
  int Submit(int fd, sg_io_hdr_t& request) override {
    requests.push_back(request);
    commanded.push_back(pathOf[fd]);
    cdbs.emplace_back(request.cmdp, request.cmdp + request.cmd_len);
    const auto it = byFd.find(fd);
    if (it == byFd.end()) return -EBADF;
    const int result = it->second(request);
    if (result < 0) return result;
    answered = request;
    waits = interruptions;
    return 0;
  }
  int Collect(int, sg_io_hdr_t& request) override {
    ++collects;
    if (waits > 0) {
      --waits;
      return -EINTR;
    }
    request = answered;
    return 0;
  }
  void Close(int fd) override {
    closed.push_back(fd);
    byFd.erase(fd);
  }
  void Sleep(uint32_t milliseconds) override { sleeps.push_back(milliseconds); }

  std::map<std::string, Device> devices;  // by node path
  std::map<std::string, int> errors;      // open fails with this errno
  std::function<void()> onOpen;

  std::vector<int> openFlags;
  std::vector<std::string> opened;
  std::vector<std::string> commanded;  // the node of each request
  std::vector<sg_io_hdr_t> requests;
  std::vector<std::vector<uint8_t>> cdbs;
  std::vector<int> closed;
  std::vector<uint32_t> sleeps;
  std::map<int, Device> byFd;
  std::map<int, std::string> pathOf;
  int nextFd = 3;
  int interruptions = 0;  // per command
  int collects = 0;

 private:
  sg_io_hdr_t answered{};
  int waits = 0;
};

// A node whose SCSI target is the emulated chip.
FakeSg::Device ChipBehind(BridgeDevice& chip) {
  return [&chip](sg_io_hdr_t& r) {
    const DataDirection direction = r.dxfer_direction == SG_DXFER_FROM_DEV ? DataDirection::In
                                    : r.dxfer_direction == SG_DXFER_TO_DEV ? DataDirection::Out
                                                                           : DataDirection::None;
    const DeviceAnswer answer =
        chip.Execute(r.cmdp, r.cmd_len, direction, static_cast<uint8_t*>(r.dxferp), r.dxfer_len);
    if (answer == DeviceAnswer::Gone) {
      r.host_status = DID_TIME_OUT;
      return 0;
    }
    r.status = answer == DeviceAnswer::Good ? SCSI_STATUS_GOOD : SCSI_STATUS_CHECK_CONDITION;
    if (answer == DeviceAnswer::CheckCondition) r.driver_status = SG_DRIVER_SENSE;
    return 0;
  };
}

// A disk that refuses vendor opcodes with sense data.
int OrdinaryDisk(sg_io_hdr_t& r) {
  r.status = SCSI_STATUS_CHECK_CONDITION;
  r.driver_status = SG_DRIVER_SENSE;
  if (r.mx_sb_len > 0) r.sbp[0] = 0x70;
  r.sb_len_wr = 1;
  return 0;
}

std::vector<std::string> Listed(PassThroughPort& port, InterfaceClass cls) {
  const std::unique_ptr<InterfaceList> list = port.ListInterfaces(cls);
  std::vector<std::string> paths;
  std::string path;
  for (uint32_t index = 0; list && list->Get(index, path) == ListStep::Found; ++index) {
    paths.push_back(path);
  }
  return paths;
}

TEST(SgListing, ClassesHoldOnlyBridgesInSgNumberOrder) {
  FakeSysfs tree;
  tree.Add({.sg = 10, .type = "14"});
  tree.Add({.sg = 1, .usb = "2-2", .type = "5", .block = "sr0"});
  tree.Add({.sg = 2, .usb = "2-3"});
  tree.Add({.sg = 4, .usb = "2-7/2-7.4", .type = "7"});
  tree.Add({.sg = 0, .usb = "", .block = "sda"});                         // internal disk
  tree.Add({.sg = 3, .usb = "2-4", .idVendor = "152d", .block = "sdc"});  // another maker's
  tree.Add({.sg = 5, .usb = "2-5", .idProduct = "5211", .type = "5", .block = "sr1"});
  tree.Add({.sg = 6, .usb = "2-6", .type = "1", .block = ""});  // a tape is no bridge
  FakeSg sg;
  SgPassThroughPort port(sg, tree.Root());

  EXPECT_EQ(Listed(port, InterfaceClass::Disk),
            (std::vector<std::string>{"/dev/sg2", "/dev/sg4", "/dev/sg10"}));
  EXPECT_EQ(Listed(port, InterfaceClass::CdRom), std::vector<std::string>{"/dev/sg1"});
  EXPECT_TRUE(sg.opened.empty());
  SgPassThroughPort nowhere(sg, tree.Root() + "/absent");
  EXPECT_EQ(nowhere.ListInterfaces(InterfaceClass::Disk), nullptr);
}

TEST(SgTransport, FindsTheBridgeAndCarriesBlocksThroughSgIo) {
  BridgeDevice chip;
  FakeSysfs tree;
  tree.Add({.sg = 0, .usb = "", .block = "sda"});
  tree.Add({.sg = 1, .usb = "2-1", .idVendor = "152d", .idProduct = "0578"});
  tree.Add({.sg = 2, .usb = "2-2", .idVendor = "0bda", .type = "5", .block = "sr0"});
  tree.Add({.sg = 3, .usb = "2-3/2-3.4", .serial = "A", .block = "sdc"});  // held elsewhere
  tree.Add({.sg = 4, .usb = "2-4", .idVendor = "3F1D", .block = "sdd"});
  FakeSg sg;
  // every stranger would answer the vendor opcode; none may be asked
  sg.devices = {{"/dev/sg0", OrdinaryDisk},
                {"/dev/sg1", ChipBehind(chip)},
                {"/dev/sg2", OrdinaryDisk},
                {"/dev/sg3", ChipBehind(chip)},
                {"/dev/sg4", ChipBehind(chip)}};
  sg.errors = {{"/dev/sg3", EBUSY}};
  SgPassThroughPort port(sg, tree.Root());
  PassThroughTransport transport(port, SG_COMMAND_TIMEOUTS);
  ChipInfo info;

  EXPECT_EQ(transport.FindBridge(InterfaceClass::CdRom, BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID, info),
            nullptr);
  std::unique_ptr<Bridge> bridge =
      transport.FindBridge(InterfaceClass::Disk, BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID, info);
  ASSERT_NE(bridge, nullptr);
  EXPECT_EQ(bridge->Name(), "/dev/sg4");
  EXPECT_EQ(sg.opened, (std::vector<std::string>{"/dev/sg3", "/dev/sg4"}));
  for (int flags : sg.openFlags) EXPECT_EQ(flags, O_RDWR | O_EXCL | O_NONBLOCK | O_CLOEXEC);
  EXPECT_TRUE(sg.closed.empty());
  EXPECT_EQ(info.vendorId, BRIDGE_VENDOR_ID);
  EXPECT_EQ(info.productId, BRIDGE_PRODUCT_ID);
  ASSERT_EQ(port.OpenProblems().size(), 1u);
  EXPECT_EQ(port.OpenProblems()[0].node, "/dev/sg3");
  EXPECT_EQ(port.OpenProblems()[0].kind, OpenFailure::InUse);

  struct Progress final : ProgressStepper {
    void StepProgress(uint8_t, uint8_t) override { ++steps; }
    int steps = 0;
  } progress;
  chip.SetBusyAnswers(2);
  ASSERT_TRUE(bridge->EraseAndWait(progress, 0));
  EXPECT_EQ(progress.steps, 2);
  EXPECT_EQ(sg.sleeps, (std::vector<uint32_t>{1000, 1000}));

  std::vector<uint8_t> block(BLOCK_SIZE);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 13 + 1);
  ASSERT_TRUE(bridge->WriteBlock(0x0200, BLOCK_SIZE, block.data()));
  std::vector<uint8_t> back(BLOCK_SIZE, 0);
  ASSERT_TRUE(bridge->ReadBlock(0x0200, 300, back.data()));
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 300, block.begin()));
  EXPECT_TRUE(std::all_of(back.begin() + 300, back.end(), [](uint8_t b) { return b == 0; }));

  // finding keeps the short time-out, the bridge found gets room for flashing
  ASSERT_GT(sg.requests.size(), 1u);
  EXPECT_EQ(sg.requests[0].timeout, 5000u);
  for (size_t i = 1; i < sg.requests.size(); ++i) EXPECT_EQ(sg.requests[i].timeout, 30000u);

  bridge.reset();  // closes the node
  EXPECT_EQ(sg.closed, (std::vector<int>{3}));
  EXPECT_EQ(std::set<std::string>(sg.commanded.begin(), sg.commanded.end()),
            std::set<std::string>{"/dev/sg4"});
}

TEST(SgPort, SaysWhyABridgeWasNotOpened) {
  constexpr int UNPLUGGED = -1;  // its sysfs entry goes before the open
  constexpr int REPLACED = -2;   // another maker's device has its number once open
  struct Row {
    std::string path;
    int cause;  // an errno of open(2), or one of the above
    OpenFailure kind;
    bool opened;  // whether open(2) was called at all
  };
  const std::vector<Row> rows = {
      {"/dev/sg1", EACCES, OpenFailure::PermissionDenied, true},
      {"/dev/sg1", EPERM, OpenFailure::PermissionDenied, true},
      {"/dev/sg1", EBUSY, OpenFailure::InUse, true},
      {"/dev/sg1", ENODEV, OpenFailure::Gone, true},
      // sysfs lists it, /dev has no node: a container given /sys only
      {"/dev/sg1", ENOENT, OpenFailure::NoNode, true},
      {"/dev/sg1", EIO, OpenFailure::Other, true},
      {"/dev/sg1", UNPLUGGED, OpenFailure::Gone, false},
      {"/dev/sg1", REPLACED, OpenFailure::Gone, true},
      {"/dev/sg0", 0, OpenFailure::NotABridge, false},
      {"/dev/sdb", 0, OpenFailure::NotABridge, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path + " " + std::to_string(row.cause));
    FakeSysfs tree;
    tree.Add({.sg = 0, .usb = "", .block = "sda"});
    tree.Add({.sg = 1});
    FakeSg sg;
    sg.devices = {{"/dev/sg0", OrdinaryDisk}, {"/dev/sg1", OrdinaryDisk}};
    if (row.cause > 0) sg.errors["/dev/sg1"] = row.cause;
    if (row.cause == UNPLUGGED) tree.Remove("class/scsi_generic/sg1");
    const std::string usb = "devices/pci0000:00/0000:00:14.0/usb2/2-1/idVendor";
    if (row.cause == REPLACED) sg.onOpen = [&] { tree.Write(usb, "152d\n"); };
    SgPassThroughPort port(sg, tree.Root());
    EXPECT_EQ(port.Open(row.path), INVALID_DEVICE_HANDLE);
    EXPECT_EQ(sg.opened.size(), row.opened ? 1u : 0u);
    EXPECT_TRUE(sg.byFd.empty());  // whatever was opened is closed again
    ASSERT_EQ(port.OpenProblems().size(), 1u);
    const OpenProblem problem = port.OpenProblems()[0];
    EXPECT_EQ(problem.node, row.path);
    EXPECT_EQ(problem.kind, row.kind);
    EXPECT_EQ(problem.error, std::max(row.cause, 0));
    EXPECT_EQ(problem.systemText, row.cause > 0 ? std::strerror(row.cause) : "");
  }
}

TEST(SgTransport, EachCommandMapsOntoOneRequest) {
  struct Row {
    const char* name;
    std::function<bool(PassThroughTransport&, Bridge&, DeviceHandle)> send;
    std::vector<uint8_t> cdb;
    int direction;
    uint32_t length;
  };
  static uint8_t bytes[BLOCK_SIZE] = {};
  const std::vector<Row> rows = {
      {"info",
       [](auto& t, auto&, auto d) {
         ChipInfo i;
         return t.ReadChipInfo(d, i);
       },
       {0xE0, 0, 0, 0, 0, 0},
       SG_DXFER_FROM_DEV,
       12},
      {"status",
       [](auto&, auto& b, auto) {
         uint8_t s;
         return b.QueryStatus(s);
       },
       {0xF7, 0, 0, 0, 0, 0},
       SG_DXFER_FROM_DEV,
       1},
      {"write",
       [](auto&, auto& b, auto) { return b.WriteBlock(0x0400, 512, bytes); },
       {0xE2, 0, 0x04, 0x00, 0x02, 0x00},
       SG_DXFER_TO_DEV,
       512},
      {"read",
       [](auto&, auto& b, auto) { return b.ReadBlock(0x0200, 300, bytes); },
       {0xE3, 0, 0x02, 0x00, 0x01, 0x2C},
       SG_DXFER_FROM_DEV,
       300},
      {"empty write",
       [](auto&, auto& b, auto) { return b.WriteBlock(0, 0, bytes); },
       {0xE2, 0, 0, 0, 0, 0},
       SG_DXFER_NONE,
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeSysfs tree;
    tree.Add({});
    FakeSg sg;
    sg.devices["/dev/sg0"] = [](sg_io_hdr_t&) { return 0; };
    SgPassThroughPort port(sg, tree.Root());
    PassThroughTransport transport(port, SG_COMMAND_TIMEOUTS);
    const DeviceHandle device = port.Open("/dev/sg0");
    PassThroughBridge bridge(port, device, "/dev/sg0", ChipInfo{},
                             SG_COMMAND_TIMEOUTS.bridgeSeconds);
    ASSERT_TRUE(row.send(transport, bridge, device));
    ASSERT_EQ(sg.requests.size(), 1u);
    const sg_io_hdr_t& r = sg.requests[0];
    EXPECT_EQ(r.interface_id, 'S');
    EXPECT_EQ(sg.cdbs[0], row.cdb);
    EXPECT_EQ(r.dxfer_direction, row.direction);
    EXPECT_EQ(r.dxfer_len, row.length);
    EXPECT_EQ(r.mx_sb_len, PASS_THROUGH_SENSE_SIZE);
    // finding bridges keeps the short time-out; flashing gets room
    EXPECT_EQ(r.timeout, row.cdb[0] == CMD_GET_INFO ? 5000u : 30000u);
    // data and sense are the areas of the very block the CDB sits in
    const uint8_t* block = r.cmdp - offsetof(ScsiPassThroughHeader, Cdb);
    EXPECT_EQ(r.sbp, block + PASS_THROUGH_SENSE_OFFSET);
    EXPECT_EQ(static_cast<const uint8_t*>(r.dxferp),
              row.length == 0 ? nullptr : block + PASS_THROUGH_DATA_OFFSET);
  }

  // the port takes the time-out it is given, whatever the opcode
  FakeSysfs tree;
  tree.Add({});
  FakeSg sg;
  sg.devices["/dev/sg0"] = [](sg_io_hdr_t&) { return 0; };
  SgPassThroughPort port(sg, tree.Root());
  PassThroughBridge bridge(port, port.Open("/dev/sg0"), "/dev/sg0", ChipInfo{}, 2);
  ASSERT_TRUE(bridge.WriteBlock(0, BLOCK_SIZE, bytes));
  ASSERT_EQ(sg.requests.size(), 1u);
  EXPECT_EQ(sg.requests[0].timeout, 2000u);
}

TEST(SgTransport, OnlyADeliveredGoodStatusIsSuccess) {
  struct Row {
    const char* name;
    int rc;
    uint8_t host;
    uint16_t driver;
    uint8_t status;
    int resid;
    bool ok;
  };
  const std::vector<Row> rows = {
      {"good", 0, 0, 0, SCSI_STATUS_GOOD, 0, true},
      {"status 1", 0, 0, 0, 1, 0, true},
      {"sense noise with good status", 0, 0, SG_DRIVER_SENSE, SCSI_STATUS_GOOD, 0, true},
      {"check condition", 0, 0, SG_DRIVER_SENSE, SCSI_STATUS_CHECK_CONDITION, 0, false},
      {"reservation conflict", 0, 0, 0, SCSI_RESERVATION_CONFLICT, 0, false},
      {"submission refused", -EIO, 0, 0, SCSI_STATUS_GOOD, 0, false},
      {"adapter time-out", 0, DID_TIME_OUT, 0, SCSI_STATUS_GOOD, 0, false},
      {"driver time-out", 0, 0, DRIVER_TIMEOUT, SCSI_STATUS_GOOD, 0, false},
      {"nothing moved, good status", 0, 0, 0, SCSI_STATUS_GOOD, 1, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeSysfs tree;
    tree.Add({});
    FakeSg sg;
    sg.devices["/dev/sg0"] = [&row](sg_io_hdr_t& r) {
      static_cast<uint8_t*>(r.dxferp)[0] = 0x01;  // whatever came back
      r.host_status = row.host;
      r.driver_status = row.driver;
      r.status = row.status;
      r.resid = row.resid;
      return row.rc;
    };
    SgPassThroughPort port(sg, tree.Root());
    PassThroughBridge bridge(port, port.Open("/dev/sg0"), "/dev/sg0", ChipInfo{});
    uint8_t status = 0x77;
    EXPECT_EQ(bridge.QueryStatus(status), row.ok);
    EXPECT_EQ(status, row.ok ? 0x01 : 0x77);
  }
}

TEST(SgPort, BlocksPointingOutsideThemselvesNeverReachTheKernel) {
  struct Row {
    const char* name;
    std::function<void(PassThroughBuffer&, uint32_t&, uint32_t&, DeviceHandle&)> spoil;
  };
  const std::vector<Row> rows = {
      {"well formed", [](auto&, auto&, auto&, auto&) {}},
      {"data past the output",
       [](auto& b, auto&, auto&, auto&) { b.header.DataBufferOffset += 1; }},
      {"data inside the header",
       [](auto& b, auto&, auto&, auto&) { b.header.DataBufferOffset = 4; }},
      {"sense past the output",
       [](auto& b, auto&, auto&, auto&) {
         b.header.SenseInfoOffset = PASS_THROUGH_BLOCK_SIZE - 8;
       }},
      {"long CDB", [](auto& b, auto&, auto&, auto&) { b.header.CdbLength = 17; }},
      {"output beyond the block", [](auto&, auto&, uint32_t& out, auto&) { out = 0x10000; }},
      {"no such descriptor",
       [](auto&, auto&, auto&, DeviceHandle& d) { d = static_cast<DeviceHandle>(INT_MAX) + 1; }},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    FakeSysfs tree;
    tree.Add({});
    FakeSg sg;
    sg.devices["/dev/sg0"] = [](sg_io_hdr_t&) { return 0; };
    SgPassThroughPort port(sg, tree.Root());
    DeviceHandle device = port.Open("/dev/sg0");
    PassThroughBuffer buffer{};
    buffer.header.Length = PASS_THROUGH_HEADER_SIZE;
    buffer.header.CdbLength = 6;
    buffer.header.SenseInfoLength = PASS_THROUGH_SENSE_SIZE;
    buffer.header.SenseInfoOffset = PASS_THROUGH_SENSE_OFFSET;
    buffer.header.DataBufferOffset = PASS_THROUGH_DATA_OFFSET;
    buffer.header.DataIn = SCSI_IOCTL_DATA_IN;
    buffer.header.DataTransferLength = BLOCK_SIZE;
    buffer.header.TimeOutValue = UINT32_MAX;  // must not wrap when made milliseconds
    uint32_t in = PASS_THROUGH_HEADER_SIZE;
    uint32_t out = PASS_THROUGH_BLOCK_SIZE;
    rows[i].spoil(buffer, in, out, device);
    const bool sound = i == 0;
    EXPECT_EQ(port.Control(device, buffer, in, out), sound);
    ASSERT_EQ(sg.requests.size(), sound ? 1u : 0u);
    if (sound) {
      EXPECT_EQ(sg.requests[0].timeout, UINT_MAX / 1000 * 1000);
    }
  }
}

// A signal that ends the wait must not send the command again; a UNIT
// ATTENTION (bus reset, media change) means the device did not run it.
TEST(SgPort, EachCommandReachesTheDeviceOnceUnlessItWasNotRun) {
  struct Row {
    const char* name;
    int interruptions;
    int unitAttentions;  // answered before the device runs the command
    size_t submitted;
    bool ok;
  };
  const std::vector<Row> rows = {
      {"answered at once", 0, 0, 1, true},
      {"wait interrupted three times", 3, 0, 1, true},
      {"unit attention, then the answer", 0, 1, 2, true},
      {"interrupted and unit attention", 2, 1, 2, true},
      {"unit attention twice", 0, 2, 2, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeSysfs tree;
    tree.Add({});
    FakeSg sg;
    sg.interruptions = row.interruptions;
    int calls = 0;
    sg.devices["/dev/sg0"] = [&](sg_io_hdr_t& r) {
      if (++calls > row.unitAttentions) return 0;
      r.status = SCSI_STATUS_CHECK_CONDITION;
      r.driver_status = SG_DRIVER_SENSE;
      const uint8_t sense[14] = {0x70, 0,   SCSI_SENSE_UNIT_ATTENTION, 0, 0, 0, 0, 6, 0, 0, 0,
                                 0,    0x29};
      std::memcpy(r.sbp, sense, sizeof sense);
      r.sb_len_wr = sizeof sense;
      return 0;
    };
    SgPassThroughPort port(sg, tree.Root());
    PassThroughBridge bridge(port, port.Open("/dev/sg0"), "/dev/sg0", ChipInfo{});
    const uint8_t block[BLOCK_SIZE] = {};
    EXPECT_EQ(bridge.WriteBlock(0, BLOCK_SIZE, block), row.ok);
    EXPECT_EQ(sg.requests.size(), row.submitted);
    EXPECT_EQ(sg.collects, static_cast<int>(row.submitted) * (1 + row.interruptions));
  }
}

TEST(SgPort, OneBridgeOnTwoUnitsIsListedOnceAndHeldWhole) {
  struct Row {
    const char* name;
    int otherUnitError;  // what opening /dev/sg6 fails with; 0: it opens
    bool opened;
  };
  const std::vector<Row> rows = {
      {"both units free", 0, true},
      {"the other unit held elsewhere", EBUSY, false},
      {"the other unit just unplugged", ENODEV, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeSysfs tree;
    tree.Add({.sg = 6, .usb = "2-5", .type = "5", .block = "sr0", .host = 5, .lun = 1});
    tree.Add({.sg = 5, .usb = "2-5", .block = "sde", .host = 5, .lun = 0});
    tree.Add({.sg = 7, .usb = "2-6", .block = "sdf"});
    FakeSg sg;
    sg.devices = {{"/dev/sg5", OrdinaryDisk}, {"/dev/sg6", OrdinaryDisk}};
    if (row.otherUnitError != 0) sg.errors["/dev/sg6"] = row.otherUnitError;
    SgPassThroughPort port(sg, tree.Root());
    EXPECT_EQ(Listed(port, InterfaceClass::Disk),
              (std::vector<std::string>{"/dev/sg5", "/dev/sg7"}));
    EXPECT_TRUE(Listed(port, InterfaceClass::CdRom).empty());

    const DeviceHandle device = port.Open("/dev/sg5");
    EXPECT_EQ(sg.opened, (std::vector<std::string>{"/dev/sg5", "/dev/sg6"}));
    ASSERT_EQ(device != INVALID_DEVICE_HANDLE, row.opened);
    if (row.opened) {
      EXPECT_EQ(sg.byFd.size(), row.otherUnitError == 0 ? 2u : 1u);
      port.Close(device);
    } else {
      ASSERT_EQ(port.OpenProblems().size(), 1u);
      EXPECT_EQ(port.OpenProblems()[0].node, "/dev/sg5");
      EXPECT_EQ(port.OpenProblems()[0].kind, OpenFailure::InUse);
      EXPECT_EQ(port.OpenProblems()[0].unit, "/dev/sg6");
    }
    EXPECT_TRUE(sg.byFd.empty());  // nothing stays open
  }
}

// A node with the bridge's USB ID that gives no chip information is named
// with what went wrong, never dropped without a word.
TEST(SgTransport, ABridgeWithoutChipInfoIsNamedWithWhy) {
  struct Row {
    const char* name;
    FakeSg::Device device;
    OpenFailure kind;
    int error;
    uint8_t host;
    uint8_t senseKey;  // 0: none
    bool otherRecord;
    bool leavesSysfs = false;  // the device goes during the command
  };
  constexpr uint8_t DID_ERROR = 0x07;
  const auto hostError = [](sg_io_hdr_t& r) {
    r.host_status = DID_ERROR;
    return 0;
  };
  const std::vector<Row> rows = {
      {"vendor opcode refused",
       [](sg_io_hdr_t& r) {
         r.status = SCSI_STATUS_CHECK_CONDITION;
         r.driver_status = SG_DRIVER_SENSE;
         const uint8_t sense[14] = {0x70, 0, 0x05, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0x20, 0};
         std::memcpy(r.sbp, sense, sizeof sense);
         r.sb_len_wr = sizeof sense;
         return 0;
       },
       OpenFailure::NoChipInfo, 0, 0, 0x05, false},
      {"timed out",
       [](sg_io_hdr_t& r) {
         r.host_status = DID_TIME_OUT;
         return 0;
       },
       OpenFailure::NoChipInfo, 0, DID_TIME_OUT, 0, false},
      {"unplugged during the command", [](sg_io_hdr_t&) { return -ENODEV; }, OpenFailure::Gone,
       ENODEV, 0, 0, false},
      {"adapter lost the device",
       [](sg_io_hdr_t& r) {
         r.host_status = SG_HOST_NO_CONNECT;
         return 0;
       },
       OpenFailure::Gone, 0, SG_HOST_NO_CONNECT, 0, false},
      {"another device's record", [](sg_io_hdr_t&) { return 0; }, OpenFailure::NoChipInfo, 0, 0, 0,
       true},
      // an unplug often ends the command as a transport error, not "no connect"
      {"unplugged, host error", hostError, OpenFailure::Gone, 0, DID_ERROR, 0, false, true},
      {"host error, still there", hostError, OpenFailure::NoChipInfo, 0, DID_ERROR, 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeSysfs tree;
    tree.Add({.sg = 1});
    FakeSg sg;
    sg.devices["/dev/sg1"] = [&](sg_io_hdr_t& r) {
      if (row.leavesSysfs) tree.Remove("class/scsi_generic/sg1");
      return row.device(r);
    };
    SgPassThroughPort port(sg, tree.Root());
    PassThroughTransport transport(port);
    EXPECT_TRUE(transport.FindBridges(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID).empty());
    ASSERT_EQ(transport.Unused().size(), 1u);
    const std::vector<OpenProblem> problems = {UnusedNodeProblem(port, transport.Unused()[0])};
    EXPECT_EQ(UnusedNodeProblem(port, transport.Unused()[0]).kind, row.kind);  // asked again
    // a device still there is given a bounded moment to show it went, once
    uint32_t waited = 0;
    for (uint32_t ms : sg.sleeps) waited += ms;
    EXPECT_LE(waited, 1000u);
    EXPECT_EQ(problems[0].node, "/dev/sg1");
    EXPECT_EQ(problems[0].kind, row.kind);
    EXPECT_EQ(problems[0].failure.error, row.error);
    EXPECT_EQ(problems[0].failure.hostStatus, row.host);
    uint8_t key = 0, asc = 0, ascq = 0;
    EXPECT_EQ(SenseCodes(problems[0].failure.sense, key, asc, ascq), row.senseKey != 0);
    EXPECT_EQ(key, row.senseKey);
    EXPECT_EQ(problems[0].failure.otherRecord, row.otherRecord);
  }
}

// Exclusive opens of a disk and its partitions as the kernel decides them
// (block/bdev.c, bd_may_claim): each open file is a holder of its own; a
// partition cannot be claimed while another holder has the whole disk, nor
// the whole disk while any partition is claimed (mounted, swapped on, held
// by device mapper or md).
class ClaimingKernel final : public SgSystem {
 public:
  static constexpr int MOUNT = -1;  // a holder that is not one of our files

  // `disk` and its partitions, named as in /dev, numbered as in sysfs
  void AddDisk(const std::string& disk, DeviceNumber number, int partitions) {
    nodes_[disk] = {disk, number};
    for (int i = 1; i <= partitions; ++i) {
      nodes_[disk + std::to_string(i)] = {disk, {number.major, number.minor + uint32_t(i)}};
    }
  }
  // Holds `name` as a mount would; false when the kernel refuses.
  bool Mount(const std::string& name) { return Claim(name, MOUNT); }
  void Unmount(const std::string& name) { Unclaim(name); }

  int Open(const std::string& path, int flags) override {
    EXPECT_EQ(flags, O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
    const std::string name = path.substr(path.rfind('/') + 1);
    opened.push_back(name);
    if (missingOpens > 0) {  // udev has not made the node yet
      --missingOpens;
      return -ENOENT;
    }
    if (refusal != 0) return -refusal;
    if (nodes_.count(name) == 0) return -ENOENT;
    const int fd = nextFd_++;
    if (!Claim(name, fd)) return -EBUSY;
    openAs_[fd] = name;
    return fd;
  }
  bool CharacterDevice(int, DeviceNumber&) override { return false; }
  bool BlockDeviceNumber(int fd, DeviceNumber& number) override {
    number = renumbered ? DeviceNumber{8, 240} : nodes_.at(openAs_.at(fd)).number;
    return true;
  }
  int Submit(int, sg_io_hdr_t&) override { return -EIO; }
  int Collect(int, sg_io_hdr_t&) override { return -EIO; }
  void Close(int fd) override {
    Unclaim(openAs_.at(fd));
    openAs_.erase(fd);
  }
  void Sleep(uint32_t) override {
    if (onSleep) onSleep();
  }
  size_t OpenFiles() const { return openAs_.size(); }

  std::vector<std::string> opened;
  int missingOpens = 0;
  int refusal = 0;          // every open fails with this errno
  bool renumbered = false;  // the node in /dev is another disk's
  std::function<void()> onSleep;

 private:
  struct Node {
    std::string whole;
    DeviceNumber number;
    int holder = 0;  // 0: none
    int holders = 0;
  };
  static constexpr int PARTITION_CLAIMED = -2;  // the disk's holder while a partition is

  bool Claim(const std::string& name, int holder) {
    Node& node = nodes_.at(name);
    Node& whole = nodes_.at(node.whole);
    if (node.holder != 0 && node.holder != holder) return false;
    if (&node != &whole && whole.holder != 0 && whole.holder != PARTITION_CLAIMED) return false;
    ++whole.holders;
    whole.holder = PARTITION_CLAIMED;
    ++node.holders;
    node.holder = holder;
    return true;
  }
  void Unclaim(const std::string& name) {
    Node& node = nodes_.at(name);
    Node& whole = nodes_.at(node.whole);
    if (--node.holders == 0) node.holder = 0;
    if (--whole.holders == 0) whole.holder = 0;
  }

  std::map<std::string, Node> nodes_;
  std::map<int, std::string> openAs_;
  int nextFd_ = 10;
};

// The bridge's whole disk is claimed, and only it, however it is
// partitioned; while it is held nothing mounts; when the kernel refuses the
// claim, the reason is found and said.
TEST(DiskClaim, ClaimsTheWholeDiskOrSaysWhatHoldsIt) {
  struct Row {
    const char* name;
    int partitions;
    std::string mounted;  // held before the claim, as a mount, swap or dm would
    std::string mountInfo;
    std::string swaps;
    bool dmHolder;
    std::function<void(ClaimingKernel&)> setUp;
    int unboundPolls;     // scans before sd binds the disk
    std::string problem;  // empty: claimed
  };
  const std::string swapsHeader = "Filename\tType\tSize\tUsed\tPriority\n";
  const auto none = [](ClaimingKernel&) {};
  const std::vector<Row> rows = {
      {"no partition table", 0, "", "", swapsHeader, false, none, 0, ""},
      {"MBR with one partition", 1, "", "", swapsHeader, false, none, 0, ""},
      {"GPT with two partitions", 2, "", "", swapsHeader, false, none, 0, ""},
      {"bound by sd after a moment", 1, "", "", swapsHeader, false, none, 3, ""},
      {"node made by udev after a moment", 1, "", "", swapsHeader, false,
       [](ClaimingKernel& k) { k.missingOpens = 2; }, 0, ""},
      {"partition mounted", 2, "sdb2", "40 22 8:34 / /media/me/STICK rw - vfat /dev/sdb2 rw\n",
       swapsHeader, false, none, 0, "its disk is mounted on /media/me/STICK"},
      {"whole disk mounted", 0, "sdb", "40 22 8:32 / /mnt/x rw - vfat /dev/sdb rw\n", swapsHeader,
       false, none, 0, "its disk is mounted on /mnt/x"},
      {"partition is swap", 1, "sdb1", "", swapsHeader + "/dev/sdb1 partition 1024 0 -2\n", false,
       none, 0, "its disk is in use as swap (/dev/sdb1)"},
      {"partition under device mapper", 1, "sdb1", "", swapsHeader, true, none, 0,
       "its disk is held by dm-0"},
      {"held where no table shows it", 1, "sdb1",
       "60 22 0:45 / /data rw - btrfs /dev/mapper/c rw\n", swapsHeader, false, none, 0,
       "its disk is in use: /dev/sdb is held by the kernel"},
      {"no rights", 1, "", "", swapsHeader, false, [](ClaimingKernel& k) { k.refusal = EACCES; }, 0,
       "cannot claim its disk /dev/sdb: Permission denied"},
      {"another disk took the name", 1, "", "", swapsHeader, false,
       [](ClaimingKernel& k) { k.renumbered = true; }, 0,
       "cannot claim its disk /dev/sdb: the node is not the bridge's disk 8:32"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeSysfs tree;
    tree.Add({.sg = 2, .block = row.unboundPolls > 0 ? "" : "sdb", .partitions = row.partitions});
    const std::string scsi = FakeSysfs::ScsiDevice({.sg = 2});
    if (row.dmHolder) {
      tree.Write("devices/virtual/block/dm-0/dev", "253:0\n");
      tree.Link(scsi + "/block/sdb/sdb1/holders/dm-0", tree.Root() + "/devices/virtual/block/dm-0");
    }
    tree.Write("proc/mountinfo", row.mountInfo);
    tree.Write("proc/swaps", row.swaps);
    ClaimingKernel kernel;
    kernel.AddDisk("sdb", {8, 32}, row.partitions);
    if (!row.mounted.empty()) {
      ASSERT_TRUE(kernel.Mount(row.mounted));
    }
    row.setUp(kernel);
    int scans = 0;
    kernel.onSleep = [&] {
      if (++scans == row.unboundPolls) tree.Add({.sg = 2, .partitions = row.partitions});
    };
    std::string problem;
    {
      DiskClaims claims(kernel, {tree.Root(), tree.Root() + "/proc/mountinfo",
                                 tree.Root() + "/proc/swaps", "/dev"});
      EXPECT_EQ(claims.Claim("/dev/sg2", problem), row.problem.empty()) << problem;
      EXPECT_EQ(problem.substr(0, row.problem.size()), row.problem);
      if (row.problem.empty()) {
        EXPECT_EQ(kernel.opened.back(), "sdb");
        EXPECT_EQ(kernel.OpenFiles(), 1u) << "held for the whole update";
        // nothing mounts on the disk or a partition while it is held
        EXPECT_FALSE(kernel.Mount("sdb"));
        for (int i = 1; i <= row.partitions; ++i) {
          EXPECT_FALSE(kernel.Mount("sdb" + std::to_string(i)));
        }
        // a station lets go of each bridge once its update is over
        claims.Release("/dev/sg9");
        EXPECT_EQ(kernel.OpenFiles(), 1u) << "another bridge's release let go of this one";
        claims.Release("/dev/sg2");
        EXPECT_EQ(kernel.OpenFiles(), 0u) << "held after its release";
        EXPECT_TRUE(claims.Claim("/dev/sg2", problem)) << "refused once let go of: " << problem;
      }
    }
    EXPECT_EQ(kernel.OpenFiles(), 0u) << "released at the end, or at once when refused";
    if (row.mounted.empty() && row.partitions > 0) {
      EXPECT_TRUE(kernel.Mount("sdb1")) << "mountable again once released";
    }
  }
}

}  // namespace
}  // namespace zq
