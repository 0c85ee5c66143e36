// The system's own words for an error code, for messages that say why.
#pragma once

#include "platform/win32/win32_headers.h"

#include <string>

namespace zq {

// Without the closing line break and full stop; "error N" when the system
// has no words for it.
std::string SystemReason(DWORD error);

}  // namespace zq
