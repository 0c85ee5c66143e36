// The command line's hold on devices: only the named bridge is touched, an
// erase is seen soon after it ends, every command can be logged, and a node
// that could not be had is named with why.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cli/devices.h"
#include "cli/erase_polling.h"
#include "cli/verbose_port.h"
#include "platform/linux/node_problems.h"

namespace zq::cli {
namespace {

// Only the bridge the user named is asked for its chip information: what
// --verbose logs is every command sent.
TEST(ChosenDevices, OnlyTheNamedBridgeIsOpened) {
  struct Row {
    std::vector<std::string> named;
    std::vector<std::string> asked;
  };
  const std::vector<Row> rows = {
      {{}, {"emulated1", "emulated2", "emulated3"}},
      {{"emulated2"}, {"emulated2"}},
      {{"emulated3", "emulated1"}, {"emulated1", "emulated3"}},
      {{"emulated9"}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.named.empty() ? "none named" : row.named.front());
    DeviceOptions options;
    options.emulate = true;
    options.emulation.bridges = 3;
    options.devices = row.named;
    options.verbose = true;
    Devices devices;
    DevicesProblem problem;
    ASSERT_TRUE(devices.Open(options, problem)) << problem.text;
    testing::internal::CaptureStderr();
    std::vector<FoundBridge> found = devices.FindAll();
    const std::string log = testing::internal::GetCapturedStderr();
    std::vector<std::string> asked;
    for (size_t at = log.find("zq5210: "); at != std::string::npos;
         at = log.find("zq5210: ", at + 1)) {
      const size_t colon = log.find(':', at + 8);
      EXPECT_EQ(log.substr(colon, 5), ": E0 ");
      asked.push_back(log.substr(at + 8, colon - at - 8));
    }
    EXPECT_EQ(asked, row.asked);
    EXPECT_TRUE(devices.Problems().empty()) << "a bridge not named is no failure";
    std::string why;
    EXPECT_EQ(devices.KeepNamed(found, why), row.named.empty() || !row.asked.empty()) << why;
  }
}

// On ASPI a bridge is named by adapter and target, as list shows it; only
// the named targets are asked, and one not named is no failure.
TEST(ChosenDevices, AspiBridgesAreNamedAsListShowsThem) {
  struct Row {
    std::vector<std::string> named;
    std::vector<std::string> kept;  // empty: refused
    std::string problem;
  };
  const std::vector<Row> rows = {
      {{"adapter 0, target 1"}, {"adapter 0, target 1"}, ""},
      {{"Adapter 0,Target 2", "0:0"}, {"adapter 0, target 2", "adapter 0, target 0"}, ""},
      {{"0:7"}, {}, "0:7: no bridge found there"},
      {{"emulated1"},
       {},
       "emulated1: no ASPI device; name one as list shows it (\"adapter 0, target 1\")"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.named.front());
    DeviceOptions options;
    options.emulate = true;
    options.transport = "aspi";
    options.emulation.bridges = 3;
    options.devices = row.named;
    Devices devices;
    DevicesProblem problem;
    ASSERT_TRUE(devices.Open(options, problem)) << problem.text;
    std::vector<FoundBridge> found = devices.FindAll();
    EXPECT_LE(found.size(), row.named.size());
    EXPECT_TRUE(devices.Problems().empty());
    std::string why;
    EXPECT_EQ(devices.KeepNamed(found, why), !row.kept.empty());
    std::vector<std::string> kept;
    for (const FoundBridge& bridge : found) kept.push_back(bridge.bridge->Name());
    if (!row.kept.empty()) {
      EXPECT_EQ(kept, row.kept);
    }
    EXPECT_EQ(why, row.problem);
  }
}

// A bridge that answers busy until its erase ends: the time waited past the
// end is what an update loses to polling.
class ErasingBridge final : public Bridge {
 public:
  explicit ErasingBridge(uint32_t eraseMs) : Bridge("erasing", ChipInfo{}), eraseMs_(eraseMs) {}
  Carried Carry(const Cdb& cdb, CarryDirection, uint8_t* buffer, uint32_t length) override {
    if (cdb[0] == CMD_STATUS && length > 0) {
      ++polls;
      buffer[0] = clockMs < eraseMs_ ? STATUS_BUSY : STATUS_READY;
    }
    return Carried::Succeeded;
  }
  bool SeesShortTransfers() const override { return true; }
  void Sleep(uint32_t milliseconds) override { clockMs += milliseconds; }
  uint32_t clockMs = 0;
  uint32_t polls = 0;

 private:
  uint32_t eraseMs_;
};

TEST(ErasePolling, TheEndOfAnEraseIsSeenWithinFiveMilliseconds) {
  struct NoProgress final : ProgressStepper {
    void StepProgress(uint8_t, uint8_t) override {}
  } progress;
  for (uint32_t eraseMs : {1u, 35u, 100u, 240u, 1000u, 4000u}) {
    SCOPED_TRACE(eraseMs);
    ErasingBridge bridge(eraseMs);
    ASSERT_TRUE(bridge.EraseAndWait(progress, 0, COMMAND_LINE_ERASE_POLLING));
    EXPECT_GE(bridge.clockMs, eraseMs);
    EXPECT_LE(bridge.clockMs - eraseMs, 5u);
    EXPECT_LE(bridge.polls, eraseMs / 5 + 2);  // no busier than every 5 ms
  }
}

PassThroughBuffer Command(uint8_t opcode, uint8_t dataIn, uint32_t length) {
  PassThroughBuffer buffer;
  std::memset(&buffer, 0, sizeof buffer);
  buffer.header.CdbLength = 6;
  buffer.header.Cdb[0] = opcode;
  buffer.header.Cdb[4] = static_cast<uint8_t>(length >> 8);
  buffer.header.DataIn = dataIn;
  buffer.header.DataTransferLength = length;
  buffer.header.SenseInfoLength = PASS_THROUGH_SENSE_SIZE;
  return buffer;
}

TEST(VerboseLog, OneLinePerCommandWithWhatCameBack) {
  struct Row {
    const char* name;
    PassThroughBuffer before;
    bool called;
    uint8_t status;
    uint32_t moved;
    std::vector<uint8_t> sense;
    std::string failure;
    std::string line;
  };
  const std::vector<Row> rows = {
      {"write",
       Command(0xE2, SCSI_IOCTL_DATA_OUT, 512),
       true,
       0,
       512,
       {},
       "",
       "/dev/sg2: E2 00 00 00 02 00, out 512 bytes: good (0x00), residue 0, 12 ms"},
      {"short read",
       Command(0xE3, SCSI_IOCTL_DATA_IN, 512),
       true,
       0,
       500,
       {},
       "",
       "/dev/sg2: E3 00 00 00 02 00, in 512 bytes: good (0x00), residue 12, 12 ms"},
      {"unit attention",
       Command(0xF7, SCSI_IOCTL_DATA_IN, 1),
       true,
       2,
       0,
       {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x29, 0x00},
       "",
       "/dev/sg2: F7 00 00 00 00 00, in 1 bytes: check condition (0x02), sense UNIT ATTENTION, "
       "ASC/ASCQ 29/00 (power on or reset), residue 1, 12 ms"},
      {"erase lost",
       Command(0xE1, SCSI_IOCTL_DATA_OUT, 0),
       false,
       0,
       0,
       {},
       "host status 3 (timed out)",
       "/dev/sg2: E1 00 00 00 00 00, no data: control call failed (host status 3 (timed out)), "
       "12 ms"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PassThroughBuffer after = row.before;
    after.header.ScsiStatus = row.status;
    after.header.DataTransferLength = row.moved;
    if (!row.sense.empty()) std::memcpy(after.sense, row.sense.data(), row.sense.size());
    EXPECT_EQ(VerboseLine("/dev/sg2", row.before.header, after, row.called, row.failure, 12.2),
              row.line);
  }
}

TEST(NodeProblems, EachNodeIsNamedWithWhatWentWrong) {
  struct Row {
    OpenProblem problem;
    std::string text;
  };
  CommandFailure refused;
  refused.scsiStatus = 2;
  refused.sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00};
  CommandFailure timedOut;
  timedOut.hostStatus = 3;
  CommandFailure other;
  other.otherRecord = true;
  other.recordVendorId = 0x152D;
  other.recordProductId = 0x0578;
  CommandFailure vanished;
  vanished.error = ENODEV;
  const std::vector<Row> rows = {
      {{"/dev/sg1", OpenFailure::NoChipInfo, 0, "", "", refused},
       "/dev/sg1: a ZQ5210 by its USB ID, but it gave no chip information: check condition "
       "(0x02), sense ILLEGAL REQUEST, ASC/ASCQ 20/00 (invalid command operation code)"},
      {{"/dev/sg1", OpenFailure::NoChipInfo, 0, "", "", timedOut},
       "/dev/sg1: a ZQ5210 by its USB ID, but it gave no chip information: host status 3 "
       "(timed out)"},
      {{"/dev/sg1", OpenFailure::NoChipInfo, 0, "", "", other},
       "/dev/sg1: a ZQ5210 by its USB ID, but it gave no chip information: its record names "
       "another device, 152D:0578"},
      {{"/dev/sg1", OpenFailure::Gone, ENODEV, "", "", vanished},
       "/dev/sg1: unplugged (No such device (errno 19))"},
      {{"/dev/sg1", OpenFailure::Gone, 0, "", "", {}}, "/dev/sg1: unplugged"},
      {{"/dev/sg5", OpenFailure::InUse, EBUSY, "Device or resource busy", "/dev/sg6", {}},
       "/dev/sg5: in use by another program (its other unit /dev/sg6)"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ProblemOf(row.problem).text, row.text);
  }
  // the hint names where this build put the rule, not a guess
  const std::string denied =
      ProblemOf({"/dev/sg1", OpenFailure::PermissionDenied, EACCES, "", "", {}}).text;
  EXPECT_NE(denied.find("/lib/udev/rules.d/70-zq5210.rules"), std::string::npos) << denied;
  EXPECT_EQ(denied.find(" /lib/udev"), std::string::npos) << denied;
}

}  // namespace
}  // namespace zq::cli
