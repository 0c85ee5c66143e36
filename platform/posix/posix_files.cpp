#include "platform/posix/posix_files.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// Copies bytes [begin, end) of one file into the same place of another.
bool CopyRange(int from, int to, off_t begin, off_t end, int& error) {
  uint8_t buffer[8192];
  for (off_t at = begin; at < end;) {
    const size_t want = static_cast<size_t>(std::min<off_t>(end - at, sizeof buffer));
    const ssize_t n = pread(from, buffer, want, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;  // the temporary cannot have shrunk
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t put = pwrite(to, buffer + done, static_cast<size_t>(n - done), at + done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        error = put < 0 ? errno : ENOSPC;
        return false;
      }
      done += put;
    }
    at += n;
  }
  return true;
}

// Sets aside the blocks `length` bytes need in an existing file without
// changing a byte of it; false with ENOTSUP where the file system cannot.
bool Reserve(int fd, off_t length, int& error) {
  if (length == 0) return true;
#ifdef FALLOC_FL_KEEP_SIZE
  while (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length) != 0) {
    if (errno == EINTR) continue;
    error = errno == EOPNOTSUPP || errno == ENOSYS ? ENOTSUP : errno;
    return false;
  }
  return true;
#else
  (void)fd;
  error = ENOTSUP;
  return false;
#endif
}

// A regular file written through a temporary beside it.
class ReplacingFile : public OutputFile {
 public:
  ReplacingFile(int fd, std::string temporary, std::string destination, std::string folder,
                Report report)
      : fd_(fd),
        slot_(Register(temporary)),
        temporary_(std::move(temporary)),
        destination_(std::move(destination)),
        folder_(std::move(folder)),
        report_(std::move(report)) {}
  ~ReplacingFile() override {
    if (fd_ >= 0) close(fd_);
    if (linked_ >= 0) {
      // give back what was reserved past the old end, best effort, when
      // nothing was written there
#ifdef FALLOC_FL_PUNCH_HOLE
      struct stat now;
      if (!committed_ && size_ > linkedSize_ && fstat(linked_, &now) == 0 &&
          now.st_size <= linkedSize_) {
        fallocate(linked_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, linkedSize_,
                  size_ - linkedSize_);
      }
#endif
      close(linked_);
    }
    if (!committed_ && !keep_) unlink(temporary_.c_str());
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
    struct stat info;
    const bool sized = fstat(fd_, &info) == 0;
    size_ = sized ? info.st_size : 0;
    const bool synced = sized && fsync(fd_) == 0;
    const int syncError = errno;
    const bool closed = close(fd_) == 0;
    fd_ = -1;
    flushed_ = synced && closed && !failed_;
    if (!synced || !closed) FailWithErrno(report_, destination_, synced ? EIO : syncError);
    if (flushed_) flushed_ = PrepareLinkedFile();
    return flushed_;
  }

  bool Commit() override {
    if (committed_ || failed_ || keep_ || !Flush()) return false;
    if (linked_ >= 0) return CopyIntoLinkedFile();
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

  // Keeps the finished copy, unlisted so that no stop removes it, and says
  // where it is.
  void KeepCopy(const std::string& why) {
    Fail(report_, destination_, why + "; the complete copy is in '" + temporary_ + "'");
    keep_ = true;
    Unregister(slot_);
    slot_ = -1;
  }

  // A file with other names keeps them: the finished bytes are copied into
  // it on Commit. The room for them is set aside now, so that a full disk
  // refuses the copy before a byte of the old file changes.
  bool PrepareLinkedFile() {
    struct stat existing;
    if (stat(destination_.c_str(), &existing) != 0 || !S_ISREG(existing.st_mode) ||
        existing.st_nlink < 2) {
      return true;
    }
    linked_ = open(destination_.c_str(), O_WRONLY | O_CLOEXEC);
    int error = errno;
    if (linked_ < 0) {
      KeepCopy(std::string(std::strerror(error)) + "; it was left as it was");
      return false;
    }
    linkedSize_ = existing.st_size;
    if (!Reserve(linked_, size_, error) && error != ENOTSUP) {
      KeepCopy(std::string(std::strerror(error)) + "; it was left as it was");
      return false;
    }
    return true;
  }

  // Copies in place without truncating first: what lies past the old end
  // goes first, so that where nothing could be reserved a full disk is met
  // while the old bytes are still whole, and then only the file's own blocks
  // are overwritten.
  bool CopyIntoLinkedFile() {
    const int from = open(temporary_.c_str(), O_RDONLY | O_CLOEXEC);
    int error = errno;
    const off_t common = std::min(size_, linkedSize_);
    bool copied = from >= 0 && CopyRange(from, linked_, common, size_, error);
    if (!copied) {
      if (from >= 0) close(from);
      // nothing of the old length was touched: cut what was added
      if (ftruncate(linked_, linkedSize_) == 0 && fsync(linked_) == 0) {
        KeepCopy(std::string(std::strerror(error)) + "; it was left as it was");
      } else {
        KeepCopy(std::string(std::strerror(error)) +
                 "; its old bytes are whole, but it may have grown");
      }
      return false;
    }
    copied = CopyRange(from, linked_, 0, common, error);
    close(from);
    if (copied && size_ < linkedSize_ && ftruncate(linked_, size_) != 0) {
      error = errno;
      copied = false;
    }
    if (copied && fsync(linked_) != 0) {
      error = errno;
      copied = false;
    }
    if (!copied) {
      KeepCopy(std::string(std::strerror(error)) + "; it now holds part of the new bytes");
      return false;
    }
    unlink(temporary_.c_str());
    committed_ = true;
    return true;
  }

  int fd_;
  int slot_;
  std::string temporary_;
  std::string destination_;
  std::string folder_;
  Report report_;
  off_t size_ = 0;        // of the finished temporary
  int linked_ = -1;       // a hard-linked destination, open for the copy
  off_t linkedSize_ = 0;  // its old length
  bool failed_ = false;
  bool flushed_ = false;
  bool keep_ = false;  // the temporary is the only complete copy: never removed
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

// Every write goes to the end, whoever else appends; each is synced before
// the next is taken.
class PosixAppendFile : public AppendFile {
 public:
  PosixAppendFile(int fd, std::string name, Report report)
      : fd_(fd), name_(std::move(name)), report_(std::move(report)) {}
  ~PosixAppendFile() override { close(fd_); }
  PosixAppendFile(const PosixAppendFile&) = delete;
  PosixAppendFile& operator=(const PosixAppendFile&) = delete;

  bool Append(const uint8_t* data, uint32_t length) override {
    uint32_t written = 0;
    int error = 0;
    if (!WriteFully(fd_, data, length, written, error)) {
      FailWithErrno(report_, name_, error);
      return false;
    }
    // a device or pipe that cannot be synced has nothing to lose
    if (fsync(fd_) != 0 && errno != EINVAL && errno != EROFS && errno != ENOTSUP) {
      FailWithErrno(report_, name_, errno);
      return false;
    }
    return true;
  }

 private:
  int fd_;
  std::string name_;
  Report report_;
};

std::string TemporarySuffix(uint32_t attempt) {
  static std::atomic<uint32_t> counter{0};
  const uint64_t mix =
      static_cast<uint64_t>(getpid()) * uint64_t{0x9E3779B97F4A7C15} ^
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

// The file a path names in the end: a chain of symlinks is followed to its
// last name, so that the links stay and what they point at is replaced or,
// when missing, created. As many links as the kernel follows, then ELOOP.
constexpr int MAX_LINKS = 40;

bool FinalTarget(const std::string& path, std::string& target, int& error) {
  target = path;
  for (int links = 0;; ++links) {
    struct stat info;
    if (lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
    // a device, FIFO or folder at the end is opened through its links:
    // /dev/stdout's chain ends in a name like "pipe:[1234]" that is no path
    if (stat(target.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return true;
    if (links == MAX_LINKS) {
      error = ELOOP;
      return false;
    }
    char next[PATH_MAX];
    const ssize_t n = readlink(target.c_str(), next, sizeof next);
    if (n <= 0 || n == static_cast<ssize_t>(sizeof next)) {
      error = n < 0 ? errno : ENAMETOOLONG;
      return false;
    }
    next[n] = '\0';
    // a relative link is relative to the folder the link is in
    const std::string::size_type slash = target.find_last_of('/');
    target = next[0] == '/' || slash == std::string::npos ? std::string(next)
                                                          : target.substr(0, slash + 1) + next;
  }
}

}  // namespace

void RemovePendingTemporaries() {
  for (TemporarySlot& slot : temporaries) {
    if (slot.used.load()) unlink(slot.path);
  }
}

std::unique_ptr<AppendFile> PosixFilePort::OpenForAppend(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    FailWithErrno(lastFailure_, path, errno);
    return nullptr;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    FailWithErrno(lastFailure_, path, EISDIR);
    close(fd);
    return nullptr;
  }
  return std::make_unique<PosixAppendFile>(fd, path, lastFailure_);
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
  std::string target;
  int error = 0;
  if (!FinalTarget(path, target, error)) {
    FailWithErrno(lastFailure_, path, error);
    return nullptr;
  }
  struct stat existing;
  const bool exists = stat(target.c_str(), &existing) == 0;
  if (!exists && errno != ENOENT) {
    // a loop or a folder that cannot be searched on the way
    FailWithErrno(lastFailure_, path, errno);
    return nullptr;
  }
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
  // the folder takes no new file (full, out of inodes, locked): writing the
  // destination in place would destroy it before the new bytes are whole
  const int folderError = errno == EEXIST ? EAGAIN : errno;
  Fail(lastFailure_, path,
       std::string(std::strerror(folderError)) +
           (exists ? " (no new file can be made beside it); it was left as it was" : ""));
  return nullptr;
}

}  // namespace zq
