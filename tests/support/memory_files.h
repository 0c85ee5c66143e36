// An in-memory file system for tests, with faults that can be switched on.
//
//   MemoryFilePort files;
//   files.AddFile("C:\\fw\\a.hex", ":00000001FF\n");
//   files.unopenable.insert("C:\\fw\\locked.bin");   // OpenForRead gives null
//   files.faults.readShortfall = 3;                   // reads stop 3 bytes early
//
// Reads see the file as it was when it was opened. A written file lands in
// `files` (and in `commits`) only when Commit succeeds; one dropped before
// that changes nothing and is counted in `abandoned`.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "image/file_port.h"

namespace zq::test {

struct MemoryFileFaults {
  // reading
  bool sizeFails = false;                // GetSize returns false
  std::optional<uint32_t> reportedSize;  // GetSize reports this instead of the real size
  bool readFails = false;                // Read returns false, nothing read
  uint32_t readShortfall = 0;            // reads deliver this many bytes fewer than the file has
  // writing
  bool createFails = false;               // CreateForWrite returns null
  bool writeFails = false;                // Write returns false, nothing written
  std::optional<uint32_t> writeCapacity;  // total bytes a new file takes; Write is short beyond it
  bool flushFails = false;                // Flush returns false: the bytes never reach the disk
  bool commitFails = false;               // Commit returns false and the destination is kept
};

struct MemoryCommit {
  std::string path;
  std::vector<uint8_t> bytes;
};

class MemoryFilePort : public FilePort {
 public:
  void AddFile(const std::string& path, const std::vector<uint8_t>& bytes);
  void AddFile(const std::string& path, const std::string& text);

  std::unique_ptr<InputFile> OpenForRead(const std::string& path) override;
  std::unique_ptr<OutputFile> CreateForWrite(const std::string& path) override;

  std::map<std::string, std::vector<uint8_t>> files;
  std::set<std::string> unopenable;  // paths that exist but cannot be opened
  MemoryFileFaults faults;

  // What happened, for assertions.
  std::vector<std::string> opened;     // each successful OpenForRead, in order
  std::vector<uint32_t> readRequests;  // the length asked by each Read
  uint32_t sizeQueries = 0;
  std::vector<MemoryCommit> commits;  // each successful Commit, in order
  uint32_t abandoned = 0;             // written files dropped without a successful Commit
};

}  // namespace zq::test
