// A whole window on the recording host: an emulated bridge reachable over
// emulated pass-through devices or an emulated ASPI layer, in-memory files,
// and the dialog over them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/updater_dialog.h"
#include "emulator/bridge_device.h"
#include "emulator/emulated_aspi.h"
#include "emulator/emulated_pass_through.h"
#include "support/memory_files.h"
#include "support/recording_host.h"

namespace zq::test {

enum class Path { PassThrough, Aspi };

struct DialogHost {
  BridgeDevice chip;
  RecordingWindow window;
  MemoryFilePort files;
  EmulatedPassThroughPort passThrough;
  EmulatedAspiLayer aspi;
  FakePlatform platform{&passThrough, &aspi};
  std::unique_ptr<UpdaterDialog> dialog = std::make_unique<UpdaterDialog>(window, files, platform);

  // Creates and initialises the window on the given platform family and
  // forgets what that showed, so a test sees only its own operation.
  bool Start(PlatformFamily family);
  // The bridge as the only disk, or at adapter 0 target 0; then Start.
  bool StartWithBridge(Path path);
  // Loads `bytes` as a raw image through the Open dialog.
  bool Load(const std::vector<uint8_t>& bytes, const std::string& path = "C:\\fw\\image.bin");
  // The device commands the chip received, one per line: "E2 0200 01E8".
  std::vector<std::string> Commands() const;
};

std::vector<uint8_t> Pattern(size_t size, uint8_t seed = 0x11);
const char* PathName(Path path);

}  // namespace zq::test
