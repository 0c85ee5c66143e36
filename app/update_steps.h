// The steps of an update that differ between the window and the command
// line: how the erase is polled, a look at the bridge before it is erased,
// and stop requests held while the flash is rewritten.
#pragma once

#include <cstdint>

#include "protocol/bridge.h"
#include "protocol/vendor_commands.h"

namespace zq {

// What the host decides once the bridge is found and before it is erased.
enum class EraseVerdict { Go, Unchanged, Decline };

class EraseCheck {
 public:
  // `code` is what the update will write. A check that declines has said why.
  virtual EraseVerdict BeforeErase(Bridge& bridge, const uint8_t* code, uint32_t length) = 0;

 protected:
  ~EraseCheck() = default;
};

class StopGuard {
 public:
  // From the erase command to the last written block, stop requests wait.
  virtual void Hold(bool hold) = 0;
  // A stop was asked for: an update that held it ends after the last block.
  virtual bool Requested() = 0;

 protected:
  ~StopGuard() = default;
};

struct UpdateSteps {
  ErasePolling polling;
  EraseCheck& check;
  StopGuard& stops;
};

// The window's: polls once a second, erases without looking first, and
// knows no stop requests.
const UpdateSteps& WindowUpdateSteps();

}  // namespace zq
