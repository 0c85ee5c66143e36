#include "platform/win32/platform_win32.h"

#include "platform/win32/win32_headers.h"

namespace zq {

// the layout GetVersionExA fills; its size is how the caller names the version asked for
static_assert(sizeof(OSVERSIONINFOA) == 148);

uint32_t QueryPlatformId() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionExA(&version)) return 0;
  return version.dwPlatformId;
}

bool Win32Platform::LoadAspiLibrary() {
  return aspi_.Load();
}

bool Win32Platform::BindAspiEntryPoint(const char* name) {
  return aspi_.Bind(name);
}

void Win32Platform::FreeAspiLibrary() {
  aspi_.Free();
}

AspiLayer& Win32Platform::Aspi() {
  return aspi_;
}

}  // namespace zq
