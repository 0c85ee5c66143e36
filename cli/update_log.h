// The update log (--log FILE): the record a station keeps of what it
// flashed. One JSON object a line for each bridge whose update ended, in the
// order they ended, appended and on the disk before the next line; the file
// is never truncated or rewritten. Once a line cannot be written no further
// bridge begins an erase, so nothing is flashed without its line.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/bridge_run.h"
#include "cli/sha256.h"
#include "image/file_port.h"

namespace zq::cli {

// Reads through another port, hashing the bytes of the last file opened
// as they are read: the digest is of exactly what was loaded.
class HashingFilePort final : public FilePort {
 public:
  explicit HashingFilePort(FilePort& inner) : inner_(inner) {}
  std::unique_ptr<InputFile> OpenForRead(const std::string& path) override;
  std::unique_ptr<OutputFile> CreateForWrite(const std::string& path) override {
    return inner_.CreateForWrite(path);
  }
  std::string LastFailure() const override { return inner_.LastFailure(); }
  std::string HexDigest() { return sha_.HexDigest(); }

 private:
  FilePort& inner_;
  Sha256 sha_;
};

// What a line tells of the image, the same for every bridge of a run.
struct LoggedImage {
  std::string path;  // as given
  std::string sha256;
};

// One bridge's line, without its newline. `finished` is when it ended.
nlohmann::ordered_json LogLine(const BridgeRun& run, const LoggedImage& image, bool verify,
                               uint32_t writeLength,
                               std::chrono::system_clock::time_point finished);

class UpdateLog {
 public:
  // Opens `path` for appending through `files`; false once it said why.
  bool Open(FilePort& files, const std::string& path);
  bool IsOpen() const { return file_ != nullptr; }
  void SetImage(LoggedImage image) { image_ = std::move(image); }
  // Appends `run`'s line now, when one is open; several threads may call.
  // A line that cannot be written is said, and refuses further erases.
  void Record(const BridgeRun& run, bool verify, uint32_t writeLength);
  // Why a line was lost, naming the file; empty while none was.
  std::string Failure() const;

 private:
  FilePort* files_ = nullptr;
  std::string path_;
  std::unique_ptr<AppendFile> file_;
  LoggedImage image_;
  std::string failure_;
  std::atomic_flag busy_;  // clear until held; no mutex on Windows
};

}  // namespace zq::cli
