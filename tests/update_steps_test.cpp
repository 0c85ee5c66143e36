// The update of a bridge the host found, with the host's own steps: what
// each verdict before the erase leads to, a stop asked for while writing,
// and how the erase is polled.
#include <gtest/gtest.h>

#include "app/texts.h"
#include "app/update_steps.h"
#include "cli/erase_polling.h"
#include "emulator/emulated_setup.h"
#include "support/dialog_host.h"
#include "transport/pass_through.h"

namespace zq::test {
namespace {

class ScriptedCheck final : public EraseCheck {
 public:
  EraseVerdict verdict = EraseVerdict::Go;
  int calls = 0;
  EraseVerdict BeforeErase(Bridge&, const uint8_t*, uint32_t) override {
    ++calls;
    return verdict;
  }
};

// Asked for a stop once the first block has gone out, or before the erase.
class ScriptedStops final : public StopGuard {
 public:
  explicit ScriptedStops(const BridgeDevice& chip) : chip_(chip) {}
  bool stopWhileWriting = false;
  bool stopBeforeErase = false;
  std::vector<std::string> calls;
  bool Hold() override {
    calls.push_back(stopBeforeErase ? "refused" : "hold");
    return !stopBeforeErase;
  }
  void Release() override { calls.push_back("release"); }
  void FailedAfterErase() override { calls.push_back("damaged"); }
  bool Requested() override {
    if (stopBeforeErase) return true;
    for (const CommandLogEntry& entry : chip_.Log()) {
      if (stopWhileWriting && entry.opcode == CMD_WRITE) return true;
    }
    return false;
  }

 private:
  const BridgeDevice& chip_;
};

struct StepsCase {
  const char* name;
  bool bridgeFound;
  EraseVerdict verdict;
  bool stopWhileWriting;
  UpdateResult result;
  const char* box;  // "" for none
  bool erased;
  bool verified;  // read back after writing
  bool stopBeforeErase = false;
  const char* fault = "";
  std::vector<std::string> stops = {};  // what the guard was told, in order
};

class UpdateSteps : public ::testing::TestWithParam<StepsCase> {};

TEST_P(UpdateSteps, EndsAsTheStepsSay) {
  const StepsCase& c = GetParam();
  DialogHost host;
  ASSERT_TRUE(host.StartWithBridge(Path::PassThrough));
  const std::vector<uint8_t> image = Pattern(1000);
  ASSERT_TRUE(host.Load(image));
  host.window.checked[IDC_VERIFY] = true;
  PassThroughTransport transport(host.passThrough);
  std::vector<std::unique_ptr<Bridge>> bridges =
      transport.FindBridges(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID);
  ASSERT_EQ(bridges.size(), 1u);
  host.chip.ClearLog();

  ScriptedCheck check;
  check.verdict = c.verdict;
  ScriptedStops stops(host.chip);
  stops.stopWhileWriting = c.stopWhileWriting;
  stops.stopBeforeErase = c.stopBeforeErase;
  ASSERT_TRUE(ParseFault(c.fault, host.chip.Faults()) || std::string(c.fault).empty());
  const zq::UpdateSteps steps{cli::COMMAND_LINE_ERASE_POLLING, check, stops};
  host.dialog->UpdateBridge(c.bridgeFound ? std::move(bridges[0]) : nullptr, steps);

  EXPECT_EQ(host.dialog->LastUpdate(), c.result);
  const std::string box = host.window.boxes.empty() ? "" : host.window.boxes.back().text;
  EXPECT_EQ(box, c.box);
  EXPECT_LE(host.window.boxes.size(), 1u);
  const std::vector<std::string> commands = host.Commands();
  const auto sent = [&](const char* opcode) {
    return std::any_of(commands.begin(), commands.end(),
                       [&](const std::string& line) { return line.rfind(opcode, 0) == 0; });
  };
  EXPECT_EQ(sent("E1"), c.erased);
  EXPECT_EQ(sent("E3"), c.verified);
  EXPECT_EQ(check.calls, c.bridgeFound ? 1 : 0);
  // stops are held exactly around the erase and the writes; a failure after
  // the erase is told before the hold goes
  EXPECT_EQ(stops.calls, c.stops);
  if (c.erased && std::string(c.fault).empty()) {
    EXPECT_TRUE(std::equal(image.begin(), image.end(), host.chip.Flash().begin()));
  }
  bridges.clear();  // one the test kept
  EXPECT_TRUE(host.passThrough.OpenPaths().empty()) << "the device is closed at the end";
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, UpdateSteps,
    ::testing::Values(
        StepsCase{"Go",
                  true,
                  EraseVerdict::Go,
                  false,
                  UpdateResult::Updated,
                  "Updated OK!",
                  true,
                  true,
                  false,
                  "",
                  {"hold", "release"}},
        StepsCase{"Unchanged", true, EraseVerdict::Unchanged, false, UpdateResult::Unchanged, "",
                  false, false},
        StepsCase{"Declined", true, EraseVerdict::Decline, false, UpdateResult::Declined, "", false,
                  false},
        StepsCase{"StopWhileWriting",
                  true,
                  EraseVerdict::Go,
                  true,
                  UpdateResult::StoppedAfterWrite,
                  "",
                  true,
                  false,
                  false,
                  "",
                  {"hold", "release"}},
        // asked for while the check read the flash: the hold is refused, nothing erased
        StepsCase{"StopDuringTheCheck",
                  true,
                  EraseVerdict::Go,
                  false,
                  UpdateResult::Declined,
                  TEXT_STOPPED_BEFORE_ERASE,
                  false,
                  false,
                  true,
                  "",
                  {"refused"}},
        StepsCase{"WriteFails",
                  true,
                  EraseVerdict::Go,
                  false,
                  UpdateResult::WriteFailed,
                  TEXT_WRITE_FAILED,
                  true,
                  false,
                  false,
                  "write:2",
                  {"hold", "damaged", "release"}},
        StepsCase{"VerifyFails",
                  true,
                  EraseVerdict::Go,
                  false,
                  UpdateResult::VerifyFailed,
                  TEXT_VERIFY_FAILED,
                  true,
                  true,
                  false,
                  "flip:0x0010",
                  {"hold", "release", "damaged"}},
        StepsCase{"NoBridge", false, EraseVerdict::Go, false, UpdateResult::NoDevice,
                  "Can't find or connect to the device.", false, false}),
    [](const auto& param) { return std::string(param.param.name); });

std::vector<uint32_t> SleepsOf(const EmulatedPassThroughPort& port) {
  std::vector<uint32_t> sleeps;
  for (const PortCall& call : port.CallsOf(PortCallKind::Sleep))
    sleeps.push_back(call.milliseconds);
  return sleeps;
}

// The window polls once a second, the command line every 5 ms; the bar
// moves a step for each second waited either way.
TEST(ErasePolling, ScheduleAndBarFollowTheTimeWaited) {
  struct Case {
    ErasePolling polling;
    uint32_t busy;
    std::vector<uint32_t> sleeps;
    int barAfterErase;  // the position before the jump to 40
  };
  const Case cases[] = {
      {STEADY_ERASE_POLLING, 2, {1000, 1000}, 15},
      {cli::COMMAND_LINE_ERASE_POLLING, 201, std::vector<uint32_t>(201, 5), 10},
      {cli::COMMAND_LINE_ERASE_POLLING, 3, {5, 5, 5}, 5},
  };
  for (const Case& c : cases) {
    DialogHost host;
    ASSERT_TRUE(host.StartWithBridge(Path::PassThrough));
    ASSERT_TRUE(host.Load(Pattern(600)));
    host.chip.SetBusyAnswers(c.busy);
    PassThroughTransport transport(host.passThrough);
    auto bridges = transport.FindBridges(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID);
    ASSERT_EQ(bridges.size(), 1u);
    host.passThrough.ClearCalls();
    const zq::UpdateSteps window = WindowUpdateSteps();
    const zq::UpdateSteps steps{c.polling, window.check, window.stops};
    host.dialog->UpdateBridge(std::move(bridges[0]), steps);
    EXPECT_EQ(host.dialog->LastUpdate(), UpdateResult::Updated);
    EXPECT_EQ(SleepsOf(host.passThrough), c.sleeps) << "busy " << c.busy;
    const std::vector<int> trail = host.window.ProgressTrail();
    const auto jump = std::find(trail.begin(), trail.end(), 40);
    ASSERT_NE(jump, trail.begin());
    EXPECT_EQ(*(jump - 1), c.barAfterErase) << "busy " << c.busy;
  }
}

}  // namespace
}  // namespace zq::test
