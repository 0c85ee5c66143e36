// The files the tool reads images from and writes ROM dumps to.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zq {

class InputFile {
 public:
  virtual ~InputFile() = default;
  // The size's low 32 bits; false when the size cannot be learnt.
  virtual bool GetSize(uint32_t& size) = 0;
  // One read from the current position; `got` may be less than `length`.
  virtual bool Read(uint8_t* buffer, uint32_t length, uint32_t& got) = 0;
};

// A file being written. Nothing replaces the destination until Commit
// succeeds; dropping an uncommitted file leaves the destination as it was.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  virtual bool Write(const uint8_t* data, uint32_t length, uint32_t& written) = 0;
  // Gets what was written onto the disk; false is a failed write.
  virtual bool Flush() { return true; }
  // Puts the file in the destination's place; false when it cannot be replaced.
  virtual bool Commit() = 0;
};

// A record that only grows: each Append lands whole at the file's end and is
// on the disk when it returns true.
class AppendFile {
 public:
  virtual ~AppendFile() = default;
  virtual bool Append(const uint8_t* data, uint32_t length) = 0;
};

class FilePort {
 public:
  virtual ~FilePort() = default;
  // Opened for reading, shared with other readers; null when it cannot be opened.
  virtual std::unique_ptr<InputFile> OpenForRead(const std::string& path) = 0;
  // Null when the destination cannot be written: a folder, a read-only
  // file, one another program holds, or a folder that takes no new file
  // (full, locked) beside it: an existing file is never written in place,
  // since a failure half-way would destroy it.
  virtual std::unique_ptr<OutputFile> CreateForWrite(const std::string& path) = 0;
  // Opened for appending, created when missing, never truncated; null when
  // it cannot be opened or the platform keeps no such files.
  virtual std::unique_ptr<AppendFile> OpenForAppend(const std::string&) { return nullptr; }
  // Why the last open, create, write or commit failed, naming the file, for
  // hosts that can show it; empty when the platform does not say.
  virtual std::string LastFailure() const { return {}; }
};

}  // namespace zq
