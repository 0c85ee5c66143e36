// What start-up needs of the operating system: its family and its storage
// interfaces.
#pragma once

#include <cstdint>

#include "transport/aspi.h"
#include "transport/pass_through.h"

namespace zq {

// Windows 2000/XP reach disks through pass-through, Windows 98/Me through ASPI.
enum class PlatformFamily { Nt, Consumer, Other };

class Platform {
 public:
  virtual ~Platform() = default;
  virtual PlatformFamily Family() = 0;
  // Loads the ASPI library by the name "WNASPI32".
  virtual bool LoadAspiLibrary() = 0;
  virtual bool BindAspiEntryPoint(const char* name) = 0;
  virtual void FreeAspiLibrary() = 0;
  // Valid once both entry points are bound.
  virtual AspiLayer& Aspi() = 0;
  virtual PassThroughPort& PassThrough() = 0;
};

}  // namespace zq
