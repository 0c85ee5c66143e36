#include "platform/win32/platform_win32.h"

#include "platform/win32/win32_headers.h"

namespace zq {

// the layout GetVersionExA fills; its size is how the caller names the version asked for
static_assert(sizeof(OSVERSIONINFOA) == 148);

namespace {

bool QueryVersion(OSVERSIONINFOA& version) {
  version = OSVERSIONINFOA{};
  version.dwOSVersionInfoSize = sizeof(version);
  return GetVersionExA(&version) != FALSE;
}

}  // namespace

PlatformFamily QueryPlatformFamily() {
  OSVERSIONINFOA version;
  if (!QueryVersion(version)) return PlatformFamily::Other;
  switch (version.dwPlatformId) {
    case VER_PLATFORM_WIN32_NT:
      return PlatformFamily::Nt;
    case VER_PLATFORM_WIN32_WINDOWS:
      return PlatformFamily::Consumer;
    default:
      return PlatformFamily::Other;
  }
}

uint32_t QueryMajorVersion() {
  OSVERSIONINFOA version;
  return QueryVersion(version) ? version.dwMajorVersion : 0;
}

uint32_t QueryMinorVersion() {
  OSVERSIONINFOA version;
  return QueryVersion(version) ? version.dwMinorVersion : 0;
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
