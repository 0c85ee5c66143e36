// The platform port on Windows: the system's family, the ASPI layer from
// WNASPI32.DLL, and a pass-through port chosen by the program.
#pragma once

#include <cstdint>

#include "app/platform.h"
#include "platform/win32/aspi_win32.h"

namespace zq {

// The platform id GetVersionExA reports; 0 when it cannot say.
uint32_t QueryPlatformId();

class Win32Platform final : public Platform {
 public:
  // `passThrough` outlives the platform: the real port, or an emulated one.
  explicit Win32Platform(PassThroughPort& passThrough) : passThrough_(passThrough) {}

  uint32_t GetPlatformId() override { return QueryPlatformId(); }
  bool LoadAspiLibrary() override;
  bool BindAspiEntryPoint(const char* name) override;
  void FreeAspiLibrary() override;
  AspiLayer& Aspi() override;
  PassThroughPort& PassThrough() override { return passThrough_; }

 private:
  PassThroughPort& passThrough_;
  Win32AspiLayer aspi_;
};

}  // namespace zq
