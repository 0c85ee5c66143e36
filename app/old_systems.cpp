#include "app/old_systems.h"

namespace zq {

bool FileDialogTakesFullStruct(PlatformFamily family, uint32_t majorVersion) {
  return family == PlatformFamily::Nt && majorVersion >= 5;
}

uint32_t AnyMessageWakeMask(PlatformFamily family, uint32_t majorVersion, uint32_t minorVersion) {
  const bool xpOrLater = family == PlatformFamily::Nt &&
                         (majorVersion > 5 || (majorVersion == 5 && minorVersion >= 1));
  return xpOrLater ? WAKE_ANY_MESSAGE_BEFORE_XP | WAKE_RAW_INPUT : WAKE_ANY_MESSAGE_BEFORE_XP;
}

}  // namespace zq
