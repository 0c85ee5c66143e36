#include "emulator/emulated_platform.h"

namespace zq {

EmulatedPlatform::EmulatedPlatform(PlatformFamily family) : family_(family) {
  passThrough_.AddBridge(InterfaceClass::Disk, chip_);
  aspi_.UseDefaultSetup(chip_);
}

}  // namespace zq
