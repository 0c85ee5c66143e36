#include "transport/pass_through.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "emulator/emulated_pass_through.h"

namespace zq {
namespace {

using Record = std::array<uint8_t, CHIP_INFO_RECORD_SIZE>;

constexpr Record OTHER_IDS = {0x12, 0x34, 0x56, 0x78, 1, 2, 3, 4, 5, 6, 7, 8};
constexpr Record SWAPPED_IDS = {0x1D, 0x3F, 0x10, 0x52, 0x02, 0xBF, 0xD7, 0x01, 4, 5, 28, 7};
// what a caller's ChipInfo held before; any write to it shows
const ChipInfo EARLIER = {0xAAAA, 0xBBBB, 1, 2, 3, 4, 5, 6, 7, 8};

ChipInfo Decoded(const Record& record) {
  uint8_t bytes[CHIP_INFO_RECORD_SIZE];
  std::copy(record.begin(), record.end(), bytes);
  return DecodeChipInfo(bytes);
}

class Steps final : public ProgressStepper {
 public:
  void StepProgress(uint8_t step, uint8_t cap) override {
    ++count;
    EXPECT_EQ(step, ERASE_PROGRESS_STEP);
    EXPECT_EQ(cap, ERASE_PROGRESS_CAP);
  }
  int count = 0;
};

// Paths of the calls of this kind that succeeded.
std::vector<std::string> PathsOf(const EmulatedPassThroughPort& port, PortCallKind kind) {
  std::vector<std::string> paths;
  for (const PortCall& call : port.CallsOf(kind)) {
    if (call.result) paths.push_back(call.path);
  }
  return paths;
}

const char* const DISK1 = "\\\\?\\emulated#disk#1";
const char* const DISK2 = "\\\\?\\emulated#disk#2";
const char* const DISK3 = "\\\\?\\emulated#disk#3";

struct DiscoveryCase {
  const char* name;
  std::function<void(EmulatedPassThroughPort&)> setUp;
  const char* found;  // null: no bridge
  std::vector<std::string> opened;
  ChipInfo info;  // what the caller's ChipInfo holds afterwards
};

TEST(PassThroughDiscovery, FindsTheFirstMatchingDiskAndClosesTheRest) {
  const ChipInfo bridge = Decoded(BridgeDevice::DEFAULT_RECORD);
  const std::vector<DiscoveryCase> cases = {
      {"nothing listed", [](auto&) {}, nullptr, {}, EARLIER},
      {"bridge after two disks refusing the opcode",
       [](auto& p) {
         p.AddOrdinaryDisk(InterfaceClass::Disk);
         p.AddOrdinaryDisk(InterfaceClass::Disk);
         p.AddBridge(InterfaceClass::Disk);
       },
       DISK3,
       {DISK1, DISK2, DISK3},
       bridge},
      {"unopenable disks do not hide the bridge",
       [](auto& p) {
         p.AddUnopenable(InterfaceClass::Disk);
         p.AddUnopenable(InterfaceClass::Disk);
         p.AddBridge(InterfaceClass::Disk);
       },
       DISK3,
       {DISK3},
       bridge},
      {"swapped IDs passed over",
       [](auto& p) {
         p.AddDeviceWithRecord(InterfaceClass::Disk, SWAPPED_IDS);
         p.AddBridge(InterfaceClass::Disk);
       },
       DISK2,
       {DISK1, DISK2},
       bridge},
      {"a non-bridge that answered leaves its record",
       [](auto& p) {
         p.AddDeviceWithRecord(InterfaceClass::Disk, OTHER_IDS);
         p.AddOrdinaryDisk(InterfaceClass::Disk);
       },
       nullptr,
       {DISK1, DISK2},
       Decoded(OTHER_IDS)},
      {"swapped IDs alone are not the bridge",
       [](auto& p) { p.AddDeviceWithRecord(InterfaceClass::Disk, SWAPPED_IDS); },
       nullptr,
       {DISK1},
       Decoded(SWAPPED_IDS)},
      {"status 1 is success",
       [](auto& p) { p.AddBridge(InterfaceClass::Disk).goodStatus = 1; },
       DISK1,
       {DISK1},
       bridge},
      {"check condition on the info command",
       [](auto& p) { p.AddBridge(InterfaceClass::Disk).chip->Faults().infoFails = true; },
       nullptr,
       {DISK1},
       EARLIER},
      {"control call failing",
       [](auto& p) { p.AddBridge(InterfaceClass::Disk).controlFails = true; },
       nullptr,
       {DISK1},
       EARLIER},
      {"size query failing ends the search",
       [](auto& p) {
         p.AddOrdinaryDisk(InterfaceClass::Disk);
         p.AddBridge(InterfaceClass::Disk);
         p.FailListing(InterfaceClass::Disk, 1, ListFault::SizeQuery);
       },
       nullptr,
       {DISK1},
       EARLIER},
      {"detail call failing ends the search",
       [](auto& p) {
         p.AddBridge(InterfaceClass::Disk);
         p.FailListing(InterfaceClass::Disk, 0, ListFault::Detail);
       },
       nullptr,
       {},
       EARLIER},
      {"no list at all",
       [](auto& p) {
         p.AddBridge(InterfaceClass::Disk);
         p.MakeListUnavailable(InterfaceClass::Disk);
       },
       nullptr,
       {},
       EARLIER},
  };

  for (const DiscoveryCase& c : cases) {
    SCOPED_TRACE(c.name);
    EmulatedPassThroughPort port;
    c.setUp(port);
    PassThroughTransport transport(port);
    ChipInfo info = EARLIER;

    const std::unique_ptr<Bridge> found =
        transport.FindBridge(InterfaceClass::Disk, BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID, info);

    EXPECT_EQ(info, c.info);
    EXPECT_EQ(PathsOf(port, PortCallKind::Open), c.opened);
    // every listed device up to the bridge was tried, openable or not
    const size_t listed = PathsOf(port, PortCallKind::ListStep).size();
    EXPECT_EQ(port.CallsOf(PortCallKind::Open).size(), listed);
    // every device opened and not the bridge was closed again, exactly once
    std::vector<std::string> closed = c.opened;
    if (c.found != nullptr) {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->Name(), c.found);
      EXPECT_EQ(found->Info(), c.info);
      EXPECT_EQ(port.OpenPaths(), std::vector<std::string>{c.found});
      closed.erase(std::find(closed.begin(), closed.end(), c.found));
    } else {
      EXPECT_EQ(found, nullptr);
      EXPECT_TRUE(port.OpenPaths().empty());
    }
    std::vector<std::string> actuallyClosed = PathsOf(port, PortCallKind::Close);
    std::sort(closed.begin(), closed.end());
    std::sort(actuallyClosed.begin(), actuallyClosed.end());
    EXPECT_EQ(actuallyClosed, closed);
    EXPECT_EQ(port.BadCloses(), 0u);
    EXPECT_EQ(port.ListsAlive(), 0u);
    // each opened device was asked for its record once, and only that
    for (const PortCall& call : port.CallsOf(PortCallKind::Control)) {
      EXPECT_EQ(call.CdbSent(), EncodeGetInfo());
    }
    EXPECT_EQ(port.CallsOf(PortCallKind::Control).size(), c.opened.size());
  }
}

TEST(PassThroughDiscovery, BridgeSeenOnlyAsCdRomIsFoundInThatClass) {
  EmulatedPassThroughPort port;
  port.AddOrdinaryDisk(InterfaceClass::Disk);
  port.AddBridge(InterfaceClass::CdRom);
  PassThroughTransport transport(port);
  ChipInfo info = EARLIER;

  EXPECT_EQ(transport.FindBridge(InterfaceClass::Disk, BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID, info),
            nullptr);
  std::unique_ptr<Bridge> found =
      transport.FindBridge(InterfaceClass::CdRom, BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID, info);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(port.OpenPaths(), std::vector<std::string>{"\\\\?\\emulated#cdrom#1"});
  EXPECT_EQ(info, Decoded(BridgeDevice::DEFAULT_RECORD));

  found.reset();  // dropping the bridge closes its device
  EXPECT_TRUE(port.OpenPaths().empty());
  PassThroughBridge unbound(port, INVALID_DEVICE_HANDLE, "", info);
  EXPECT_EQ(port.CallsOf(PortCallKind::Close).size(), 2u);
  EXPECT_EQ(port.BadCloses(), 0u);
}

// Every device a search could not use is handed back once, with why; one
// that opens and answers later is dropped.
TEST(PassThroughDiscovery, SaysWhichDevicesItCouldNotUseAndWhy) {
  using Why = UnusedDevice::Why;
  struct Row {
    const char* name;
    std::function<void(EmulatedPassThroughPort&)> setUp;
    std::vector<std::pair<std::string, Why>> unused;
    size_t found;
  };
  const std::vector<Row> rows = {
      {"a bridge alone", [](auto& p) { p.AddBridge(InterfaceClass::Disk); }, {}, 1},
      {"a bridge answering with status 1",
       [](auto& p) { p.AddBridge(InterfaceClass::Disk).goodStatus = 1; },
       {},
       1},
      {"not opened, refusing, another record, then the bridge",
       [](auto& p) {
         p.AddUnopenable(InterfaceClass::Disk);
         p.AddOrdinaryDisk(InterfaceClass::Disk);
         p.AddDeviceWithRecord(InterfaceClass::Disk, OTHER_IDS);
         p.AddBridge(InterfaceClass::Disk);
       },
       {{DISK1, Why::NotOpened}, {DISK2, Why::NoChipInfo}, {DISK3, Why::OtherRecord}},
       1},
      {"control call failing on a CD-ROM",
       [](auto& p) { p.AddBridge(InterfaceClass::CdRom).controlFails = true; },
       {{"\\\\?\\emulated#cdrom#1", Why::NoChipInfo}},
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EmulatedPassThroughPort port;
    row.setUp(port);
    PassThroughTransport transport(port);
    EXPECT_EQ(transport.FindBridges(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID).size(), row.found);
    std::vector<std::pair<std::string, Why>> unused;
    for (const UnusedDevice& device : transport.Unused())
      unused.emplace_back(device.path, device.why);
    EXPECT_EQ(unused, row.unused);
    for (const UnusedDevice& device : transport.Unused()) {
      EXPECT_EQ(device.record, device.why == Why::OtherRecord ? Decoded(OTHER_IDS) : ChipInfo{});
    }
  }

  // asked again, a device that answers now is no longer named
  EmulatedPassThroughPort port;
  EmulatedDevice& bridge = port.AddBridge(InterfaceClass::Disk);
  bridge.controlFails = true;
  PassThroughTransport transport(port);
  EXPECT_TRUE(transport.FindBridges(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID).empty());
  EXPECT_EQ(transport.Unused().size(), 1u);
  bridge.controlFails = false;
  EXPECT_EQ(transport.FindBridges(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID).size(), 1u);
  EXPECT_TRUE(transport.Unused().empty());
}

// The time-out is the caller's: short for the chip information asked while
// searching, what the caller gave for a found bridge's commands.
TEST(PassThroughCommands, EachCommandCarriesTheTimeOutItsCallerSet) {
  EmulatedPassThroughPort port;
  port.AddBridge(InterfaceClass::Disk);
  PassThroughTransport transport(port, CommandTimeouts{7, 40});
  auto bridges = transport.FindBridges(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID);
  ASSERT_EQ(bridges.size(), 1u);
  uint8_t block[BLOCK_SIZE] = {};
  uint8_t status = 0;
  ASSERT_TRUE(bridges[0]->QueryStatus(status));
  ASSERT_TRUE(bridges[0]->ReadBlock(0, BLOCK_SIZE, block));
  ASSERT_TRUE(bridges[0]->WriteBlock(0, BLOCK_SIZE, block));
  ASSERT_EQ(bridges[0]->SendErase(), Carried::Succeeded);
  const std::vector<PortCall> calls = port.CallsOf(PortCallKind::Control);
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].CdbSent()[0], CMD_GET_INFO);
  EXPECT_EQ(calls[0].header.TimeOutValue, 7u);
  for (size_t i = 1; i < calls.size(); ++i) EXPECT_EQ(calls[i].header.TimeOutValue, 40u) << i;
}

// The first disk opened and bound as a bridge.
std::unique_ptr<PassThroughBridge> BindFirstDisk(EmulatedPassThroughPort& port) {
  return std::make_unique<PassThroughBridge>(port, port.Open(DISK1), DISK1, ChipInfo{});
}

struct LayoutCase {
  const char* name;
  std::function<bool(PassThroughTransport&, PassThroughBridge&, DeviceHandle)> send;
  Cdb cdb;
  uint8_t dataIn;
  uint32_t transferLength;
  uint32_t inputSize;
};

TEST(PassThroughCommands, EachCommandTravelsInItsOwnZeroedBlock) {
  std::vector<uint8_t> source(BLOCK_SIZE);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 7 + 3);
  std::vector<uint8_t> sink(BLOCK_SIZE);
  const std::vector<LayoutCase> cases = {
      {"info",
       [](auto& t, auto&, auto d) {
         ChipInfo i;
         return t.ReadChipInfo(d, i);
       },
       Cdb{0xE0, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_IN, 12, PASS_THROUGH_HEADER_SIZE},
      {"status",
       [](auto&, auto& b, auto) {
         uint8_t s;
         return b.QueryStatus(s);
       },
       Cdb{0xF7, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_IN, 1, PASS_THROUGH_HEADER_SIZE},
      {"write 512 at 0x0400",
       [&](auto&, auto& b, auto) { return b.WriteBlock(0x0400, 512, source.data()); },
       Cdb{0xE2, 0, 0x04, 0x00, 0x02, 0x00}, SCSI_IOCTL_DATA_OUT, 512, PASS_THROUGH_BLOCK_SIZE},
      {"write keeps the low 16 address bits",
       [&](auto&, auto& b, auto) { return b.WriteBlock(0x1FE00, 16, source.data()); },
       Cdb{0xE2, 0, 0xFE, 0x00, 0x00, 0x10}, SCSI_IOCTL_DATA_OUT, 16, PASS_THROUGH_BLOCK_SIZE},
      {"read 300 at 0x0200",
       [&](auto&, auto& b, auto) { return b.ReadBlock(0x0200, 300, sink.data()); },
       Cdb{0xE3, 0, 0x02, 0x00, 0x01, 0x2C}, SCSI_IOCTL_DATA_IN, 300, PASS_THROUGH_HEADER_SIZE},
      {"empty read", [&](auto&, auto& b, auto) { return b.ReadBlock(0, 0, sink.data()); },
       Cdb{0xE3, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_IN, 0, PASS_THROUGH_HEADER_SIZE},
  };

  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    EmulatedPassThroughPort port;
    port.AddBridge(InterfaceClass::Disk);
    PassThroughTransport transport(port);
    const auto bridge = BindFirstDisk(port);
    const DeviceHandle device = port.CallsOf(PortCallKind::Open).back().handle;
    // a refused command first leaves sense bytes behind for a reused block to carry
    port.Find(DISK1)->chip->Faults().statusFails = true;
    uint8_t status = 0x77;
    EXPECT_FALSE(bridge->QueryStatus(status));
    EXPECT_EQ(status, 0x77);
    port.Find(DISK1)->chip->Faults().statusFails = false;
    port.ClearCalls();

    ASSERT_TRUE(c.send(transport, *bridge, device));
    const std::vector<PortCall> calls = port.CallsOf(PortCallKind::Control);
    ASSERT_EQ(calls.size(), 1u);
    const PortCall& call = calls[0];
    EXPECT_TRUE(call.accepted);
    EXPECT_TRUE(call.zeroedOnEntry);
    EXPECT_EQ(call.handle, device);
    EXPECT_EQ(call.inputSize, c.inputSize);
    EXPECT_EQ(call.outputSize, PASS_THROUGH_DATA_OFFSET + c.transferLength);
    const ScsiPassThroughHeader& h = call.header;
    EXPECT_EQ(h.Length, PASS_THROUGH_HEADER_SIZE);
    EXPECT_EQ(h.PathId, 0);
    EXPECT_EQ(h.TargetId, 1);
    EXPECT_EQ(h.Lun, 0);
    EXPECT_EQ(h.CdbLength, 6);
    EXPECT_EQ(h.SenseInfoLength, 32);
    EXPECT_EQ(h.TimeOutValue, 5u);
    EXPECT_EQ(h.DataBufferOffset, PASS_THROUGH_DATA_OFFSET);
    EXPECT_EQ(h.SenseInfoOffset, PASS_THROUGH_SENSE_OFFSET);
    EXPECT_EQ(h.DataIn, c.dataIn);
    EXPECT_EQ(h.DataTransferLength, c.transferLength);
    EXPECT_EQ(call.CdbSent(), c.cdb);
    if (c.dataIn == SCSI_IOCTL_DATA_OUT) {
      EXPECT_TRUE(std::equal(call.dataOut.begin(), call.dataOut.end(), source.begin()));
    }
  }
}

TEST(PassThroughCommands, WrittenBlockReadsBackAndFailuresLeaveOutputsAlone) {
  EmulatedPassThroughPort port;
  EmulatedDevice& bridge = port.AddBridge(InterfaceClass::Disk);
  const auto bound = BindFirstDisk(port);
  Steps steps;
  ASSERT_TRUE(bound->EraseAndWait(steps, 0));

  std::vector<uint8_t> block(BLOCK_SIZE);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i ^ 0x5A);
  ASSERT_TRUE(bound->WriteBlock(0x0400, BLOCK_SIZE, block.data()));
  EXPECT_TRUE(std::equal(block.begin(), block.end(), bridge.chip->Flash().begin() + 0x0400));

  // exactly 300 bytes land; the rest of the destination is not touched
  std::vector<uint8_t> dest(400, 0xEE);
  ASSERT_TRUE(bound->ReadBlock(0x0400, 300, dest.data()));
  EXPECT_TRUE(std::equal(dest.begin(), dest.begin() + 300, block.begin()));
  EXPECT_TRUE(std::all_of(dest.begin() + 300, dest.end(), [](uint8_t b) { return b == 0xEE; }));

  // a refused read delivers nothing, whatever reached the block
  bridge.chip->Faults().failRead = 2;
  std::vector<uint8_t> untouched(400, 0xEE);
  EXPECT_FALSE(bound->ReadBlock(0x0400, 300, untouched.data()));
  EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](uint8_t b) { return b == 0xEE; }));

  bridge.chip->Faults().statusFails = true;
  uint8_t status = 0x42;
  EXPECT_FALSE(bound->QueryStatus(status));
  EXPECT_EQ(status, 0x42);
}

TEST(PassThroughCommands, OrdinaryDiskDataIsNeverUsed) {
  // the disk scribbles on the data area before refusing: nothing may reach the caller
  EmulatedPassThroughPort port;
  port.AddOrdinaryDisk(InterfaceClass::Disk);
  PassThroughTransport transport(port);
  const auto disk = BindFirstDisk(port);
  const DeviceHandle device = port.CallsOf(PortCallKind::Open).back().handle;

  ChipInfo info = EARLIER;
  EXPECT_FALSE(transport.ReadChipInfo(device, info));
  EXPECT_EQ(info, EARLIER);
  uint8_t status = 0x42;
  EXPECT_FALSE(disk->QueryStatus(status));
  EXPECT_EQ(status, 0x42);
  std::vector<uint8_t> dest(64, 0xEE);
  EXPECT_FALSE(disk->ReadBlock(0, 64, dest.data()));
  EXPECT_TRUE(std::all_of(dest.begin(), dest.end(), [](uint8_t b) { return b == 0xEE; }));
  for (const PortCall& call : port.CallsOf(PortCallKind::Control)) {
    EXPECT_EQ(call.scsiStatus, SCSI_STATUS_CHECK_CONDITION);
  }
}

TEST(PassThroughCommands, OversizedOrUnusableRequestsAreRefusedWithoutSending) {
  EmulatedPassThroughPort port;
  port.AddBridge(InterfaceClass::Disk);
  const auto bridge = BindFirstDisk(port);
  PassThroughBridge unbound(port, INVALID_DEVICE_HANDLE, "", ChipInfo{});
  std::vector<uint8_t> bytes(0x10001, 0x11);

  struct Refused {
    const char* name;
    std::function<bool()> send;
  };
  const std::vector<Refused> cases = {
      {"write 513", [&] { return bridge->WriteBlock(0, 513, bytes.data()); }},
      {"read 513", [&] { return bridge->ReadBlock(0, 513, bytes.data()); }},
      // the low 16 bits would be a harmless 1; the caller still meant 65 537
      {"write 0x10001", [&] { return bridge->WriteBlock(0, 0x10001, bytes.data()); }},
      {"read 0x10001", [&] { return bridge->ReadBlock(0, 0x10001, bytes.data()); }},
      {"write from nowhere", [&] { return bridge->WriteBlock(0, 4, nullptr); }},
      {"read to nowhere", [&] { return bridge->ReadBlock(0, 4, nullptr); }},
      {"no device",
       [&] {
         uint8_t s = 0;
         return unbound.QueryStatus(s);
       }},
  };
  for (const Refused& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(c.send());
  }
  EXPECT_TRUE(port.CallsOf(PortCallKind::Control).empty());
  EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0x11; }));
}

struct EraseCase {
  const char* name;
  std::function<void(EmulatedDevice&)> setUp;
  bool result;
  int busyAnswers;
};

TEST(PassThroughErase, PollsDecideAndTheEraseAnswerIsIgnored) {
  const std::vector<EraseCase> cases = {
      {"erase call failing, then ready", [](auto& d) { d.controlFailsOn = CMD_ERASE; }, true, 0},
      {"three busy answers", [](auto& d) { d.chip->SetBusyAnswers(3); }, true, 3},
      {"erase answered with status 1", [](auto& d) { d.goodStatus = 1; }, true, 2},
      {"erase fails on the device", [](auto& d) { d.chip->Faults().eraseFails = true; }, false, 2},
      {"status refused", [](auto& d) { d.chip->Faults().statusFails = true; }, false, 0},
      {"status call failing", [](auto& d) { d.controlFailsOn = CMD_STATUS; }, false, 0},
      {"never leaves busy", [](auto& d) { d.chip->Faults().stuckBusy = true; }, false,
       static_cast<int>(ERASE_MAX_BUSY_POLLS)},
  };
  for (const EraseCase& c : cases) {
    SCOPED_TRACE(c.name);
    EmulatedPassThroughPort port;
    EmulatedDevice& bridge = port.AddBridge(InterfaceClass::Disk);
    c.setUp(bridge);
    const auto bound = BindFirstDisk(port);
    Steps steps;

    EXPECT_EQ(bound->EraseAndWait(steps, 0), c.result);
    EXPECT_EQ(steps.count, c.busyAnswers);
    const std::vector<PortCall> sleeps = port.CallsOf(PortCallKind::Sleep);
    EXPECT_EQ(sleeps.size(), static_cast<size_t>(c.busyAnswers));
    for (const PortCall& s : sleeps) EXPECT_EQ(s.milliseconds, 1000u);

    const std::vector<PortCall> controls = port.CallsOf(PortCallKind::Control);
    ASSERT_FALSE(controls.empty());
    const PortCall& erase = controls.front();
    EXPECT_EQ(erase.CdbSent(), EncodeErase());
    EXPECT_EQ(erase.header.DataIn, SCSI_IOCTL_DATA_OUT);
    EXPECT_EQ(erase.header.DataTransferLength, 0u);
    EXPECT_EQ(erase.inputSize, PASS_THROUGH_BLOCK_SIZE);
    EXPECT_EQ(erase.outputSize, PASS_THROUGH_DATA_OFFSET);
    for (size_t i = 1; i < controls.size(); ++i) {
      EXPECT_EQ(controls[i].CdbSent(), EncodeStatus());
    }
  }
}

// A refused erase is trusted only when the range to be written reads erased;
// an accepted one is never read back.
TEST(PassThroughErase, RefusedEraseIsCheckedByReadingBack) {
  struct Row {
    const char* name;
    bool refused;
    uint8_t fill;
    bool result;
    size_t reads;
  };
  const Row rows[] = {
      {"refused, flash unerased", true, 0xA5, false, 1},
      {"refused, flash reads erased", true, 0xFF, true, 3},
      {"accepted", false, 0xA5, true, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EmulatedPassThroughPort port;
    EmulatedDevice& device = port.AddBridge(InterfaceClass::Disk);
    device.chip->Flash().fill(row.fill);
    device.chip->Faults().eraseRefused = row.refused;
    const auto bound = BindFirstDisk(port);
    Steps steps;
    EXPECT_EQ(bound->EraseAndWait(steps, 1100), row.result);
    const auto reads = std::count_if(device.chip->Log().begin(), device.chip->Log().end(),
                                     [](const auto& e) { return e.opcode == CMD_READ; });
    EXPECT_EQ(static_cast<size_t>(reads), row.reads);
  }
}

TEST(EmulatedPassThrough, DevicesOpenExclusivelyAndTheDefaultHasOneBridge) {
  const auto port = MakeSingleBridgePassThrough();
  const DeviceHandle first = port->Open(DISK1);
  ASSERT_NE(first, INVALID_DEVICE_HANDLE);
  EXPECT_EQ(port->Open(DISK1), INVALID_DEVICE_HANDLE);  // held open already
  EXPECT_EQ(port->Open(DISK2), INVALID_DEVICE_HANDLE);  // not listed
  port->Close(first);
  port->Close(first);
  EXPECT_EQ(port->BadCloses(), 1u);

  PassThroughTransport transport(*port);
  ChipInfo info;
  const std::unique_ptr<Bridge> found =
      transport.FindBridge(InterfaceClass::Disk, BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID, info);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(port->FirstBridge(), port->Find(DISK1)->chip);
  EXPECT_EQ(transport.FindBridge(InterfaceClass::CdRom, BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID, info),
            nullptr);
}

}  // namespace
}  // namespace zq
