#include "emulator/flash_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace zq {
namespace {

std::string Quoted(const std::string& path) {
  return "'" + path + "'";
}

}  // namespace

std::unique_ptr<FlashFile> FlashFile::Open(FileLocks& locks, const std::string& path,
                                           std::array<uint8_t, EMULATED_FLASH_SIZE>& flash,
                                           FlashFileState& state, std::string& problem) {
  state = FlashFileState::Unusable;
  LockOutcome outcome = LockOutcome::Failed;
  std::string reason;
  std::unique_ptr<LockedFile> file = locks.OpenLocked(path, outcome, reason);
  if (!file) {
    if (outcome == LockOutcome::InUse) {
      state = FlashFileState::InUse;
      problem = Quoted(path) + ": the emulated bridge is in use by another run";
    } else {
      problem = Quoted(path) + ": " + reason;
    }
    return nullptr;
  }
  uint64_t size = 0;
  if (!file->Size(size)) {
    problem = Quoted(path) + ": cannot be read";
    return nullptr;
  }
  std::array<uint8_t, EMULATED_FLASH_SIZE> held;
  if (size == 0) {
    // new: a flash comes erased, made whole while no one else can look
    held.fill(0xFF);
    if (!file->WriteAt(0, held.data(), EMULATED_FLASH_SIZE) || !file->Sync()) {
      problem = Quoted(path) + ": cannot be created";
      return nullptr;
    }
  } else if (size != EMULATED_FLASH_SIZE) {
    problem = Quoted(path) + ": not a flash file of 65536 bytes";
    return nullptr;
  } else if (!file->ReadAt(0, held.data(), EMULATED_FLASH_SIZE)) {
    problem = Quoted(path) + ": cannot be read";
    return nullptr;
  }
  flash = held;
  state = FlashFileState::Open;
  return std::unique_ptr<FlashFile>(new FlashFile(std::move(file), path));
}

FlashFile::~FlashFile() {
  file_->Sync();
}

bool FlashFile::Store(uint32_t offset, const uint8_t* bytes, uint32_t length) {
  if (offset > EMULATED_FLASH_SIZE || length > EMULATED_FLASH_SIZE - offset) return false;
  if (file_->WriteAt(offset, bytes, length)) return true;
  problem_ = Quoted(path_) + ": the emulated flash cannot be stored";
  return false;
}

// Plain C files for the look, not std::filesystem or streams: the command
// line ships with the emulator, and those would import calls that old
// Windows lacks. Saving goes through the platform's safe replace.
bool LoadFlashFile(FilePort& files, const std::string& path,
                   std::array<uint8_t, EMULATED_FLASH_SIZE>& flash) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    if (errno != ENOENT) return false;
    // a new flash comes erased
    std::array<uint8_t, EMULATED_FLASH_SIZE> erased;
    erased.fill(0xFF);
    if (!SaveFlashFile(files, path, erased)) return false;
    flash = erased;
    return true;
  }
  // one byte more than the flash tells an oversized file apart; a folder
  // opens on some systems but reads nothing
  std::vector<uint8_t> buffer(EMULATED_FLASH_SIZE + 1);
  const size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed || got != EMULATED_FLASH_SIZE) return false;
  std::copy_n(buffer.begin(), flash.size(), flash.begin());
  return true;
}

bool SaveFlashFile(FilePort& files, const std::string& path,
                   const std::array<uint8_t, EMULATED_FLASH_SIZE>& flash) {
  std::unique_ptr<OutputFile> out = files.CreateForWrite(path);
  uint32_t written = 0;
  return out && out->Write(flash.data(), EMULATED_FLASH_SIZE, written) &&
         written == EMULATED_FLASH_SIZE && out->Commit();
}

}  // namespace zq
