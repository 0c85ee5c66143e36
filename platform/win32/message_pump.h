// Waiting on the window's thread without letting the window hang: the wait
// keeps painting and serving sent messages, but drops the user's keyboard and
// mouse input, so nothing can start while an operation runs.
#pragma once

#include <cstdint>

namespace zq {

// Waits `milliseconds`, pumping the thread's messages meanwhile.
void PumpingSleep(uint32_t milliseconds);

// Waits up to `milliseconds` for `handle` to be signalled, pumping the same
// way; true when it was.
bool PumpingWait(void* handle, uint32_t milliseconds);

// Serves what is pending (painting, sent messages) without waiting; input is
// dropped as above. False when a quit request came up: it is posted again for
// the outer loop and pumping should stop.
bool PumpPendingMessages();

// True for the keyboard and mouse messages (client and non-client) that a
// running operation must not see.
bool IsUserInputMessage(unsigned int message);

}  // namespace zq
