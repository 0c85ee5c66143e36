#include "emulator/bridge_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace zq {
namespace {

DeviceAnswer Send(BridgeDevice& device, const Cdb& cdb, DataDirection direction, uint8_t* data,
                  uint32_t length) {
  return device.Execute(cdb.data(), cdb.size(), direction, data, length);
}

DeviceAnswer Erase(BridgeDevice& device) {
  return Send(device, EncodeErase(), DataDirection::Out, nullptr, 0);
}

// The status byte, or -1 when the command was not answered Good.
int Status(BridgeDevice& device) {
  uint8_t status = 0xEE;
  if (Send(device, EncodeStatus(), DataDirection::In, &status, 1) != DeviceAnswer::Good) {
    return -1;
  }
  return status;
}

DeviceAnswer Write(BridgeDevice& device, uint16_t address, std::vector<uint8_t> bytes) {
  return Send(device, EncodeWrite(address, static_cast<uint32_t>(bytes.size())), DataDirection::Out,
              bytes.data(), static_cast<uint32_t>(bytes.size()));
}

DeviceAnswer Read(BridgeDevice& device, uint16_t address, std::vector<uint8_t>& bytes) {
  return Send(device, EncodeRead(address, static_cast<uint32_t>(bytes.size())), DataDirection::In,
              bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// Erases and polls until ready, as a careful host would.
void EraseAndSettle(BridgeDevice& device) {
  ASSERT_EQ(Erase(device), DeviceAnswer::Good);
  for (int poll = 0; poll < 100; ++poll) {
    if (Status(device) == STATUS_READY) return;
  }
  FAIL() << "erase never finished";
}

TEST(BridgeDevice, NewFlashIsNeitherErasedNorZeroAndStatusIsReady) {
  BridgeDevice device;
  EXPECT_TRUE(std::all_of(device.Flash().begin(), device.Flash().end(),
                          [](uint8_t b) { return b != 0xFF && b != 0x00; }));
  EXPECT_EQ(Status(device), STATUS_READY);
  EXPECT_EQ(Status(device), STATUS_READY);
}

TEST(BridgeDevice, GetInfoReturnsTheConfiguredRecordEvenWithAccessRefused) {
  BridgeDevice device;
  uint8_t reply[CHIP_INFO_RECORD_SIZE] = {};
  ASSERT_EQ(Send(device, EncodeGetInfo(), DataDirection::In, reply, CHIP_INFO_RECORD_SIZE),
            DeviceAnswer::Good);
  EXPECT_TRUE(
      std::equal(reply, reply + CHIP_INFO_RECORD_SIZE, BridgeDevice::DEFAULT_RECORD.begin()));
  EXPECT_EQ(DecodeChipInfo(reply).vendorId, BRIDGE_VENDOR_ID);

  device.Record()[7] = 0;  // access flag: the chip does not act on it
  device.Record()[11] = 0x42;
  ASSERT_EQ(Send(device, EncodeGetInfo(), DataDirection::In, reply, CHIP_INFO_RECORD_SIZE),
            DeviceAnswer::Good);
  EXPECT_EQ(reply[7], 0);
  EXPECT_EQ(reply[11], 0x42);
  EraseAndSettle(device);
  EXPECT_EQ(Write(device, 0, {0x12}), DeviceAnswer::Good);
  EXPECT_EQ(device.Flash()[0], 0x12);
}

TEST(BridgeDevice, ProgrammingOnlyClearsBits) {
  BridgeDevice device;
  const uint8_t fresh = device.Flash()[0x100];
  // without an erase the flash holds the AND, not the data
  ASSERT_EQ(Write(device, 0x100, {0xFF, 0x00, 0x5A}), DeviceAnswer::Good);
  EXPECT_EQ(device.Flash()[0x100], fresh);
  EXPECT_EQ(device.Flash()[0x101], 0x00);
  EXPECT_EQ(device.Flash()[0x102], static_cast<uint8_t>(fresh & 0x5A));

  EraseAndSettle(device);
  EXPECT_TRUE(std::all_of(device.Flash().begin(), device.Flash().end(),
                          [](uint8_t b) { return b == 0xFF; }));
  ASSERT_EQ(Write(device, 0x100, {0xF0, 0x3C}), DeviceAnswer::Good);
  ASSERT_EQ(Write(device, 0x100, {0x3C, 0xF0}), DeviceAnswer::Good);
  std::vector<uint8_t> back(4, 0);
  ASSERT_EQ(Read(device, 0x0FF, back), DeviceAnswer::Good);
  EXPECT_EQ(back, (std::vector<uint8_t>{0xFF, 0x30, 0x30, 0xFF}));
}

TEST(BridgeDevice, BlocksReachTheLastByteButNeverWrap) {
  BridgeDevice device;
  EraseAndSettle(device);
  std::vector<uint8_t> block(BLOCK_SIZE);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(Write(device, 0xFE00, block), DeviceAnswer::Good);
  std::vector<uint8_t> back(BLOCK_SIZE, 0);
  ASSERT_EQ(Read(device, 0xFE00, back), DeviceAnswer::Good);
  EXPECT_EQ(back, block);

  // one byte past the end is refused and nothing lands at address 0
  const uint8_t atZero = device.Flash()[0];
  EXPECT_EQ(Write(device, 0xFFFF, {0x00, 0x00}), DeviceAnswer::CheckCondition);
  EXPECT_EQ(device.Flash()[0xFFFF], back.back());
  EXPECT_EQ(device.Flash()[0], atZero);
  std::vector<uint8_t> two(2, 0x77);
  EXPECT_EQ(Read(device, 0xFFFF, two), DeviceAnswer::CheckCondition);
  EXPECT_EQ(two, (std::vector<uint8_t>{0x77, 0x77}));
}

TEST(BridgeDevice, StatusIsBusyForTheConfiguredNumberOfPollsAfterEachErase) {
  for (uint32_t busy : {0u, 1u, 2u, 5u}) {
    BridgeDevice device;
    if (busy != 2) device.SetBusyAnswers(busy);  // 2 is the default
    for (int round = 0; round < 2; ++round) {
      ASSERT_EQ(Erase(device), DeviceAnswer::Good);
      for (uint32_t i = 0; i < busy; ++i) {
        EXPECT_EQ(Status(device), STATUS_BUSY) << busy << " busy, poll " << i;
      }
      EXPECT_EQ(Status(device), STATUS_READY) << busy << " busy";
      EXPECT_EQ(Status(device), STATUS_READY) << busy << " busy, stays ready";
    }
  }
}

TEST(BridgeDevice, RefusesWritesUntilTheEraseHasFinished) {
  BridgeDevice device;
  ASSERT_EQ(Erase(device), DeviceAnswer::Good);
  EXPECT_EQ(Write(device, 0, {0x00}), DeviceAnswer::CheckCondition);
  EXPECT_EQ(Status(device), STATUS_BUSY);
  EXPECT_EQ(Write(device, 0, {0x00}), DeviceAnswer::CheckCondition);
  EXPECT_EQ(Status(device), STATUS_BUSY);
  EXPECT_EQ(device.Flash()[0], 0xFF);
  EXPECT_EQ(Status(device), STATUS_READY);
  EXPECT_EQ(Write(device, 0, {0x00}), DeviceAnswer::Good);
  EXPECT_EQ(device.Flash()[0], 0x00);
}

struct RawCommand {
  const char* name;
  std::vector<uint8_t> cdb;
  DataDirection direction;
  uint32_t length;
};

Cdb With(Cdb cdb, size_t index, uint8_t value) {
  cdb[index] = value;
  return cdb;
}

std::vector<uint8_t> Bytes(const Cdb& cdb, size_t padTo = CDB_SIZE) {
  std::vector<uint8_t> bytes(cdb.begin(), cdb.end());
  bytes.resize(padTo, 0);
  return bytes;
}

TEST(BridgeDevice, CommandsThatDoNotFitTheirOpcodeAreRefusedWithoutEffect) {
  using D = DataDirection;
  std::vector<uint8_t> aspiErase = Bytes(EncodeErase(), 11);
  aspiErase[6] = 1;
  const RawCommand refused[] = {
      {"unknown opcode", Bytes(With(EncodeErase(), 0, 0x12)), D::None, 0},
      {"unknown vendor opcode", Bytes(With(EncodeErase(), 0, 0xE4)), D::Out, 0},
      {"cdb too short", {0xE1, 0, 0, 0, 0}, D::Out, 0},
      {"cdb too long", Bytes(EncodeErase(), 17), D::Out, 0},
      {"reserved byte 1", Bytes(With(EncodeErase(), 1, 1)), D::Out, 0},
      {"erase with an address", Bytes(With(EncodeErase(), 3, 1)), D::Out, 0},
      {"padding not zero", aspiErase, D::Out, 0},
      {"erase reading", Bytes(EncodeErase()), D::In, 0},
      {"erase with data", Bytes(EncodeErase()), D::Out, 1},
      {"info short", Bytes(EncodeGetInfo()), D::In, 11},
      {"info long", Bytes(EncodeGetInfo()), D::In, 13},
      {"info writing", Bytes(EncodeGetInfo()), D::Out, 12},
      {"status long", Bytes(EncodeStatus()), D::In, 2},
      {"status no data", Bytes(EncodeStatus()), D::None, 0},
      {"write reading", Bytes(EncodeWrite(0, 16)), D::In, 16},
      {"write length differs", Bytes(EncodeWrite(0, 16)), D::Out, 17},
      {"write longer than a block", Bytes(EncodeWrite(0, 513)), D::Out, 513},
      {"read writing", Bytes(EncodeRead(0, 16)), D::Out, 16},
      {"read length differs", Bytes(EncodeRead(0, 16)), D::In, 15},
      {"read longer than a block", Bytes(EncodeRead(0, 513)), D::In, 513},
      {"read past the end", Bytes(EncodeRead(0xFF01, 256)), D::In, 256},
  };
  for (const RawCommand& c : refused) {
    BridgeDevice device;
    const auto before = device.Flash();
    std::vector<uint8_t> data(1024, 0x3C);
    EXPECT_EQ(device.Execute(c.cdb.data(), c.cdb.size(), c.direction, data.data(), c.length),
              DeviceAnswer::CheckCondition)
        << c.name;
    EXPECT_TRUE(device.Flash() == before) << c.name << " changed the flash";
    EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0x3C; }))
        << c.name << " returned data";
    EXPECT_EQ(Status(device), STATUS_READY) << c.name << " started an erase";
    ASSERT_EQ(device.Log().size(), 2u) << c.name;
    EXPECT_EQ(device.Log()[0].answer, DeviceAnswer::CheckCondition) << c.name;
  }
}

TEST(BridgeDevice, AcceptsBothCarriersCdbFormsAndEmptyBlocks) {
  using D = DataDirection;
  const RawCommand accepted[] = {
      {"six-byte erase", Bytes(EncodeErase()), D::Out, 0},
      {"erase without data phase", Bytes(EncodeErase()), D::None, 0},
      {"eleven-byte erase", Bytes(EncodeErase(), 11), D::Out, 0},
      {"eleven-byte info", Bytes(EncodeGetInfo(), 11), D::In, 12},
      {"sixteen-byte status", Bytes(EncodeStatus(), 16), D::In, 1},
      {"full block write", Bytes(EncodeWrite(0xFE00, 512)), D::Out, 512},
      {"full block read", Bytes(EncodeRead(0xFE00, 512)), D::In, 512},
      {"empty read", Bytes(EncodeRead(0x1234, 0)), D::In, 0},
      {"empty write", Bytes(EncodeWrite(0x1234, 0)), D::Out, 0},
  };
  for (const RawCommand& c : accepted) {
    BridgeDevice device;
    std::vector<uint8_t> data(512, 0xFF);
    EXPECT_EQ(device.Execute(c.cdb.data(), c.cdb.size(), c.direction, data.data(), c.length),
              DeviceAnswer::Good)
        << c.name;
  }
  // a missing buffer for a data phase is refused, not dereferenced
  BridgeDevice device;
  const Cdb read = EncodeRead(0, 4);
  EXPECT_EQ(device.Execute(read.data(), read.size(), D::In, nullptr, 4),
            DeviceAnswer::CheckCondition);
  EXPECT_EQ(device.Execute(nullptr, 6, D::None, nullptr, 0), DeviceAnswer::CheckCondition);
}

TEST(BridgeDevice, WriteAndReadFaultsHitTheNthCommandOnly) {
  struct Case {
    const char* name;
    void (*seed)(BridgeFaults&);
    // per command 1..3: answer and whether its bytes reached the flash
    DeviceAnswer writeAnswers[3];
    bool programmed[3];
    DeviceAnswer readAnswers[3];
  };
  const DeviceAnswer G = DeviceAnswer::Good;
  const DeviceAnswer C = DeviceAnswer::CheckCondition;
  const Case cases[] = {
      {"none", [](BridgeFaults&) {}, {G, G, G}, {true, true, true}, {G, G, G}},
      {"write 2",
       [](BridgeFaults& f) { f.failWrite = 2; },
       {G, C, G},
       {true, false, true},
       {G, G, G}},
      {"lying write 1",
       [](BridgeFaults& f) { f.lyingWrite = 1; },
       {G, G, G},
       {false, true, true},
       {G, G, G}},
      {"read 3", [](BridgeFaults& f) { f.failRead = 3; }, {G, G, G}, {true, true, true}, {G, G, C}},
  };
  for (const Case& c : cases) {
    // the same seed gives the same outcome on a new device
    for (int repeat = 0; repeat < 2; ++repeat) {
      BridgeDevice device;
      c.seed(device.Faults());
      EraseAndSettle(device);
      for (uint16_t i = 0; i < 3; ++i) {
        const uint16_t address = static_cast<uint16_t>(i * BLOCK_SIZE);
        EXPECT_EQ(Write(device, address, {0x11, 0x22}), c.writeAnswers[i]) << c.name << i;
        EXPECT_EQ(device.Flash()[address] == 0x11, c.programmed[i]) << c.name << i;
      }
      for (uint16_t i = 0; i < 3; ++i) {
        std::vector<uint8_t> back(2, 0x99);
        const uint16_t address = static_cast<uint16_t>(i * BLOCK_SIZE);
        EXPECT_EQ(Read(device, address, back), c.readAnswers[i]) << c.name << i;
        if (c.readAnswers[i] != G) {
          EXPECT_EQ(back, (std::vector<uint8_t>{0x99, 0x99})) << c.name << " failed read filled";
        } else {
          EXPECT_EQ(back[0], device.Flash()[address]) << c.name << i;
        }
      }
    }
  }
}

TEST(BridgeDevice, FaultCountsRunFromCreationNotFromSeeding) {
  BridgeDevice device;
  EraseAndSettle(device);
  ASSERT_EQ(Write(device, 0, {0x00}), DeviceAnswer::Good);
  device.ClearLog();
  device.Faults().failWrite = 2;
  EXPECT_EQ(Write(device, 1, {0x00}), DeviceAnswer::CheckCondition);
  EXPECT_EQ(Write(device, 2, {0x00}), DeviceAnswer::Good);
}

TEST(BridgeDevice, FlippedAddressReadsInvertedButStaysStored) {
  BridgeDevice device;
  device.Faults().flipAddress = 0x0201;
  EraseAndSettle(device);
  ASSERT_EQ(Write(device, 0x0200, {0x10, 0x20, 0x30}), DeviceAnswer::Good);
  std::vector<uint8_t> back(3, 0);
  ASSERT_EQ(Read(device, 0x0200, back), DeviceAnswer::Good);
  EXPECT_EQ(back, (std::vector<uint8_t>{0x10, 0xDF, 0x30}));
  EXPECT_EQ(device.Flash()[0x0201], 0x20);
  std::vector<uint8_t> one(1, 0);
  ASSERT_EQ(Read(device, 0x0201, one), DeviceAnswer::Good);  // every read, not just one
  EXPECT_EQ(one[0], 0xDF);
  ASSERT_EQ(Read(device, 0x0202, one), DeviceAnswer::Good);
  EXPECT_EQ(one[0], 0x30);
}

TEST(BridgeDevice, EraseAndStatusFaults) {
  {
    BridgeDevice device;  // the erase fails after its busy answers
    device.Faults().eraseFails = true;
    const auto before = device.Flash();
    EXPECT_EQ(Status(device), STATUS_READY);  // nothing started yet
    ASSERT_EQ(Erase(device), DeviceAnswer::Good);
    EXPECT_EQ(Status(device), STATUS_BUSY);
    EXPECT_EQ(Status(device), STATUS_BUSY);
    EXPECT_EQ(Status(device), 2);
    EXPECT_EQ(Status(device), 2);
    EXPECT_TRUE(device.Flash() == before) << "a failed erase erased";
  }
  {
    BridgeDevice device;
    device.Faults().stuckBusy = true;
    EXPECT_EQ(Status(device), STATUS_READY);
    ASSERT_EQ(Erase(device), DeviceAnswer::Good);
    for (int i = 0; i < 500; ++i) ASSERT_EQ(Status(device), STATUS_BUSY) << i;
    EXPECT_EQ(Write(device, 0, {0x00}), DeviceAnswer::CheckCondition);
  }
  {
    BridgeDevice device;
    device.Faults().statusFails = true;
    EXPECT_EQ(Status(device), -1);
    ASSERT_EQ(Erase(device), DeviceAnswer::Good);
    EXPECT_EQ(Status(device), -1);
  }
  {
    BridgeDevice device;
    device.Faults().infoFails = true;
    uint8_t reply[CHIP_INFO_RECORD_SIZE] = {};
    EXPECT_EQ(Send(device, EncodeGetInfo(), DataDirection::In, reply, CHIP_INFO_RECORD_SIZE),
              DeviceAnswer::CheckCondition);
    EXPECT_TRUE(std::all_of(std::begin(reply), std::end(reply), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(Status(device), STATUS_READY);  // other commands still work
  }
}

TEST(BridgeDevice, VanishesAfterTheNthCommand) {
  BridgeDevice device;
  device.Faults().vanishAfter = 3;
  EXPECT_EQ(Status(device), STATUS_READY);
  EXPECT_EQ(Erase(device), DeviceAnswer::Good);
  EXPECT_EQ(Status(device), STATUS_BUSY);
  const auto before = device.Flash();
  EXPECT_EQ(Erase(device), DeviceAnswer::Gone);
  EXPECT_EQ(Status(device), -1);
  EXPECT_EQ(Write(device, 0, {0x00}), DeviceAnswer::Gone);
  uint8_t reply[CHIP_INFO_RECORD_SIZE] = {};
  EXPECT_EQ(Send(device, EncodeGetInfo(), DataDirection::In, reply, CHIP_INFO_RECORD_SIZE),
            DeviceAnswer::Gone);
  EXPECT_TRUE(device.Flash() == before);
  ASSERT_EQ(device.Log().size(), 7u);
  EXPECT_EQ(device.Log()[2].answer, DeviceAnswer::Good);
  EXPECT_EQ(device.Log()[3].answer, DeviceAnswer::Gone);
  EXPECT_EQ(device.Log()[6].answer, DeviceAnswer::Gone);
}

TEST(BridgeDevice, LogsEveryCommandAsReceived) {
  BridgeDevice device;
  std::vector<uint8_t> block(300, 0);
  const std::vector<uint8_t> aspiErase = Bytes(EncodeErase(), 11);
  device.Execute(aspiErase.data(), aspiErase.size(), DataDirection::Out, nullptr, 0);
  Status(device);
  Read(device, 0x0200, block);
  const uint8_t junk[CDB_SIZE] = {0x99, 0, 0, 0, 0, 0};
  device.Execute(junk, sizeof junk, DataDirection::None, nullptr, 0);

  struct Expected {
    uint8_t opcode;
    uint16_t address;
    uint16_t length;
    DataDirection direction;
    uint32_t transferLength;
    size_t cdbLength;
    DeviceAnswer answer;
  };
  const Expected expected[] = {
      {CMD_ERASE, 0, 0, DataDirection::Out, 0, 11, DeviceAnswer::Good},
      {CMD_STATUS, 0, 0, DataDirection::In, 1, 6, DeviceAnswer::Good},
      {CMD_READ, 0x0200, 300, DataDirection::In, 300, 6, DeviceAnswer::Good},
      {0x99, 0, 0, DataDirection::None, 0, 6, DeviceAnswer::CheckCondition},
  };
  ASSERT_EQ(device.Log().size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    const CommandLogEntry& entry = device.Log()[i];
    EXPECT_EQ(entry.opcode, expected[i].opcode) << i;
    EXPECT_EQ(entry.address, expected[i].address) << i;
    EXPECT_EQ(entry.length, expected[i].length) << i;
    EXPECT_EQ(entry.direction, expected[i].direction) << i;
    EXPECT_EQ(entry.transferLength, expected[i].transferLength) << i;
    EXPECT_EQ(entry.cdbLength, expected[i].cdbLength) << i;
    EXPECT_EQ(entry.answer, expected[i].answer) << i;
  }
  device.ClearLog();
  EXPECT_TRUE(device.Log().empty());
  Status(device);
  EXPECT_EQ(device.Log().size(), 1u);
}

}  // namespace
}  // namespace zq
