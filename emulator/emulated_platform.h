// A whole emulated system: one bridge reachable both as the only disk of
// the pass-through path and at adapter 0, target 0 of an ASPI layer.
#pragma once

#include <cstdint>
#include <memory>

#include "app/platform.h"
#include "emulator/bridge_device.h"
#include "emulator/emulated_aspi.h"
#include "emulator/emulated_pass_through.h"

namespace zq {

class EmulatedPlatform final : public Platform {
 public:
  explicit EmulatedPlatform(PlatformFamily family = PlatformFamily::Nt);

  PlatformFamily Family() override { return family_; }
  bool LoadAspiLibrary() override { return true; }
  bool BindAspiEntryPoint(const char*) override { return true; }
  void FreeAspiLibrary() override {}
  AspiLayer& Aspi() override { return aspi_; }
  PassThroughPort& PassThrough() override { return passThrough_; }

  BridgeDevice& Chip() { return chip_; }

 private:
  PlatformFamily family_;
  BridgeDevice chip_;
  EmulatedPassThroughPort passThrough_;
  EmulatedAspiLayer aspi_;
};

}  // namespace zq
