// How the command line polls an erase. A status command costs well under a
// millisecond on the bus, so polling every 5 ms sees a chip erase of about
// 100 ms end within 5 ms, where doubling waits overshoot it by up to 40.
#pragma once

#include "protocol/vendor_commands.h"

namespace zq::cli {

inline constexpr ErasePolling COMMAND_LINE_ERASE_POLLING = {5, ERASE_MAX_WAIT_MS};

}  // namespace zq::cli
