#include "platform/posix/posix_files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <utility>

namespace zq {
namespace {

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

class PosixOutputFile : public OutputFile {
 public:
  // `folder` is the destination's folder with its trailing slash, or empty;
  // an empty `temporaryPath` is a destination written in place
  PosixOutputFile(int fd, std::string temporaryPath, std::string destination, std::string folder)
      : fd_(fd),
        temporaryPath_(std::move(temporaryPath)),
        destination_(std::move(destination)),
        folder_(std::move(folder)) {}
  ~PosixOutputFile() override {
    if (fd_ >= 0) close(fd_);
    if (!committed_ && !temporaryPath_.empty()) unlink(temporaryPath_.c_str());
  }
  PosixOutputFile(const PosixOutputFile&) = delete;
  PosixOutputFile& operator=(const PosixOutputFile&) = delete;

  bool Write(const uint8_t* data, uint32_t length, uint32_t& written) override {
    written = 0;
    if (fd_ < 0) return false;
    while (written < length) {
      const ssize_t n = write(fd_, data + written, length - written);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) break;  // nothing more fits; the caller sees the short count
      written += static_cast<uint32_t>(n);
    }
    return true;
  }

  bool Flush() override {
    if (fd_ < 0) return flushed_;
    // the bytes must be on disk before the name points at them
    const bool synced = fsync(fd_) == 0;
    const bool closed = close(fd_) == 0;
    fd_ = -1;
    flushed_ = synced && closed;
    return flushed_;
  }

  bool Commit() override {
    if (committed_ || !Flush()) return false;
    if (temporaryPath_.empty()) return committed_ = true;  // written in place
    if (rename(temporaryPath_.c_str(), destination_.c_str()) != 0) return false;
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

  int fd_;
  std::string temporaryPath_;
  std::string destination_;
  std::string folder_;
  bool flushed_ = false;
  bool committed_ = false;
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

}  // namespace

std::unique_ptr<InputFile> PosixFilePort::OpenForRead(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixInputFile>(fd);
}

std::unique_ptr<OutputFile> PosixFilePort::CreateForWrite(const std::string& path) {
  const std::string::size_type slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return nullptr;
  // refuse a destination that could not be written either (a folder, a
  // read-only file) before any work is done
  const int probe = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  const bool exists = probe >= 0 || errno != ENOENT;
  if (exists && probe < 0) return nullptr;
  if (probe >= 0) close(probe);
  // a fresh name beside the destination, so the final rename stays on one file system;
  // created like any new file (0666 less the umask), not private as mkstemp would make it
  for (uint32_t attempt = 0; attempt < 100; ++attempt) {
    const std::string temporary = folder + "." + name + "." + TemporarySuffix(attempt);
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return std::make_unique<PosixOutputFile>(fd, temporary, path, folder);
    if (errno != EEXIST) break;
  }
  // the folder takes no new file: a destination that is there and writable
  // is written in place
  if (!exists) return nullptr;
  const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixOutputFile>(fd, std::string(), path, folder);
}

}  // namespace zq
