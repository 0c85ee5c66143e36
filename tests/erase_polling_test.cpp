// An erase is seen soon after it ends, without polling the bridge busier
// than it needs.
#include "cli/erase_polling.h"

#include <gtest/gtest.h>

#include "protocol/bridge.h"

namespace zq::cli {
namespace {

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

}  // namespace
}  // namespace zq::cli
