// Files on a POSIX system. Images are read from regular files only. A
// regular file being written goes to a new temporary file beside it (beside
// the last name of a symlink chain) and replaces it only on Commit, keeping
// its mode, so a failed save never destroys or truncates what was there;
// where no temporary can be made the save is refused. A hard-linked file
// gets the bytes copied in once room for them is set aside. A character
// device or FIFO, and "-" for standard output, is written directly.
#pragma once

#include <memory>
#include <string>

#include "image/file_port.h"

namespace zq {

class PosixFilePort : public FilePort {
 public:
  std::unique_ptr<InputFile> OpenForRead(const std::string& path) override;
  std::unique_ptr<OutputFile> CreateForWrite(const std::string& path) override;
  std::unique_ptr<AppendFile> OpenForAppend(const std::string& path) override;
  std::string LastFailure() const override { return *lastFailure_; }

 private:
  // shared with the files it hands out, which report their own failures
  std::shared_ptr<std::string> lastFailure_ = std::make_shared<std::string>();
};

// Removes the temporary files of saves still under way; safe to call from a
// signal handler, so no temporary outlives a process stopped by a signal.
void RemovePendingTemporaries();

}  // namespace zq
