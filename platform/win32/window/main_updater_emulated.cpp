// The updater with its pass-through port bound to an emulated bridge, for
// end-to-end tests where no real bridge can be attached. The bridge is set up
// from the environment:
//   ZQ_EMU_FLASH   file keeping the 65 536 flash bytes between runs
//   ZQ_EMU_RECORD  the chip-information record, 24 hex digits
//   ZQ_EMU_BUSY    busy answers after each erase
//   ZQ_EMU_FAULT   faults to seed, separated by commas (e.g. "write:3,flip:0x10")
#include "platform/win32/win32_headers.h"

#include <string>

#include "emulator/emulated_pass_through.h"
#include "emulator/emulated_setup.h"
#include "emulator/flash_file.h"
#include "platform/win32/files_win32.h"
#include "platform/win32/message_pump.h"
#include "platform/win32/platform_win32.h"
#include "platform/win32/window/updater_app.h"

namespace zq {
namespace {

// The emulated port answers at once; its waits are made real, as on a
// device, so the window is seen to stay painted while it waits.
class PacedPassThroughPort final : public PassThroughPort {
 public:
  explicit PacedPassThroughPort(PassThroughPort& inner) : inner_(inner) {}
  std::unique_ptr<InterfaceList> ListInterfaces(InterfaceClass cls) override {
    return inner_.ListInterfaces(cls);
  }
  DeviceHandle Open(const std::string& path) override { return inner_.Open(path); }
  bool Control(DeviceHandle device, PassThroughBuffer& buffer, uint32_t inputSize,
               uint32_t outputSize) override {
    return inner_.Control(device, buffer, inputSize, outputSize);
  }
  void Close(DeviceHandle device) override { inner_.Close(device); }
  void Sleep(uint32_t milliseconds) override {
    inner_.Sleep(milliseconds);
    PumpingSleep(milliseconds);
  }

 private:
  PassThroughPort& inner_;
};

}  // namespace
}  // namespace zq

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  auto emulated = zq::MakeSingleBridgePassThrough();
  zq::BridgeDevice& chip = *emulated->FirstBridge();
  zq::Win32FilePort files;
  std::string flashPath;
  std::string problem;
  if (!zq::ConfigureFromEnvironment(files, chip, flashPath, problem)) {
    MessageBoxA(nullptr, problem.c_str(), "Emulated bridge", MB_ICONERROR);
    return 2;
  }
  zq::PacedPassThroughPort passThrough(*emulated);
  zq::Win32Platform platform(passThrough);
  zq::UpdaterApp app(platform, files);
  app.InitInstance(instance);
  if (!flashPath.empty() && !zq::SaveFlashFile(files, flashPath, chip.Flash())) {
    MessageBoxA(nullptr, ("ZQ_EMU_FLASH: cannot save " + flashPath).c_str(), "Emulated bridge",
                MB_ICONERROR);
    return 3;
  }
  return 0;
}
