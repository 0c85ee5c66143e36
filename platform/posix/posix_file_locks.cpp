// Files held against other processes with flock: a second run that opens
// the same emulated flash is told it is in use.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "image/file_locks.h"

namespace zq {
namespace {

class PosixLockedFile final : public LockedFile {
 public:
  explicit PosixLockedFile(int fd) : fd_(fd) {}
  ~PosixLockedFile() override { close(fd_); }  // and with it the lock
  PosixLockedFile(const PosixLockedFile&) = delete;
  PosixLockedFile& operator=(const PosixLockedFile&) = delete;

  bool Size(uint64_t& size) override {
    struct stat info;
    if (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    size = static_cast<uint64_t>(info.st_size);
    return true;
  }
  bool ReadAt(uint32_t offset, uint8_t* bytes, uint32_t length) override {
    uint32_t done = 0;
    while (done < length) {
      const ssize_t n = pread(fd_, bytes + done, length - done, offset + done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<uint32_t>(n);
    }
    return true;
  }
  bool WriteAt(uint32_t offset, const uint8_t* bytes, uint32_t length) override {
    uint32_t done = 0;
    while (done < length) {
      const ssize_t n = pwrite(fd_, bytes + done, length - done, offset + done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<uint32_t>(n);
    }
    return true;
  }
  bool Sync() override { return fsync(fd_) == 0; }

 private:
  int fd_;
};

class PosixFileLocks final : public FileLocks {
 public:
  std::unique_ptr<LockedFile> OpenLocked(const std::string& path, LockOutcome& outcome,
                                         std::string& reason) override {
    outcome = LockOutcome::Failed;
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) {
      reason = std::strerror(errno);
      return nullptr;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      close(fd);
      reason = "not a regular file";
      return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      close(fd);
      if (error == EWOULDBLOCK) outcome = LockOutcome::InUse;
      reason = std::strerror(error);
      return nullptr;
    }
    outcome = LockOutcome::Locked;
    return std::make_unique<PosixLockedFile>(fd);
  }
};

}  // namespace

std::unique_ptr<FileLocks> MakeFileLocks() {
  return std::make_unique<PosixFileLocks>();
}

}  // namespace zq
