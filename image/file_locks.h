// Files held against other processes: what the emulated flash kept in a
// file needs of the platform. Each platform's binding folder defines
// MakeFileLocks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zq {

// A file this process alone may write while it is open.
class LockedFile {
 public:
  virtual ~LockedFile() = default;
  virtual bool Size(uint64_t& size) = 0;
  virtual bool ReadAt(uint32_t offset, uint8_t* bytes, uint32_t length) = 0;
  virtual bool WriteAt(uint32_t offset, const uint8_t* bytes, uint32_t length) = 0;
  // Gets what was written onto the disk.
  virtual bool Sync() = 0;
};

enum class LockOutcome { Locked, InUse, Failed };

// Each platform's way of holding a file against other processes.
class FileLocks {
 public:
  virtual ~FileLocks() = default;
  // Opens `path` for reading and writing, creating it empty when missing,
  // and holds it: an empty file is then this process's to fill, whoever
  // created it. Null with the outcome and the system's reason otherwise.
  virtual std::unique_ptr<LockedFile> OpenLocked(const std::string& path, LockOutcome& outcome,
                                                 std::string& reason) = 0;
};

// The platform's locks.
std::unique_ptr<FileLocks> MakeFileLocks();

}  // namespace zq
