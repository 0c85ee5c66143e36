#include "protocol/vendor_commands.h"

#include "protocol/bridge.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace zq {
namespace {

struct CdbCase {
  const char* name;
  Cdb cdb;
  Cdb expected;
};

TEST(VendorCommands, EncodesEachCdbHighByteFirstWithLow16BitsOnly) {
  const CdbCase cases[] = {
      {"get info", EncodeGetInfo(), {0xE0, 0, 0, 0, 0, 0}},
      {"erase", EncodeErase(), {0xE1, 0, 0, 0, 0, 0}},
      {"status", EncodeStatus(), {0xF7, 0, 0, 0, 0, 0}},
      {"write 512 at 0x0400", EncodeWrite(0x0400, 512), {0xE2, 0, 0x04, 0x00, 0x02, 0x00}},
      {"read 300 at 0x0200", EncodeRead(0x0200, 300), {0xE3, 0, 0x02, 0x00, 0x01, 0x2C}},
      // address and length bytes must not be swapped with each other
      {"write 1 at 0xFE01", EncodeWrite(0xFE01, 1), {0xE2, 0, 0xFE, 0x01, 0x00, 0x01}},
      // only the low 16 bits of address and length go out
      {"read above 64 KiB", EncodeRead(0x1ABCD, 0x30102), {0xE3, 0, 0xAB, 0xCD, 0x01, 0x02}},
      {"write at 0x10000", EncodeWrite(0x10000, 0x10000), {0xE2, 0, 0, 0, 0, 0}},
  };
  for (const CdbCase& c : cases) {
    EXPECT_EQ(c.cdb, c.expected) << c.name;
  }
}

TEST(VendorCommands, DecodesRecordAsFixedPermutation) {
  const uint8_t record[CHIP_INFO_RECORD_SIZE] = {0x3F, 0x1D, 0x52, 0x10, 0x02, 0xBF,
                                                 0xD7, 0x01, 0x04, 0x05, 0x1C, 0x07};
  const ChipInfo info = DecodeChipInfo(record);
  EXPECT_EQ(info.vendorId, 0x3F1D);
  EXPECT_EQ(info.productId, 0x5210);
  EXPECT_EQ(info.romSizeCode, 2);
  EXPECT_EQ(info.flashMaker, 0xBF);
  EXPECT_EQ(info.flashDevice, 0xD7);
  EXPECT_EQ(info.accessFlag, 1);
  EXPECT_EQ(info.fwYear, 4);
  EXPECT_EQ(info.fwMonth, 5);
  EXPECT_EQ(info.fwDay, 28);
  EXPECT_EQ(info.fwBuild, 7);
  EXPECT_TRUE(MatchesIdentity(info, BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID));
}

TEST(VendorCommands, RecordWithSwappedIdBytesIsNotTheBridge) {
  const uint8_t swapped[CHIP_INFO_RECORD_SIZE] = {0x1D, 0x3F, 0x10, 0x52, 0x02, 0xBF,
                                                  0xD7, 0x01, 0x04, 0x05, 0x1C, 0x07};
  const ChipInfo info = DecodeChipInfo(swapped);
  EXPECT_EQ(info.vendorId, 0x1D3F);
  EXPECT_EQ(info.productId, 0x1052);
  EXPECT_FALSE(MatchesIdentity(info, BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID));

  // one matching ID is not enough
  ChipInfo half = info;
  half.vendorId = BRIDGE_VENDOR_ID;
  EXPECT_FALSE(MatchesIdentity(half, BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID));
}

TEST(VendorCommands, EncodeChipInfoIsTheInverseOfDecode) {
  // every byte distinct, so a misplaced field shows
  const uint8_t record[CHIP_INFO_RECORD_SIZE] = {0x81, 0x82, 0x83, 0x84, 0x85, 0x86,
                                                 0x87, 0x88, 0x89, 0x8A, 0x8B, 0x8C};
  const auto encoded = EncodeChipInfo(DecodeChipInfo(record));
  for (size_t i = 0; i < CHIP_INFO_RECORD_SIZE; ++i) EXPECT_EQ(encoded[i], record[i]) << i;
}

TEST(VendorCommands, SuccessRulesOfBothCarriers) {
  struct PassThroughCase {
    bool callOk;
    uint8_t scsiStatus;
    bool succeeded;
  };
  const PassThroughCase passThrough[] = {
      {true, 0, true},  {true, 1, true},   {true, 2, false},
      {true, 8, false}, {false, 0, false}, {false, 1, false},
  };
  for (const auto& c : passThrough) {
    EXPECT_EQ(PassThroughCommandSucceeded(c.callOk, c.scsiStatus), c.succeeded)
        << c.callOk << " " << int{c.scsiStatus};
  }
  EXPECT_TRUE(AspiCommandSucceeded(1));
  for (const uint8_t status :
       {uint8_t{0x00}, uint8_t{0x02}, uint8_t{0x04}, uint8_t{0x80}, uint8_t{0xFF}}) {
    EXPECT_FALSE(AspiCommandSucceeded(status)) << int{status};
  }
}

// A bridge that answers from a script and records what was asked of it.
class ScriptedCarrier final : public Bridge {
 public:
  struct Answer {
    bool ok;
    uint8_t status;
  };

  ScriptedCarrier() : Bridge("scripted", ChipInfo{}) {}

  bool eraseReady = true;  // false: the erase cannot even be prepared
  std::deque<Answer> answers;
  std::vector<std::string> calls;

  Carried Carry(const Cdb& cdb, CarryDirection, uint8_t* buffer, uint32_t) override {
    if (cdb[0] == CMD_ERASE) {
      calls.push_back("erase");
      return eraseReady ? Carried::Succeeded : Carried::NotSent;
    }
    if (cdb[0] != CMD_STATUS) return Carried::Failed;
    calls.push_back("status");
    if (answers.empty()) {
      ADD_FAILURE() << "polled past the end of the script";
      return Carried::Failed;
    }
    const Answer answer = answers.front();
    answers.pop_front();
    if (answer.ok) buffer[0] = answer.status;
    return answer.ok ? Carried::Succeeded : Carried::Failed;
  }
  bool SeesShortTransfers() const override { return true; }
  void Sleep(uint32_t milliseconds) override {
    calls.push_back("sleep " + std::to_string(milliseconds));
  }
};

// Steps like the window does: on an unsigned 8-bit position, capped.
class RecordingProgress final : public ProgressStepper {
 public:
  uint8_t pos = 5;
  std::vector<int> shown;

  void StepProgress(uint8_t step, uint8_t cap) override {
    pos = pos >= cap ? cap : static_cast<uint8_t>(pos + step);
    shown.push_back(pos);
  }
};

ScriptedCarrier::Answer Busy() {
  return {true, STATUS_BUSY};
}
ScriptedCarrier::Answer Ready() {
  return {true, STATUS_READY};
}

TEST(EraseAndWait, OutcomesAndProgress) {
  struct Case {
    const char* name;
    bool eraseReady;
    std::vector<ScriptedCarrier::Answer> answers;
    bool result;
    int finalPos;
    size_t sleeps;
  };
  const std::vector<Case> cases = {
      {"ready at once", true, {Ready()}, true, 5, 0},
      {"three busy then ready", true, {Busy(), Busy(), Busy(), Ready()}, true, 20, 3},
      {"seven busy then ready",
       true,
       {Busy(), Busy(), Busy(), Busy(), Busy(), Busy(), Busy(), Ready()},
       true,
       30,
       7},
      {"status 2 at once", true, {{true, 2}}, false, 5, 0},
      {"status 2 after busy", true, {Busy(), Busy(), {true, 2}}, false, 15, 2},
      {"status 0xFF", true, {{true, 0xFF}}, false, 5, 0},
      {"status command fails", true, {Busy(), {false, 0}}, false, 10, 1},
      {"erase not prepared", false, {}, false, 5, 0},
  };
  for (const Case& c : cases) {
    ScriptedCarrier carrier;
    carrier.eraseReady = c.eraseReady;
    carrier.answers.assign(c.answers.begin(), c.answers.end());
    RecordingProgress progress;
    EXPECT_EQ(carrier.EraseAndWait(progress, 0), c.result) << c.name;
    EXPECT_EQ(progress.pos, c.finalPos) << c.name;
    EXPECT_EQ(progress.shown.size(), c.sleeps) << c.name;
    EXPECT_TRUE(carrier.answers.empty()) << c.name << ": stopped polling too early";
    ASSERT_FALSE(carrier.calls.empty()) << c.name;
    EXPECT_EQ(carrier.calls.front(), "erase") << c.name;
  }
}

TEST(EraseAndWait, WaitsOneSecondBeforeEachRepeatedPoll) {
  ScriptedCarrier carrier;
  carrier.answers = {Busy(), Busy(), Ready()};
  RecordingProgress progress;
  ASSERT_TRUE(carrier.EraseAndWait(progress, 0));
  const std::vector<std::string> expected = {"erase",  "status",     "sleep 1000",
                                             "status", "sleep 1000", "status"};
  EXPECT_EQ(carrier.calls, expected);
  EXPECT_EQ(progress.shown, (std::vector<int>{10, 15}));
}

TEST(EraseAndWait, ProgressHoldsAtCapWhileBusy) {
  ScriptedCarrier carrier;
  for (int i = 0; i < 10; ++i) carrier.answers.push_back(Busy());
  carrier.answers.push_back(Ready());
  RecordingProgress progress;
  ASSERT_TRUE(carrier.EraseAndWait(progress, 0));
  EXPECT_EQ(progress.shown, (std::vector<int>{10, 15, 20, 25, 30, 30, 30, 30, 30, 30}));
}

TEST(EraseAndWait, GivesUpOnADeviceThatNeverLeavesBusy) {
  // one answer fewer than the limit still succeeds
  {
    ScriptedCarrier carrier;
    carrier.answers.assign(119, Busy());
    carrier.answers.push_back(Ready());
    RecordingProgress progress;
    EXPECT_TRUE(carrier.EraseAndWait(progress, 0));
  }
  // two minutes of busy answers end the erase as failed, without polling again
  {
    ScriptedCarrier carrier;
    carrier.answers.assign(120, Busy());
    RecordingProgress progress;
    EXPECT_FALSE(carrier.EraseAndWait(progress, 0));
    EXPECT_TRUE(carrier.answers.empty());
    EXPECT_EQ(progress.pos, ERASE_PROGRESS_CAP);
  }
}

}  // namespace
}  // namespace zq
