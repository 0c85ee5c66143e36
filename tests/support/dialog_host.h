// A whole window on the recording host: emulated pass-through devices, an
// emulated ASPI layer, in-memory files, and the dialog over them.
#pragma once

#include <memory>

#include "app/updater_dialog.h"
#include "emulator/emulated_pass_through.h"
#include "support/memory_files.h"
#include "support/recording_host.h"

namespace zq::test {

struct DialogHost {
  RecordingWindow window;
  MemoryFilePort files;
  EmulatedPassThroughPort passThrough;
  FakePlatform platform{&passThrough, nullptr};
  std::unique_ptr<UpdaterDialog> dialog = std::make_unique<UpdaterDialog>(window, files, platform);

  // Creates and initialises the window on the given platform family and
  // forgets what that showed, so a test sees only its own operation.
  bool Start(uint32_t platformId);
  // Loads `bytes` as a raw image through the Open dialog.
  bool Load(const std::vector<uint8_t>& bytes, const std::string& path = "C:\\fw\\image.bin");
};

std::vector<uint8_t> Pattern(size_t size, uint8_t seed = 0x11);

}  // namespace zq::test
