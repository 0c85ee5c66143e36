#include "app/old_systems.h"

#include "app/platform.h"

namespace zq {

bool FileDialogTakesFullStruct(uint32_t platformId, uint32_t majorVersion) {
  return platformId == VER_PLATFORM_WIN32_NT && majorVersion >= 5;
}

}  // namespace zq
