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
  // Taken before the erase, up to the last written block; false when a stop
  // was asked for first, and then nothing may be erased.
  virtual bool Hold() = 0;
  virtual void Release() = 0;
  // The flash was erased and the update failed: it may hold no working firmware.
  virtual void FailedAfterErase() = 0;
  // A stop was asked for: an update that held it ends after the last block.
  virtual bool Requested() = 0;

 protected:
  ~StopGuard() = default;
};

// What an update says when a stop came before its erase.
constexpr const char* TEXT_STOPPED_BEFORE_ERASE = "zq5210: stopped before erasing; nothing changed";

struct UpdateSteps {
  ErasePolling polling;
  EraseCheck& check;
  StopGuard& stops;
};

// The window's: polls once a second, erases without looking first, and
// knows no stop requests.
const UpdateSteps& WindowUpdateSteps();

}  // namespace zq
