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
  // The ASPI layer, its library loaded and both entry points bound; null
  // (the library released again) where either is missing. It stays loaded
  // while the platform lives.
  virtual AspiLayer* LoadAspi() = 0;
  virtual PassThroughPort& PassThrough() = 0;
};

}  // namespace zq
