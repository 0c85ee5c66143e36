// What start-up needs of the operating system: its family and its storage
// interfaces.
#pragma once

#include <cstdint>

#include "transport/aspi.h"
#include "transport/pass_through.h"

namespace zq {

constexpr uint32_t VER_PLATFORM_WIN32_WINDOWS = 1;  // consumer family: ASPI
constexpr uint32_t VER_PLATFORM_WIN32_NT = 2;       // NT family: pass-through

class Platform {
 public:
  virtual ~Platform() = default;
  virtual uint32_t GetPlatformId() = 0;
  // Loads the ASPI library by the name "WNASPI32".
  virtual bool LoadAspiLibrary() = 0;
  virtual bool BindAspiEntryPoint(const char* name) = 0;
  virtual void FreeAspiLibrary() = 0;
  // Valid once both entry points are bound.
  virtual AspiLayer& Aspi() = 0;
  virtual PassThroughPort& PassThrough() = 0;
};

}  // namespace zq
