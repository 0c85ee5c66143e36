#include <gtest/gtest.h>

#include <algorithm>

#include <array>
#include <memory>
#include <vector>

#include "emulator/bridge_device.h"
#include "emulator/emulated_aspi.h"
#include "transport/aspi.h"

namespace zq {
namespace {

constexpr uint8_t FLAGS_IN = 0x48;
constexpr uint8_t FLAGS_OUT = 0x50;

class RecordingProgress final : public ProgressStepper {
 public:
  void StepProgress(uint8_t step, uint8_t cap) override { steps.push_back({step, cap}); }
  std::vector<std::array<uint8_t, 2>> steps;
};

std::vector<uint8_t> Cdb11(std::initializer_list<uint8_t> six) {
  std::vector<uint8_t> cdb(six);
  cdb.resize(ASPI_CDB_LENGTH, 0);
  return cdb;
}

// Every test drives a transport over the emulated layer; afterwards no event
// may be left open or used once closed.
class AspiTest : public ::testing::Test {
 protected:
  AspiTest() {
    layer.SetHostAdapterCount(1);
    bridge.Flash().fill(0xFF);
    bridge.SetBusyAnswers(0);
  }

  void TearDown() override {
    found.reset();
    transport.reset();
    EXPECT_EQ(layer.OpenEvents(), 0u);
    EXPECT_EQ(layer.EventsCreated(), layer.EventsClosed());
    EXPECT_EQ(layer.BadEventUses(), 0u);
  }

  size_t FullWaits() const {
    size_t count = 0;
    for (uint32_t ms : layer.Waits()) count += ms == ASPI_WAIT_MS;
    return count;
  }

  // The request block every command shares.
  void ExpectCommonFields(const AspiRequestRecord& r) {
    EXPECT_EQ(r.lun, 0);
    EXPECT_EQ(r.senseLength, SENSE_LEN);
    EXPECT_EQ(r.cdbLength, ASPI_CDB_LENGTH);
    EXPECT_TRUE(r.cdbTailClear);
    EXPECT_TRUE(r.postProcIsEvent);
    EXPECT_TRUE(r.inputClear);
  }

  // The transport's search, reporting where it found the bridge.
  bool Find(uint8_t& adapter, uint8_t& target, ChipInfo& info) {
    found = transport->FindBridge(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID, info);
    if (!found) return false;
    const auto& bound = static_cast<const AspiBridge&>(*found);
    adapter = bound.HostAdapter();
    target = bound.Target();
    return true;
  }

  // A bridge object bound to one adapter and target, found or not.
  AspiBridge At(uint8_t adapter, uint8_t target) {
    return AspiBridge(*transport, adapter, target, ChipInfo{});
  }

  EmulatedAspiLayer layer;
  BridgeDevice bridge;
  std::unique_ptr<AspiTransport> transport = std::make_unique<AspiTransport>(layer);
  std::unique_ptr<Bridge> found;
};

TEST_F(AspiTest, UnusableLayerSendsNothing) {
  struct Row {
    uint8_t status;
    uint8_t adapters;
  };
  for (Row row : {Row{SS_COMP, 0}, Row{0, 1}, Row{SS_ERR, 3}, Row{0x81, 2}, Row{0xFF, 0xFF}}) {
    SCOPED_TRACE(testing::Message()
                 << "status " << int(row.status) << " count " << int(row.adapters));
    layer.SetSupportStatus(row.status);
    layer.SetHostAdapterCount(row.adapters);
    layer.SetTarget(0, 0, AspiTargetKind::Bridge, &bridge);
    uint8_t adapter = 0x77, target = 0x66;
    ChipInfo info{};
    EXPECT_FALSE(Find(adapter, target, info));
    EXPECT_TRUE(layer.Requests().empty());
    EXPECT_EQ(layer.EventsCreated(), 0u);
    EXPECT_EQ(adapter, 0x77);
    EXPECT_EQ(target, 0x66);
  }
}

TEST_F(AspiTest, ScanWithoutBridgeAsksEveryTargetOnce) {
  layer.SetTarget(0, 0, AspiTargetKind::Ordinary);
  layer.SetTarget(0, 7, AspiTargetKind::Ordinary);
  uint8_t adapter = 9, target = 9;
  ChipInfo info{};
  info.vendorId = 0x1234;
  EXPECT_FALSE(Find(adapter, target, info));
  ASSERT_EQ(layer.Requests().size(), 8u);
  for (uint8_t t = 0; t < 8; ++t) {
    const AspiRequestRecord& r = layer.Requests()[t];
    SCOPED_TRACE(int(t));
    EXPECT_EQ(r.hostAdapter, 0);
    EXPECT_EQ(r.target, t);
    EXPECT_EQ(r.flags, FLAGS_IN);
    EXPECT_EQ(r.bufferLength, CHIP_INFO_RECORD_SIZE);
    EXPECT_TRUE(r.hasBuffer);
    EXPECT_EQ(r.cdb, Cdb11({0xE0, 0, 0, 0, 0, 0}));
    ExpectCommonFields(r);
  }
  EXPECT_EQ(adapter, 9);
  EXPECT_EQ(target, 9);
  EXPECT_EQ(info.vendorId, 0x1234);  // nobody answered
}

TEST_F(AspiTest, ScanStopsAtFirstBridgeOnLaterAdapter) {
  BridgeDevice second;
  layer.SetHostAdapterCount(2);
  layer.SetTarget(0, 1, AspiTargetKind::Ordinary);
  layer.SetTarget(1, 2, AspiTargetKind::Bridge, &bridge);
  layer.SetTarget(1, 5, AspiTargetKind::Bridge, &second);
  bridge.Record()[11] = 0x2A;
  uint8_t adapter = 0, target = 0;
  ChipInfo info{};
  ASSERT_TRUE(Find(adapter, target, info));
  EXPECT_EQ(adapter, 1);
  EXPECT_EQ(target, 2);
  EXPECT_EQ(info.fwBuild, 0x2A);
  ASSERT_EQ(layer.Requests().size(), 11u);
  for (size_t i = 0; i < 11; ++i) {
    EXPECT_EQ(layer.Requests()[i].hostAdapter, i < 8 ? 0 : 1);
    EXPECT_EQ(layer.Requests()[i].target, i < 8 ? i : i - 8);
  }
  EXPECT_TRUE(second.Log().empty());
}

TEST_F(AspiTest, ScanCoversEveryReportedAdapter) {
  layer.SetHostAdapterCount(9);
  layer.SetTarget(8, 0, AspiTargetKind::Bridge, &bridge);
  uint8_t adapter = 0, target = 5;
  ChipInfo info{};
  ASSERT_TRUE(Find(adapter, target, info));
  EXPECT_EQ(adapter, 8);
  EXPECT_EQ(target, 0);
  EXPECT_EQ(layer.Requests().size(), 65u);
}

TEST_F(AspiTest, ForeignRecordIsPassedOverButStaysInChipInfo) {
  BridgeDevice foreign;
  foreign.Record()[3] = 0x11;  // same vendor, product 0x5211
  BridgeDevice swapped;
  swapped.Record() = {0x1D, 0x3F, 0x10, 0x52, 2, 0xBF, 0xD7, 1, 4, 5, 0x1C, 7};
  layer.SetTarget(0, 1, AspiTargetKind::Bridge, &swapped);
  layer.SetTarget(0, 3, AspiTargetKind::Bridge, &foreign);
  layer.SetTarget(0, 4, AspiTargetKind::Ordinary);
  uint8_t adapter = 0, target = 0;
  ChipInfo info{};
  EXPECT_FALSE(Find(adapter, target, info));
  EXPECT_EQ(layer.Requests().size(), 8u);
  EXPECT_EQ(info.vendorId, 0x3F1D);
  EXPECT_EQ(info.productId, 0x5211);
}

// How the layer completes a request decides the outcome and the waits.
TEST_F(AspiTest, CompletionModes) {
  struct Row {
    AspiCompletion mode;
    bool succeeds;
    size_t fullWaits;
    size_t parked;
  };
  const Row rows[] = {
      {AspiCompletion::AtOnce, true, 0, 0},
      {AspiCompletion::AtWait, true, 1, 0},
      {AspiCompletion::Late, false, 1, 1},
      // the wait runs out, yet the layer has finished: the status decides
      {AspiCompletion::Unsignalled, true, 1, 0},
  };
  layer.SetTarget(0, 0, AspiTargetKind::Bridge, &bridge);
  for (const Row& row : rows) {
    SCOPED_TRACE(int(row.mode));
    layer.SetCompletion(row.mode);
    const size_t waitsBefore = FullWaits();
    ChipInfo info{};
    info.fwDay = 99;
    EXPECT_EQ(transport->ReadChipInfo(0, 0, info), row.succeeds);
    EXPECT_EQ(info.fwDay, row.succeeds ? 28 : 99);
    EXPECT_EQ(FullWaits() - waitsBefore, row.fullWaits);
    EXPECT_EQ(transport->PendingRequests(), row.parked);
    layer.CompleteLate();
  }
}

TEST_F(AspiTest, RequestCompletedAfterItsWaitIsKeptThenReaped) {
  layer.SetTarget(0, 0, AspiTargetKind::Bridge, &bridge);
  for (uint32_t i = 0; i < BLOCK_SIZE; ++i) bridge.Flash()[0x200 + i] = static_cast<uint8_t>(i);
  layer.ScriptCompletions({AspiCompletion::Late, AspiCompletion::Late});

  std::array<uint8_t, BLOCK_SIZE> destination;
  destination.fill(0xEE);
  EXPECT_FALSE(At(0, 0).ReadBlock(0x200, BLOCK_SIZE, destination.data()));
  uint8_t status = 0x33;
  EXPECT_FALSE(At(0, 0).QueryStatus(status));
  EXPECT_EQ(status, 0x33);
  EXPECT_EQ(transport->PendingRequests(), 2u);
  EXPECT_EQ(layer.OpenEvents(), 2u);

  // the layer now writes 512 bytes and the status into the parked requests;
  // freed memory here is what AddressSanitizer reports
  EXPECT_EQ(layer.CompleteLate(), 2u);
  EXPECT_EQ(bridge.Log().size(), 2u);
  for (uint8_t b : destination) ASSERT_EQ(b, 0xEE);

  // the next command releases them before it sends
  EXPECT_TRUE(At(0, 0).QueryStatus(status));
  EXPECT_EQ(status, STATUS_READY);
  EXPECT_EQ(transport->PendingRequests(), 0u);
  EXPECT_EQ(layer.OpenEvents(), 0u);
}

TEST_F(AspiTest, TransportEndReleasesRequestsFinishedLate) {
  layer.SetTarget(0, 0, AspiTargetKind::Bridge, &bridge);
  layer.SetCompletion(AspiCompletion::Late);
  const std::vector<uint8_t> data(64, 0x5A);
  EXPECT_FALSE(At(0, 0).WriteBlock(0, 64, data.data()));
  layer.CompleteLate();
  EXPECT_EQ(bridge.Flash()[63], 0x5A);  // the late write reached the device intact
  transport.reset();
  EXPECT_EQ(layer.OpenEvents(), 0u);
}

// A request the layer has not finished when the transport ends is left to
// the layer: its memory and event must survive whatever the layer does later.
TEST(AspiTransportEnd, RequestUnfinishedAtTheEndStaysValid) {
  EmulatedAspiLayer layer;
  BridgeDevice bridge;
  layer.SetHostAdapterCount(1);
  layer.SetTarget(0, 0, AspiTargetKind::Bridge, &bridge);
  layer.SetCompletion(AspiCompletion::Never);
  {
    AspiTransport transport(layer);
    std::array<uint8_t, BLOCK_SIZE> destination{};
    EXPECT_FALSE(
        AspiBridge(transport, 0, 0, ChipInfo{}).ReadBlock(0, BLOCK_SIZE, destination.data()));
    EXPECT_EQ(transport.PendingRequests(), 1u);
  }
  EXPECT_EQ(layer.OpenEvents(), 1u);
  // the end does not wait for it again: the process may end at once
  EXPECT_EQ(std::count(layer.Waits().begin(), layer.Waits().end(), ASPI_WAIT_MS), 1);
  // the layer finishes at last: 512 bytes, the status and the event
  EXPECT_EQ(layer.CompleteAll(), 1u);
  EXPECT_EQ(layer.BadEventUses(), 0u);
  EXPECT_EQ(bridge.Log().size(), 1u);
}

TEST_F(AspiTest, WriteBlockRequest) {
  layer.SetTarget(0, 3, AspiTargetKind::Bridge, &bridge);
  std::array<uint8_t, BLOCK_SIZE> data;
  for (uint32_t i = 0; i < BLOCK_SIZE; ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_TRUE(At(0, 3).WriteBlock(0x0400, BLOCK_SIZE, data.data()));
  ASSERT_EQ(layer.Requests().size(), 1u);
  const AspiRequestRecord& r = layer.Requests()[0];
  EXPECT_EQ(r.target, 3);
  EXPECT_EQ(r.flags, FLAGS_OUT);
  EXPECT_EQ(r.bufferLength, BLOCK_SIZE);
  EXPECT_EQ(r.cdb, Cdb11({0xE2, 0x00, 0x04, 0x00, 0x02, 0x00}));
  ExpectCommonFields(r);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), bridge.Flash().begin() + 0x400));
  EXPECT_EQ(bridge.Flash()[0x3FF], 0xFF);
  EXPECT_EQ(bridge.Flash()[0x600], 0xFF);
}

TEST_F(AspiTest, ShortWriteSendsOnlyItsBytes) {
  layer.SetTarget(0, 0, AspiTargetKind::Bridge, &bridge);
  const uint8_t data[3] = {0x01, 0x02, 0x03};
  ASSERT_TRUE(At(0, 0).WriteBlock(0x12345, 3, data));
  EXPECT_EQ(layer.Requests()[0].bufferLength, 3u);
  EXPECT_EQ(layer.Requests()[0].cdb, Cdb11({0xE2, 0x00, 0x23, 0x45, 0x00, 0x03}));
  EXPECT_EQ(bridge.Flash()[0x2345], 0x01);
  EXPECT_EQ(bridge.Flash()[0x2347], 0x03);
  EXPECT_EQ(bridge.Flash()[0x2348], 0xFF);
}

TEST_F(AspiTest, ReadBlockCopiesExactlyItsLengthOnlyOnSuccess) {
  layer.SetTarget(0, 0, AspiTargetKind::Bridge, &bridge);
  for (uint32_t i = 0; i < 600; ++i) bridge.Flash()[0x200 + i] = static_cast<uint8_t>(i ^ 0x3C);
  std::array<uint8_t, BLOCK_SIZE + 8> destination;
  destination.fill(0xEE);
  ASSERT_TRUE(At(0, 0).ReadBlock(0x0200, 300, destination.data()));
  const AspiRequestRecord& r = layer.Requests()[0];
  EXPECT_EQ(r.flags, FLAGS_IN);
  EXPECT_EQ(r.bufferLength, 300u);
  EXPECT_EQ(r.cdb, Cdb11({0xE3, 0x00, 0x02, 0x00, 0x01, 0x2C}));
  ExpectCommonFields(r);
  for (uint32_t i = 0; i < 300; ++i) ASSERT_EQ(destination[i], uint8_t(i ^ 0x3C)) << i;
  for (uint32_t i = 300; i < destination.size(); ++i) ASSERT_EQ(destination[i], 0xEE) << i;

  destination.fill(0xEE);
  bridge.Faults().failRead = 2;
  EXPECT_FALSE(At(0, 0).ReadBlock(0x0200, 300, destination.data()));
  for (uint8_t b : destination) ASSERT_EQ(b, 0xEE);
}

// Failed commands leave every output as it was.
TEST_F(AspiTest, FailuresLeaveOutputsUntouched) {
  layer.SetTarget(0, 0, AspiTargetKind::Bridge, &bridge);
  layer.SetTarget(0, 1, AspiTargetKind::Ordinary);
  ChipInfo info{};
  info.flashMaker = 0x42;
  uint8_t status = 0x42;
  EXPECT_FALSE(transport->ReadChipInfo(0, 1, info));
  EXPECT_FALSE(At(0, 1).QueryStatus(status));
  EXPECT_FALSE(transport->ReadChipInfo(0, 5, info));  // empty target
  EXPECT_FALSE(transport->ReadChipInfo(3, 0, info));  // no such adapter
  layer.FailRequest(5, SS_ABORTED);
  EXPECT_FALSE(At(0, 0).QueryStatus(status));
  EXPECT_EQ(info.flashMaker, 0x42);
  EXPECT_EQ(status, 0x42);
  EXPECT_EQ(layer.Requests().size(), 5u);
}

TEST_F(AspiTest, UnsendableCommandsCreateNothing) {
  layer.SetTarget(0, 0, AspiTargetKind::Bridge, &bridge);
  std::vector<uint8_t> big(0x10200, 0x00);
  EXPECT_FALSE(At(0, 0).WriteBlock(0, BLOCK_SIZE + 1, big.data()));
  EXPECT_FALSE(At(0, 0).WriteBlock(0, 0x10200, big.data()));  // low 16 bits say 512
  EXPECT_FALSE(At(0, 0).ReadBlock(0, BLOCK_SIZE + 1, big.data()));
  EXPECT_FALSE(At(0, 0).ReadBlock(0, 0x10200, big.data()));
  EXPECT_FALSE(At(0, 0).WriteBlock(0, 16, nullptr));
  EXPECT_FALSE(At(0, 0).ReadBlock(0, 16, nullptr));
  EXPECT_TRUE(layer.Requests().empty());
  EXPECT_EQ(layer.EventsCreated(), 0u);
  EXPECT_TRUE(std::all_of(big.begin(), big.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(AspiTest, NoEventMeansNothingSent) {
  layer.SetTarget(0, 0, AspiTargetKind::Bridge, &bridge);
  layer.FailEveryEventCreation(true);
  uint8_t buffer[4] = {1, 2, 3, 4};
  ChipInfo info{};
  uint8_t status = 0;
  uint8_t adapter = 0, target = 0;
  EXPECT_FALSE(Find(adapter, target, info));
  EXPECT_FALSE(transport->ReadChipInfo(0, 0, info));
  EXPECT_FALSE(At(0, 0).QueryStatus(status));
  EXPECT_FALSE(At(0, 0).WriteBlock(0, 4, buffer));
  EXPECT_FALSE(At(0, 0).ReadBlock(0, 4, buffer));
  RecordingProgress progress;
  EXPECT_FALSE(At(0, 0).EraseAndWait(progress, 0));
  EXPECT_TRUE(layer.Requests().empty());
  EXPECT_TRUE(layer.Sleeps().empty());
  EXPECT_TRUE(bridge.Log().empty());
}

// The erase request's own outcome never decides; the polls do.
TEST_F(AspiTest, EraseAndWait) {
  struct Row {
    const char* name;
    AspiCompletion eraseCompletion;
    bool eraseFails;  // the erase request ends with SS_ERR
    uint32_t busyAnswers;
    bool statusFault;       // polls answer 2
    uint32_t failingEvent;  // 0: none
    bool result;
    size_t requests;
    size_t sleeps;
  };
  const Row rows[] = {
      {"ready at once", AspiCompletion::AtOnce, false, 0, false, 0, true, 2, 0},
      {"erase request fails", AspiCompletion::AtOnce, true, 0, false, 0, true, 2, 0},
      {"erase still pending", AspiCompletion::Late, false, 0, false, 0, true, 2, 0},
      {"busy three times", AspiCompletion::AtWait, false, 3, false, 0, true, 5, 3},
      {"erase failed in device", AspiCompletion::AtOnce, false, 1, true, 0, false, 3, 1},
      {"no event for the erase", AspiCompletion::AtOnce, false, 0, false, 1, false, 0, 0},
      {"no event for a poll", AspiCompletion::AtOnce, false, 2, false, 3, false, 2, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EmulatedAspiLayer aspi;
    BridgeDevice device;
    aspi.SetHostAdapterCount(1);
    aspi.SetTarget(0, 4, AspiTargetKind::Bridge, &device);
    aspi.ScriptCompletions({row.eraseCompletion});
    if (row.eraseFails) aspi.FailRequest(1, SS_ERR);
    if (row.failingEvent != 0) aspi.FailEventCreation(row.failingEvent);
    device.SetBusyAnswers(row.busyAnswers);
    device.Faults().eraseFails = row.statusFault;
    RecordingProgress progress;
    {
      AspiTransport aspiTransport(aspi);
      AspiBridge bound(aspiTransport, 0, 4, ChipInfo{});
      EXPECT_EQ(bound.EraseAndWait(progress, 0), row.result);
      if (row.eraseCompletion == AspiCompletion::Late) aspi.CompleteLate();
    }
    ASSERT_EQ(aspi.Requests().size(), row.requests);
    if (row.requests > 0) {
      const AspiRequestRecord& erase = aspi.Requests()[0];
      EXPECT_EQ(erase.flags, FLAGS_OUT);
      EXPECT_EQ(erase.bufferLength, 0u);
      EXPECT_FALSE(erase.hasBuffer);
      EXPECT_EQ(erase.cdb, Cdb11({0xE1, 0, 0, 0, 0, 0}));
      ExpectCommonFields(erase);
    }
    for (size_t i = 1; i < aspi.Requests().size(); ++i) {
      EXPECT_EQ(aspi.Requests()[i].flags, FLAGS_IN);
      EXPECT_EQ(aspi.Requests()[i].bufferLength, STATUS_REPLY_SIZE);
      EXPECT_EQ(aspi.Requests()[i].cdb, Cdb11({0xF7, 0, 0, 0, 0, 0}));
    }
    EXPECT_EQ(aspi.Sleeps(), std::vector<uint32_t>(row.sleeps, ERASE_POLL_INTERVAL_MS));
    EXPECT_EQ(progress.steps.size(), row.sleeps);
    EXPECT_EQ(aspi.OpenEvents(), 0u);
    EXPECT_EQ(aspi.BadEventUses(), 0u);
  }
}

// The command line's search asks each adapter and target first: only the
// kinds of device a bridge can be receive the vendor command.
TEST_F(AspiTest, SearchByTypeSendsOnlyToStorageTypes) {
  BridgeDevice tape, cdRom, optical, simplified, wide;
  layer.SetHostAdapterCount(2);
  layer.SetTargetsPerAdapter(16);
  layer.SetTarget(0, 0, AspiTargetKind::Bridge, &bridge);
  layer.SetTarget(0, 1, AspiTargetKind::Bridge, &tape);  // answers like a bridge, if asked
  layer.SetDeviceType(0, 1, 0x01);
  layer.SetTarget(0, 2, AspiTargetKind::Ordinary);
  layer.SetTarget(0, 3, AspiTargetKind::Bridge, &cdRom);
  layer.SetDeviceType(0, 3, DTYPE_CDROM);
  layer.SetTarget(0, 4, AspiTargetKind::Bridge, &optical);
  layer.SetDeviceType(0, 4, DTYPE_OPTI);
  layer.SetTarget(0, 5, AspiTargetKind::Bridge, &simplified);
  layer.SetDeviceType(0, 5, DTYPE_RBC);
  layer.SetTarget(0, 6, AspiTargetKind::Ordinary);
  layer.SetDeviceType(0, 6, 0x03);  // a processor: the adapter's own ID
  layer.SetTarget(1, 12, AspiTargetKind::Bridge, &wide);
  layer.SetTarget(1, 13, AspiTargetKind::Bridge, &tape);
  layer.SetDeviceType(1, 13, 0x7F);  // no unit there

  const std::vector<std::unique_ptr<Bridge>> bridges =
      transport->FindBridgesByType(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID);
  std::vector<std::pair<int, int>> at;
  for (const auto& b : bridges) {
    const auto& bound = static_cast<const AspiBridge&>(*b);
    at.emplace_back(bound.HostAdapter(), bound.Target());
  }
  EXPECT_EQ(at, (std::vector<std::pair<int, int>>{{0, 0}, {0, 3}, {0, 4}, {0, 5}, {1, 12}}));
  EXPECT_TRUE(tape.Log().empty());

  std::vector<std::pair<int, int>> asked;
  for (const AspiRequestRecord& r : layer.Requests()) {
    EXPECT_EQ(r.cdb, Cdb11({0xE0, 0, 0, 0, 0, 0}));
    asked.emplace_back(r.hostAdapter, r.target);
  }
  EXPECT_EQ(asked,
            (std::vector<std::pair<int, int>>{{0, 0}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {1, 12}}));
  // one inquiry per adapter, then the type of each of its 16 targets
  ASSERT_EQ(layer.OtherRequests().size(), 2u * (1 + 16));
  for (size_t i = 0; i < layer.OtherRequests().size(); ++i) {
    const AspiOtherRecord& r = layer.OtherRequests()[i];
    EXPECT_EQ(r.command, i % 17 == 0 ? SC_HA_INQUIRY : SC_GET_DEV_TYPE) << i;
    EXPECT_EQ(r.hostAdapter, i / 17) << i;
    if (i % 17 != 0) {
      EXPECT_EQ(r.target, i % 17 - 1) << i;
    }
    EXPECT_EQ(r.lun, 0);
    EXPECT_TRUE(r.inputClear) << i;
  }
}

// Named targets only: nothing reaches another, bridge or not.
TEST_F(AspiTest, SearchByTypeAsksOnlyTheNamedTargets) {
  BridgeDevice other;
  layer.SetHostAdapterCount(2);
  layer.SetTarget(0, 1, AspiTargetKind::Bridge, &other);
  layer.SetTarget(1, 3, AspiTargetKind::Bridge, &bridge);
  const std::vector<AspiAddress> only = {{1, 3}, {0, 5}};
  const auto bridges = transport->FindBridgesByType(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID, &only);
  ASSERT_EQ(bridges.size(), 1u);
  EXPECT_EQ(bridges[0]->Name(), "adapter 1, target 3");
  for (const AspiRequestRecord& r : layer.Requests()) {
    EXPECT_EQ(std::make_pair(int{r.hostAdapter}, int{r.target}), std::make_pair(1, 3));
  }
  EXPECT_TRUE(other.Log().empty());
}

TEST(AspiNames, TakeTheNameListGivesInAnyCaseOrTheShortForm) {
  struct Row {
    const char* text;
    bool parsed;
    AspiAddress address;
  };
  const std::vector<Row> rows = {
      {"adapter 0, target 1", true, {0, 1}},
      {"Adapter 2,Target 15", true, {2, 15}},
      {"ADAPTER 1 target 0 ", true, {1, 0}},
      {"1:4", true, {1, 4}},
      {"255:0", true, {255, 0}},
      {"adapter 0, target 16", false, {}},
      {"256:0", false, {}},
      {"adapter 0", false, {}},
      {"adapter 0, target 1x", false, {}},
      {"0:1:2", false, {}},
      {"emulated1", false, {}},
      {"E:", false, {}},
      {"", false, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    AspiAddress address{9, 9};
    EXPECT_EQ(ParseAdapterTarget(row.text, address), row.parsed);
    if (row.parsed) {
      EXPECT_EQ(address, row.address);
      EXPECT_EQ(AdapterTargetName(address.hostAdapter, address.target),
                "adapter " + std::to_string(row.address.hostAdapter) + ", target " +
                    std::to_string(row.address.target));
    }
  }
}

// A layer that will not say what is there gets no vendor command.
TEST_F(AspiTest, SearchByTypeWithoutAnswersSendsNothing) {
  struct Row {
    const char* name;
    uint8_t refused;
    uint8_t targets;  // the adapter's own count; 0 leaves it unsaid
    size_t typeQueries;
  };
  const Row rows[] = {
      {"inquiry refused", SC_HA_INQUIRY, 8, 0},
      {"device type refused", SC_GET_DEV_TYPE, 8, 8},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EmulatedAspiLayer aspi;
    aspi.SetHostAdapterCount(1);
    aspi.SetTarget(0, 0, AspiTargetKind::Bridge, &bridge);
    aspi.SetTargetsPerAdapter(row.targets);
    aspi.RefuseCommand(row.refused, SS_INVALID_HA);
    AspiTransport own(aspi);
    EXPECT_TRUE(own.FindBridgesByType(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID).empty());
    EXPECT_TRUE(aspi.Requests().empty());
    EXPECT_EQ(aspi.OtherRequests().size(), 1 + row.typeQueries);
  }
  // an adapter that leaves its count unsaid has eight targets
  layer.SetTargetsPerAdapter(0);
  layer.SetTarget(0, 7, AspiTargetKind::Bridge, &bridge);
  EXPECT_EQ(transport->FindBridgesByType(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID).size(), 1u);
  EXPECT_EQ(layer.OtherRequests().size(), 1u + 8u);
}

// What the entry point returns and whether the wait runs out decide the
// outcome, the waits, the abort and what stays parked.
TEST_F(AspiTest, SendAndAbortOutcomes) {
  struct Row {
    const char* name;
    AspiCompletion mode;
    uint8_t rejectedWith;  // 0: taken
    bool abortRefused;
    size_t fullWaits;
    size_t aborts;
    size_t parked;
  };
  const Row rows[] = {
      {"completed at the wait", AspiCompletion::AtWait, 0, false, 1, 0, 0},
      // never taken: nothing will be posted, so nothing is waited for or kept
      {"layer busy", AspiCompletion::AtWait, 0xE5, false, 0, 0, 0},
      {"bad request", AspiCompletion::AtWait, 0xE0, false, 0, 0, 0},
      // a time-out is aborted, so the request does not stay queued
      {"aborted after its wait", AspiCompletion::UntilAborted, 0, false, 1, 1, 0},
      // past stopping: it stays the layer's until it signals
      {"abort comes too late", AspiCompletion::Late, 0, false, 1, 1, 1},
      {"abort refused", AspiCompletion::UntilAborted, 0, true, 1, 1, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EmulatedAspiLayer aspi;
    BridgeDevice device;
    aspi.SetHostAdapterCount(1);
    aspi.SetTarget(0, 2, AspiTargetKind::Bridge, &device);
    aspi.SetCompletion(row.mode);
    if (row.rejectedWith != 0) aspi.RejectRequest(1, row.rejectedWith);
    if (row.abortRefused) aspi.RefuseCommand(SC_ABORT_SRB, SS_INVALID_SRB);
    {
      AspiTransport own(aspi);
      ChipInfo info{};
      EXPECT_EQ(own.ReadChipInfo(0, 2, info),
                row.mode == AspiCompletion::AtWait && !row.rejectedWith);
      EXPECT_EQ(std::count(aspi.Waits().begin(), aspi.Waits().end(), ASPI_WAIT_MS),
                static_cast<long>(row.fullWaits));
      EXPECT_EQ(own.PendingRequests(), row.parked);
      ASSERT_EQ(aspi.OtherRequests().size(), row.aborts);
      if (row.aborts != 0) {
        EXPECT_EQ(aspi.OtherRequests()[0].command, SC_ABORT_SRB);
        EXPECT_EQ(aspi.OtherRequests()[0].aborted, 1u) << "the abort names the request";
        EXPECT_TRUE(aspi.OtherRequests()[0].inputClear);
      }
      EXPECT_EQ(aspi.OpenEvents(), row.parked);
      aspi.CompleteAll();
    }
    EXPECT_EQ(aspi.OpenEvents(), 0u);
    EXPECT_EQ(aspi.BadEventUses(), 0u);
  }
}

// Find, erase, write and read back as the update does, with the layer
// completing each request while the transport waits.
TEST_F(AspiTest, UpdateRoundTrip) {
  layer.SetCompletion(AspiCompletion::AtWait);
  layer.SetHostAdapterCount(2);
  layer.SetTarget(1, 6, AspiTargetKind::Bridge, &bridge);
  bridge.Flash().fill(0x00);
  bridge.SetBusyAnswers(2);
  uint8_t adapter = 0, target = 0;
  ChipInfo info{};
  ASSERT_TRUE(Find(adapter, target, info));
  RecordingProgress progress;
  ASSERT_TRUE(At(adapter, target).EraseAndWait(progress, 0));
  std::vector<uint8_t> image(4 * BLOCK_SIZE);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
  for (uint32_t at = 0; at < image.size(); at += BLOCK_SIZE) {
    ASSERT_TRUE(At(adapter, target).WriteBlock(at, BLOCK_SIZE, image.data() + at));
  }
  std::vector<uint8_t> back(image.size(), 0);
  for (uint32_t at = 0; at < back.size(); at += BLOCK_SIZE) {
    ASSERT_TRUE(At(adapter, target).ReadBlock(at, BLOCK_SIZE, back.data() + at));
  }
  EXPECT_EQ(back, image);
  EXPECT_EQ(bridge.Flash()[image.size()], 0xFF);  // erased beyond the image
}

}  // namespace
}  // namespace zq
