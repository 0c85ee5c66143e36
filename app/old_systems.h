// What the programs do differently on the systems before Windows 2000.
#pragma once

#include <cstdint>

#include "app/platform.h"

namespace zq {

// The file dialogs of Windows 95/98/Me and NT 4 refuse the dialog structure
// as Windows 2000 enlarged it and take only its earlier size; 2000 and later
// take the full one. `majorVersion` as the system reports it.
bool FileDialogTakesFullStruct(PlatformFamily family, uint32_t majorVersion);

// The wake mask for "any message" in a message wait: raw input (0x400) came
// with XP, and 98/Me and 2000 fail the whole wait on a bit they do not know.
constexpr uint32_t WAKE_ANY_MESSAGE_BEFORE_XP = 0x00FF;
constexpr uint32_t WAKE_RAW_INPUT = 0x0400;
uint32_t AnyMessageWakeMask(PlatformFamily family, uint32_t majorVersion, uint32_t minorVersion);

}  // namespace zq
