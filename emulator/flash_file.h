// The emulated chip's flash kept in a file: loaded when the bridge comes up,
// and, for the command line, locked while in use and changed as each command
// runs, as a real chip's flash would be.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "emulator/bridge_device.h"
#include "image/file_locks.h"
#include "image/file_port.h"

namespace zq {

enum class FlashFileState { Open, InUse, Unusable };

class FlashFile {
 public:
  // A missing or empty file is made erased under the lock, so two runs
  // never both make one. `flash` receives what the file holds.
  static std::unique_ptr<FlashFile> Open(FileLocks& locks, const std::string& path,
                                         std::array<uint8_t, EMULATED_FLASH_SIZE>& flash,
                                         FlashFileState& state, std::string& problem);
  ~FlashFile();
  FlashFile(const FlashFile&) = delete;
  FlashFile& operator=(const FlashFile&) = delete;

  // False, with the reason in Problem(), when the bytes did not reach the file.
  bool Store(uint32_t offset, const uint8_t* bytes, uint32_t length);
  const std::string& Problem() const { return problem_; }

 private:
  FlashFile(std::unique_ptr<LockedFile> file, std::string path)
      : file_(std::move(file)), path_(std::move(path)) {}

  std::unique_ptr<LockedFile> file_;
  std::string path_;
  std::string problem_;
};

// For the emulated Windows programs, which keep the flash between runs
// only: loads a raw file of exactly 65 536 bytes, a missing one created
// erased (all 0xFF). `flash` is only written on success.
bool LoadFlashFile(FilePort& files, const std::string& path,
                   std::array<uint8_t, EMULATED_FLASH_SIZE>& flash);

// Replaces `path` through the platform's safe replace, so a failed save
// never leaves half a flash behind.
bool SaveFlashFile(FilePort& files, const std::string& path,
                   const std::array<uint8_t, EMULATED_FLASH_SIZE>& flash);

}  // namespace zq
