#include "platform/posix/posix_files.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

namespace zq {
namespace {

using Report = std::shared_ptr<std::string>;

void Fail(const Report& report, const std::string& path, const std::string& why) {
  *report = "'" + path + "': " + why;
}

void FailWithErrno(const Report& report, const std::string& path, int error) {
  Fail(report, path, std::strerror(error));
}

// Temporaries of saves under way, for RemovePendingTemporaries: fixed slots
// of plain bytes, so a signal handler can read them without locks.
constexpr int TEMPORARY_SLOTS = 16;
struct TemporarySlot {
  std::atomic<bool> used{false};
  char path[PATH_MAX];
};
TemporarySlot temporaries[TEMPORARY_SLOTS];

int Register(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (int i = 0; i < TEMPORARY_SLOTS; ++i) {
    bool expected = false;
    if (!temporaries[i].used.load() &&
        temporaries[i].used.compare_exchange_strong(expected, true)) {
      std::memcpy(temporaries[i].path, path.c_str(), path.size() + 1);
      return i;
    }
  }
  return -1;  // more saves at once than slots: still removed on a normal end
}

void Unregister(int slot) {
  if (slot >= 0) temporaries[slot].used.store(false);
}

class PosixInputFile : public InputFile {
 public:
  explicit PosixInputFile(int fd) : fd_(fd) {}
  ~PosixInputFile() override { close(fd_); }
  PosixInputFile(const PosixInputFile&) = delete;
  PosixInputFile& operator=(const PosixInputFile&) = delete;

  bool GetSize(uint32_t& size) override {
    struct stat info;
    if (fstat(fd_, &info) != 0) return false;
    size = static_cast<uint32_t>(static_cast<uint64_t>(info.st_size) & 0xFFFFFFFFu);
    return true;
  }

  // Reads until `length` bytes or the end of the file, as one read of a whole
  // file does on Windows; read() may hand out less on its own.
  bool Read(uint8_t* buffer, uint32_t length, uint32_t& got) override {
    got = 0;
    while (got < length) {
      const ssize_t n = read(fd_, buffer + got, length - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) break;
      got += static_cast<uint32_t>(n);
    }
    return true;
  }

 private:
  int fd_;
};

// Writes to an open descriptor, whatever kind of file it is.
bool WriteFully(int fd, const uint8_t* data, uint32_t length, uint32_t& written, int& error) {
  written = 0;
  while (written < length) {
    const ssize_t n = write(fd, data + written, length - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return false;
    }
    if (n == 0) {
      error = ENOSPC;
      return false;
    }
    written += static_cast<uint32_t>(n);
  }
  return true;
}

// A regular file written through a temporary beside it.
class ReplacingFile : public OutputFile {
 public:
  // An empty `temporary` is a destination written in place.
  ReplacingFile(int fd, std::string temporary, std::string destination, std::string folder,
                Report report)
      : fd_(fd),
        inPlace_(temporary.empty()),
        slot_(inPlace_ ? -1 : Register(temporary)),
        temporary_(std::move(temporary)),
        destination_(std::move(destination)),
        folder_(std::move(folder)),
        report_(std::move(report)) {}
  ~ReplacingFile() override {
    if (fd_ >= 0) close(fd_);
    if (!committed_ && !inPlace_) unlink(temporary_.c_str());
    Unregister(slot_);
  }
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  bool Write(const uint8_t* data, uint32_t length, uint32_t& written) override {
    int error = 0;
    written = 0;
    if (fd_ >= 0 && WriteFully(fd_, data, length, written, error)) return true;
    FailWithErrno(report_, destination_, fd_ >= 0 ? error : EBADF);
    failed_ = true;
    return false;
  }

  bool Flush() override {
    if (fd_ < 0) return flushed_;
    // the bytes must be on disk before the name points at them
    const bool synced = fsync(fd_) == 0;
    const int syncError = errno;
    const bool closed = close(fd_) == 0;
    fd_ = -1;
    flushed_ = synced && closed && !failed_;
    if (!synced || !closed) FailWithErrno(report_, destination_, synced ? EIO : syncError);
    return flushed_;
  }

  bool Commit() override {
    if (committed_ || failed_ || !Flush()) return false;
    if (inPlace_) return committed_ = true;
    struct stat existing;
    if (stat(destination_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) &&
        existing.st_nlink > 1) {
      return CopyIntoLinkedFile();
    }
    if (rename(temporary_.c_str(), destination_.c_str()) != 0) {
      FailWithErrno(report_, destination_, errno);
      return false;
    }
    committed_ = true;
    SyncFolder();
    return true;
  }

 private:
  // Best effort: makes the rename itself survive a crash.
  void SyncFolder() {
    const int dir =
        open(folder_.empty() ? "." : folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    fsync(dir);
    close(dir);
  }

  // A file with other names keeps them: the finished bytes are copied into
  // it. Should that fail half-way, the complete copy stays and is named.
  bool CopyIntoLinkedFile() {
    const int from = open(temporary_.c_str(), O_RDONLY | O_CLOEXEC);
    const int to = open(destination_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    bool copied = from >= 0 && to >= 0;
    int error = copied ? 0 : errno;
    uint8_t buffer[8192];
    while (copied) {
      const ssize_t n = read(from, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n < 0) error = errno;
        copied = n == 0;
        break;
      }
      uint32_t written = 0;
      copied = WriteFully(to, buffer, static_cast<uint32_t>(n), written, error);
    }
    if (copied && fsync(to) != 0) {
      error = errno;
      copied = false;
    }
    if (from >= 0) close(from);
    if (to >= 0) close(to);
    if (!copied) {
      Fail(report_, destination_,
           std::string(std::strerror(error)) + "; the complete copy is in '" + temporary_ + "'");
      committed_ = true;  // keep the copy: it may be all that is left
      return false;
    }
    unlink(temporary_.c_str());
    committed_ = true;
    return true;
  }

  int fd_;
  bool inPlace_;
  int slot_;
  std::string temporary_;
  std::string destination_;
  std::string folder_;
  Report report_;
  bool failed_ = false;
  bool flushed_ = false;
  bool committed_ = false;
};

// A character device, a FIFO or standard output: there is nothing to
// replace, so the bytes go straight in and any error fails the save.
class DirectFile : public OutputFile {
 public:
  DirectFile(int fd, bool owned, std::string name, Report report)
      : fd_(fd), owned_(owned), name_(std::move(name)), report_(std::move(report)) {}
  ~DirectFile() override {
    if (owned_) close(fd_);
  }
  DirectFile(const DirectFile&) = delete;
  DirectFile& operator=(const DirectFile&) = delete;

  bool Write(const uint8_t* data, uint32_t length, uint32_t& written) override {
    int error = 0;
    if (WriteFully(fd_, data, length, written, error)) return true;
    FailWithErrno(report_, name_, error);
    failed_ = true;
    return false;
  }

  bool Flush() override {
    if (failed_) return false;
    // a device may buffer: ask it to flush, but one that cannot is no failure
    if (fsync(fd_) != 0 && errno != EINVAL && errno != EROFS && errno != ENOTSUP) {
      FailWithErrno(report_, name_, errno);
      failed_ = true;
    }
    return !failed_;
  }

  bool Commit() override { return Flush(); }

 private:
  int fd_;
  bool owned_;
  std::string name_;
  Report report_;
  bool failed_ = false;
};

std::string TemporarySuffix(uint32_t attempt) {
  static std::atomic<uint32_t> counter{0};
  const uint64_t mix =
      static_cast<uint64_t>(getpid()) * 0x9E3779B97F4A7C15ull ^
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      (static_cast<uint64_t>(counter.fetch_add(1)) << 20) ^ attempt;
  static const char ALPHABET[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string suffix;
  uint64_t value = mix;
  for (int i = 0; i < 6; ++i) {
    suffix += ALPHABET[value % 36];
    value /= 36;
  }
  return suffix;
}

// The file a path names in the end: a symlink's target, so that the link
// stays and what it points at is replaced. Unchanged when nothing is there.
std::string FinalTarget(const std::string& path) {
  char resolved[PATH_MAX];
  struct stat link;
  if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
  if (realpath(path.c_str(), resolved) != nullptr) return resolved;
  // a dangling link: create what it points at
  const ssize_t n = readlink(path.c_str(), resolved, sizeof resolved - 1);
  if (n <= 0) return path;
  resolved[n] = '\0';
  if (resolved[0] == '/') return resolved;
  const std::string::size_type slash = path.find_last_of('/');
  return (slash == std::string::npos ? "" : path.substr(0, slash + 1)) + resolved;
}

}  // namespace

void RemovePendingTemporaries() {
  for (TemporarySlot& slot : temporaries) {
    if (slot.used.load()) unlink(slot.path);
  }
}

std::unique_ptr<InputFile> PosixFilePort::OpenForRead(const std::string& path) {
  // without blocking, so a FIFO with no writer cannot hang the open
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    FailWithErrno(lastFailure_, path, errno);
    return nullptr;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    Fail(lastFailure_, path, S_ISDIR(info.st_mode) ? "is a folder" : "not a regular file");
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return std::make_unique<PosixInputFile>(fd);
}

std::unique_ptr<OutputFile> PosixFilePort::CreateForWrite(const std::string& path) {
  if (path == "-") {
    return std::make_unique<DirectFile>(STDOUT_FILENO, false, "standard output", lastFailure_);
  }
  const std::string target = FinalTarget(path);
  struct stat existing;
  const bool exists = stat(target.c_str(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) {
    Fail(lastFailure_, path, "is a folder");
    return nullptr;
  }
  if (exists && !S_ISREG(existing.st_mode)) {
    // /dev/null, /dev/full, a FIFO or a terminal: written as it is
    const int fd = open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      FailWithErrno(lastFailure_, path, errno);
      return nullptr;
    }
    return std::make_unique<DirectFile>(fd, true, path, lastFailure_);
  }

  const std::string::size_type slash = target.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  if (name.empty()) {
    Fail(lastFailure_, path, "no file name");
    return nullptr;
  }
  // a destination that could not be written either (read-only) is refused
  // before any work is done
  if (exists && access(target.c_str(), W_OK) != 0) {
    FailWithErrno(lastFailure_, path, errno);
    return nullptr;
  }
  // a fresh name beside the destination, so the final rename stays on one
  // file system; a new file is made like any other (0666 less the umask),
  // an existing one keeps its mode
  for (uint32_t attempt = 0; attempt < 100; ++attempt) {
    const std::string temporary = folder + "." + name + "." + TemporarySuffix(attempt);
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      auto file = std::make_unique<ReplacingFile>(fd, temporary, target, folder, lastFailure_);
      if (exists && fchmod(fd, existing.st_mode & 07777) != 0) {
        FailWithErrno(lastFailure_, path, errno);
        return nullptr;
      }
      return file;
    }
    if (errno != EEXIST) break;
  }
  const int folderError = errno;
  // the folder takes no new file: a destination that is there and writable
  // is written in place
  if (exists) {
    const int fd = open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd >= 0) return std::make_unique<ReplacingFile>(fd, "", target, folder, lastFailure_);
  }
  FailWithErrno(lastFailure_, path, folderError == EEXIST ? EAGAIN : folderError);
  return nullptr;
}

}  // namespace zq
