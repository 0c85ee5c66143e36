// The platform port on Windows: the system's family, the ASPI layer from
// WNASPI32.DLL, and the system's pass-through port or one chosen by the program.
#pragma once

#include <cstdint>

#include "app/platform.h"
#include "platform/win32/aspi_win32.h"
#include "platform/win32/pass_through_win32.h"

namespace zq {

// The family GetVersionExA reports; Other when it cannot say.
PlatformFamily QueryPlatformFamily();
// The major version number GetVersionExA reports; 0 when it cannot say.
uint32_t QueryMajorVersion();
// The minor version number GetVersionExA reports; 0 when it cannot say.
uint32_t QueryMinorVersion();

class Win32Platform final : public Platform {
 public:
  // The system's own pass-through port.
  Win32Platform() : passThrough_(systemPassThrough_) {}
  // `passThrough` (an emulated one, say) outlives the platform.
  explicit Win32Platform(PassThroughPort& passThrough) : passThrough_(passThrough) {}
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

  PlatformFamily Family() override { return QueryPlatformFamily(); }
  AspiLayer* LoadAspi() override;
  PassThroughPort& PassThrough() override { return passThrough_; }

 private:
  Win32PassThroughPort systemPassThrough_;
  PassThroughPort& passThrough_;
  Win32AspiLayer aspi_;
};

}  // namespace zq
