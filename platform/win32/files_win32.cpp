#include "platform/win32/files_win32.h"

#include "platform/win32/win32_headers.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>

#include "app/path_name.h"
#include "platform/win32/code_page_win32.h"
#include "platform/win32/platform_win32.h"
#include "platform/win32/system_text_win32.h"

#include <string>
#include <utility>

namespace zq {
namespace {

using Report = std::shared_ptr<std::string>;

void Fail(const Report& report, const std::string& path, const std::string& why) {
  *report = "'" + path + "': " + why;
}

class Win32InputFile : public InputFile {
 public:
  explicit Win32InputFile(HANDLE file) : file_(file) {}
  ~Win32InputFile() override { CloseHandle(file_); }
  Win32InputFile(const Win32InputFile&) = delete;
  Win32InputFile& operator=(const Win32InputFile&) = delete;

  bool GetSize(uint32_t& size) override {
    DWORD high = 0;
    const DWORD low = GetFileSize(file_, &high);
    // all ones is also a valid low half; only the error code tells them apart
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
    size = low;
    return true;
  }

  bool Read(uint8_t* buffer, uint32_t length, uint32_t& got) override {
    DWORD read = 0;
    const BOOL ok = ReadFile(file_, buffer, length, &read, nullptr);
    got = read;
    return ok != FALSE;
  }

 private:
  HANDLE file_;
};

// Writes to a temporary beside the destination and moves it over the
// destination on Commit.
class Win32OutputFile : public OutputFile {
 public:
  Win32OutputFile(HANDLE file, std::string temporary, std::string destination, Report report)
      : file_(file),
        temporary_(std::move(temporary)),
        destination_(std::move(destination)),
        report_(std::move(report)) {}
  ~Win32OutputFile() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    if (!committed_) DeleteFileA(temporary_.c_str());
  }
  Win32OutputFile(const Win32OutputFile&) = delete;
  Win32OutputFile& operator=(const Win32OutputFile&) = delete;

  bool Write(const uint8_t* data, uint32_t length, uint32_t& written) override {
    DWORD done = 0;
    const BOOL ok = file_ != INVALID_HANDLE_VALUE && WriteFile(file_, data, length, &done, nullptr);
    written = done;
    if (!ok || done != length) {
      Fail(report_, destination_, SystemReason(ok ? ERROR_DISK_FULL : GetLastError()));
      incomplete_ = true;
    }
    return ok != FALSE;
  }

  bool Flush() override {
    if (file_ == INVALID_HANDLE_VALUE) return flushed_;
    const bool flushed = FlushFileBuffers(file_) != FALSE;
    const DWORD flushError = GetLastError();
    const bool closed = CloseHandle(file_) != FALSE;
    file_ = INVALID_HANDLE_VALUE;
    flushed_ = flushed && closed;
    if (!flushed_) Fail(report_, destination_, SystemReason(flushed ? GetLastError() : flushError));
    return flushed_;
  }

  bool Commit() override {
    // a file with a failed or short write never replaces the destination
    if (committed_ || incomplete_ || !Flush()) return false;
    // a read-only file is not ours to replace, whatever the file system allows
    const DWORD attributes = GetFileAttributesA(destination_.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
      Fail(report_, destination_, SystemReason(ERROR_ACCESS_DENIED));
      return false;
    }
    // the consumer family's MoveFileExA fails whatever it says: not asked there
    const bool consumer = QueryPlatformFamily() == PlatformFamily::Consumer;
    if (consumer ? !ReplaceByRenames()
                 : !MoveFileExA(temporary_.c_str(), destination_.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      Fail(report_, destination_, SystemReason(GetLastError()));
      return false;
    }
    committed_ = true;
    return true;
  }

 private:
  // The consumer family has no replacing move: set the old file aside, move
  // the new one in, and put the old one back if that fails.
  bool ReplaceByRenames() {
    const std::string aside = temporary_ + ".old";
    const bool hadOld = GetFileAttributesA(destination_.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (hadOld && !MoveFileA(destination_.c_str(), aside.c_str())) return false;
    if (!MoveFileA(temporary_.c_str(), destination_.c_str())) {
      if (hadOld) MoveFileA(aside.c_str(), destination_.c_str());
      return false;
    }
    if (hadOld) DeleteFileA(aside.c_str());
    return true;
  }

  HANDLE file_;
  std::string temporary_;
  std::string destination_;
  Report report_;
  bool incomplete_ = false;
  bool flushed_ = false;
  bool committed_ = false;
};

// Standard output, written as it is: bytes through the handle itself, never
// through the run-time's text mode, which would add a carriage return
// before each line feed.
class StandardOutputFile : public OutputFile {
 public:
  explicit StandardOutputFile(Report report) : report_(std::move(report)) {}

  bool Write(const uint8_t* data, uint32_t length, uint32_t& written) override {
    written = 0;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    // a pipe may take less than asked at a time, and consoles before 8
    // refuse one large write
    constexpr uint32_t MOST_AT_ONCE = 16384;
    while (written < length) {
      DWORD done = 0;
      const DWORD want = (std::min)(length - written, MOST_AT_ONCE);
      if (out == nullptr || out == INVALID_HANDLE_VALUE ||
          !WriteFile(out, data + written, want, &done, nullptr) || done == 0) {
        const DWORD error =
            out == nullptr || out == INVALID_HANDLE_VALUE ? ERROR_INVALID_HANDLE : GetLastError();
        Fail(report_, "standard output", SystemReason(error == NO_ERROR ? ERROR_DISK_FULL : error));
        failed_ = true;
        return false;
      }
      written += done;
    }
    return true;
  }
  bool Flush() override { return !failed_; }
  bool Commit() override { return !failed_; }

 private:
  Report report_;
  bool failed_ = false;
};

// Each append goes to the file's end as it is then and is flushed to the
// disk before the next; systems before NT know no append-only access, so
// the end is sought for each.
class Win32AppendFile : public AppendFile {
 public:
  Win32AppendFile(HANDLE file, std::string name, Report report)
      : file_(file),
        disk_(GetFileType(file) == FILE_TYPE_DISK),
        name_(std::move(name)),
        report_(std::move(report)) {}
  ~Win32AppendFile() override { CloseHandle(file_); }
  Win32AppendFile(const Win32AppendFile&) = delete;
  Win32AppendFile& operator=(const Win32AppendFile&) = delete;

  bool Append(const uint8_t* data, uint32_t length) override {
    LONG high = 0;
    // a device or pipe has no end to seek and nothing to flush
    if (disk_ && SetFilePointer(file_, 0, &high, FILE_END) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR) {
      return Failed(GetLastError());
    }
    uint32_t written = 0;
    while (written < length) {
      DWORD done = 0;
      if (!WriteFile(file_, data + written, length - written, &done, nullptr)) {
        return Failed(GetLastError());
      }
      if (done == 0) return Failed(ERROR_DISK_FULL);
      written += done;
    }
    if (disk_ && !FlushFileBuffers(file_)) return Failed(GetLastError());
    return true;
  }

 private:
  bool Failed(DWORD error) {
    Fail(report_, name_, SystemReason(error));
    return false;
  }

  HANDLE file_;
  bool disk_;
  std::string name_;
  Report report_;
};

// Opens an existing destination for writing, as the save will: a read-only
// file, a folder or a file another program holds without sharing refuse it.
HANDLE OpenDestination(const std::string& path, DWORD disposition) {
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const size_t start = FileNameStart(path, &IsSystemLeadByte);
  if (start == 0) return ".";
  const size_t slash = start - 1;
  if (slash == 0) return path.substr(0, 1);                    // "\name": the root
  if (slash == 2 && path[1] == ':') return path.substr(0, 3);  // "C:\name"
  return path.substr(0, slash);
}

std::unique_ptr<AppendFile> Win32FilePort::OpenForAppend(const std::string& path) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Fail(lastFailure_, path, SystemReason(GetLastError()));
    return nullptr;
  }
  return std::make_unique<Win32AppendFile>(file, path, lastFailure_);
}

std::unique_ptr<InputFile> Win32FilePort::OpenForRead(const std::string& path) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Fail(lastFailure_, path, SystemReason(GetLastError()));
    return nullptr;
  }
  return std::make_unique<Win32InputFile>(file);
}

std::unique_ptr<OutputFile> Win32FilePort::CreateForWrite(const std::string& path) {
  if (path == "-") {
    // whatever the run-time buffered goes first; anything it writes later
    // goes out unchanged as well
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    return std::make_unique<StandardOutputFile>(lastFailure_);
  }
  // refuse a destination that is a folder before making anything
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    Fail(lastFailure_, path, "is a folder");
    return nullptr;
  }
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists) {
    // refuse one that could not be written either, before any work is done
    const HANDLE probe = OpenDestination(path, OPEN_EXISTING);
    if (probe == INVALID_HANDLE_VALUE) {
      Fail(lastFailure_, path, SystemReason(GetLastError()));
      return nullptr;
    }
    CloseHandle(probe);
  }
  char temporary[MAX_PATH] = {};
  // makes a new, empty, uniquely named file beside the destination
  if (GetTempFileNameA(FolderOf(path).c_str(), "zq", 0, temporary) != 0) {
    const HANDLE file = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      return std::make_unique<Win32OutputFile>(file, temporary, path, lastFailure_);
    }
    const DWORD error = GetLastError();
    DeleteFileA(temporary);
    SetLastError(error);
  }
  // the folder takes no new file (full, locked): writing the destination in
  // place would destroy it before the new bytes are whole
  const std::string reason = SystemReason(GetLastError());
  Fail(lastFailure_, path,
       exists ? reason + " (no new file can be made beside it); it was left as it was" : reason);
  return nullptr;
}

}  // namespace zq
