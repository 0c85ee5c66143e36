#include "app/old_systems.h"

#include "app/platform.h"

namespace zq {

bool FileDialogTakesFullStruct(uint32_t platformId, uint32_t majorVersion) {
  return platformId == VER_PLATFORM_WIN32_NT && majorVersion >= 5;
}

uint32_t AnyMessageWakeMask(uint32_t platformId, uint32_t majorVersion, uint32_t minorVersion) {
  const bool xpOrLater = platformId == VER_PLATFORM_WIN32_NT &&
                         (majorVersion > 5 || (majorVersion == 5 && minorVersion >= 1));
  return xpOrLater ? WAKE_ANY_MESSAGE_BEFORE_XP | WAKE_RAW_INPUT : WAKE_ANY_MESSAGE_BEFORE_XP;
}

}  // namespace zq
