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

AspiLayer* Win32Platform::LoadAspi() {
  if (!aspi_.Load()) return nullptr;
  // both are bound, whichever is missing, before the library is given up
  const bool haveSupportInfo = aspi_.Bind(ASPI_SUPPORT_INFO_ENTRY);
  const bool haveSendCommand = aspi_.Bind(ASPI_SEND_COMMAND_ENTRY);
  if (haveSupportInfo && haveSendCommand) return &aspi_;
  aspi_.Free();
  return nullptr;
}

}  // namespace zq
