// The platform's headers as every Win32 file of ours includes them.
#pragma once

#include <windows.h>

namespace zq {
// The structures the system fills differ in size between the two widths.
inline constexpr bool WIDTH_32 = sizeof(void*) == 4;
}  // namespace zq
