#include "emulator/emulated_platform.h"

namespace zq {

EmulatedPlatform::EmulatedPlatform(uint32_t platformId) : platformId_(platformId) {
  passThrough_.AddBridge(InterfaceClass::Disk, chip_);
  aspi_.UseDefaultSetup(chip_);
}

}  // namespace zq
