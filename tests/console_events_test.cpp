#include "cli/console_events.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace zq::cli {
namespace {

// A write that holds stops until `heldUntil` on a clock that moves only
// when the handler sleeps.
class ScriptedWaits final : public EventWaits {
 public:
  ScriptedWaits(StopTiming first, uint64_t heldUntil) : first_(first), heldUntil_(heldUntil) {}
  StopTiming Note() override {
    ++notes;
    return first_;
  }
  bool Held() override { return now < heldUntil_; }
  uint64_t Milliseconds() override { return now; }
  void Sleep(uint32_t milliseconds) override {
    longestSleep = std::max(longestSleep, milliseconds);
    now += milliseconds;
  }
  void SayItWaits() override { ++said; }

  uint64_t now = 0;
  int notes = 0;
  int said = 0;
  uint32_t longestSleep = 0;

 private:
  StopTiming first_;
  uint64_t heldUntil_;
};

constexpr uint64_t FOREVER = 1000000;

TEST(ConsoleEvents, AHeldWriteIsWaitedForWithinWhatTheSystemAllows) {
  struct Row {
    const char* name;
    ConsoleEvent event;
    StopTiming timing;   // as the stop requests answer the event
    uint64_t heldUntil;  // when the write ends
    EventAnswer answer;
    uint64_t returnedAt;  // on the handler's clock
    int said;
  };
  const std::vector<Row> rows = {
      {"Ctrl-C, nothing held", ConsoleEvent::Interrupt, StopTiming::AtOnce, 0, EventAnswer::EndNow,
       0, 0},
      {"Ctrl-C during the write: the process goes on", ConsoleEvent::Interrupt, StopTiming::Waits,
       FOREVER, EventAnswer::Taken, 0, 1},
      {"close, nothing held", ConsoleEvent::Close, StopTiming::AtOnce, 0, EventAnswer::EndNow, 0,
       0},
      // the write ends, then the program is given time to say so and end
      {"close, the write ends in 1.2 s", ConsoleEvent::Close, StopTiming::Waits, 1200,
       EventAnswer::Taken, 3200, 1},
      {"close, the write outlasts the 5 s", ConsoleEvent::Close, StopTiming::Waits, FOREVER,
       EventAnswer::Taken, 4500, 1},
      {"close after a Ctrl-C said why already", ConsoleEvent::Close, StopTiming::WaitsAgain, 4000,
       EventAnswer::Taken, 4500, 0},
      {"logoff, the write ends in 12 s", ConsoleEvent::Logoff, StopTiming::Waits, 12000,
       EventAnswer::Taken, 14000, 1},
      {"shutdown, the write outlasts the 20 s", ConsoleEvent::Shutdown, StopTiming::Waits, FOREVER,
       EventAnswer::Taken, 19500, 1},
      {"shutdown, nothing held", ConsoleEvent::Shutdown, StopTiming::AtOnce, 0, EventAnswer::EndNow,
       0, 0},
      {"the session ends under a window", ConsoleEvent::SessionEnd, StopTiming::Waits, FOREVER,
       EventAnswer::Taken, 4500, 1},
      // a bridge failed past its erase: its message must not turn into "stopped"
      {"Ctrl-C after a failed write", ConsoleEvent::Interrupt, StopTiming::AfterDamage, 0,
       EventAnswer::EndAfterDamage, 0, 0},
      {"close after a failed write", ConsoleEvent::Close, StopTiming::AfterDamage, 0,
       EventAnswer::EndAfterDamage, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedWaits waits(row.timing, row.heldUntil);
    EXPECT_EQ(TakeConsoleEvent(row.event, waits), row.answer);
    EXPECT_EQ(waits.now, row.returnedAt);
    EXPECT_EQ(waits.notes, 1);
    EXPECT_EQ(waits.said, row.said);
    // never returned while the write still held, unless the time was up
    if (row.event != ConsoleEvent::Interrupt && row.answer == EventAnswer::Taken) {
      EXPECT_TRUE(waits.now >= row.heldUntil ||
                  waits.now == AllowedMilliseconds(row.event) - EVENT_MARGIN_MS);
    }
    EXPECT_LE(waits.longestSleep, EVENT_POLL_MS);
  }
}

TEST(ConsoleEvents, TheSessionMayEndOnlyWhenNoWriteHoldsIt) {
  ScriptedWaits idle(StopTiming::AtOnce, 0);
  EXPECT_TRUE(SessionMayEnd(idle));
  EXPECT_EQ(idle.said, 0);
  ScriptedWaits writing(StopTiming::Waits, FOREVER);
  EXPECT_FALSE(SessionMayEnd(writing));
  EXPECT_EQ(writing.said, 1);
  ScriptedWaits askedAgain(StopTiming::WaitsAgain, FOREVER);
  EXPECT_FALSE(SessionMayEnd(askedAgain));
  EXPECT_EQ(askedAgain.said, 0);
  // a question is no wait: the answer is given at once
  EXPECT_EQ(writing.now + askedAgain.now + idle.now, 0u);
}

}  // namespace
}  // namespace zq::cli
