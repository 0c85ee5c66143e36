// Files held against other processes by opening them unshared: a second run
// that opens the same emulated flash is told it is in use.
#include "platform/win32/win32_headers.h"

#include "image/file_locks.h"

namespace zq {
namespace {

class Win32LockedFile final : public LockedFile {
 public:
  explicit Win32LockedFile(HANDLE file) : file_(file) {}
  ~Win32LockedFile() override { CloseHandle(file_); }
  Win32LockedFile(const Win32LockedFile&) = delete;
  Win32LockedFile& operator=(const Win32LockedFile&) = delete;

  bool Size(uint64_t& size) override {
    DWORD high = 0;
    const DWORD low = GetFileSize(file_, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
    size = (uint64_t{high} << 32) | low;
    return true;
  }
  bool ReadAt(uint32_t offset, uint8_t* bytes, uint32_t length) override {
    DWORD got = 0;
    return Seek(offset) && ReadFile(file_, bytes, length, &got, nullptr) != FALSE && got == length;
  }
  bool WriteAt(uint32_t offset, const uint8_t* bytes, uint32_t length) override {
    DWORD done = 0;
    return Seek(offset) && WriteFile(file_, bytes, length, &done, nullptr) != FALSE &&
           done == length;
  }
  bool Sync() override { return FlushFileBuffers(file_) != FALSE; }

 private:
  bool Seek(uint32_t offset) {
    return SetFilePointer(file_, static_cast<LONG>(offset), nullptr, FILE_BEGIN) !=
           INVALID_SET_FILE_POINTER;
  }

  HANDLE file_;
};

class Win32FileLocks final : public FileLocks {
 public:
  std::unique_ptr<LockedFile> OpenLocked(const std::string& path, LockOutcome& outcome,
                                         std::string& reason) override {
    outcome = LockOutcome::Failed;
    // not shared: the creator holds a new file from the moment it exists
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
        outcome = LockOutcome::InUse;
        reason = "in use";
      } else if (error == ERROR_ACCESS_DENIED) {
        reason = "access denied";
      } else {
        reason = "cannot be opened (error " + std::to_string(error) + ")";
      }
      return nullptr;
    }
    outcome = LockOutcome::Locked;
    return std::make_unique<Win32LockedFile>(file);
  }
};

}  // namespace

std::unique_ptr<FileLocks> MakeFileLocks() {
  return std::make_unique<Win32FileLocks>();
}

}  // namespace zq
