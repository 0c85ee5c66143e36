#include "app/update_steps.h"

namespace zq {
namespace {

class NoCheck final : public EraseCheck {
 public:
  EraseVerdict BeforeErase(Bridge&, const uint8_t*, uint32_t) override { return EraseVerdict::Go; }
};

class NoStops final : public StopGuard {
 public:
  bool Hold() override { return true; }
  void Release() override {}
  void FailedAfterErase() override {}
  bool Requested() override { return false; }
};

NoCheck noCheck;
NoStops noStops;
const UpdateSteps WINDOW_STEPS{STEADY_ERASE_POLLING, noCheck, noStops};

}  // namespace

const UpdateSteps& WindowUpdateSteps() {
  return WINDOW_STEPS;
}

}  // namespace zq
