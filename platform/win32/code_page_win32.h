// The system's ANSI code page, which the "A" calls take paths in.
#pragma once

#include <cstdint>

namespace zq {

// True when `byte` starts a two-byte character in the system's ANSI code page.
bool IsSystemLeadByte(uint8_t byte);

}  // namespace zq
