// Files on a POSIX system. A file being written goes to a new temporary file
// beside its destination and replaces the destination only on Commit, so a
// failed save never destroys or truncates what was there.
#pragma once

#include <memory>
#include <string>

#include "image/file_port.h"

namespace zq {

class PosixFilePort : public FilePort {
 public:
  std::unique_ptr<InputFile> OpenForRead(const std::string& path) override;
  std::unique_ptr<OutputFile> CreateForWrite(const std::string& path) override;
};

}  // namespace zq
