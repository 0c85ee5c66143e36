// Image files and ROM dumps through the platform's file calls.
#pragma once

#include <memory>
#include <string>

#include "image/file_port.h"

namespace zq {

class Win32FilePort : public FilePort {
 public:
  std::unique_ptr<InputFile> OpenForRead(const std::string& path) override;
  // Writes go to a new temporary file in the destination's folder; Commit
  // moves it over the destination, so a failed save never harms an old file.
  // Where no temporary can be made the save is refused. "-" is standard
  // output, written byte for byte.
  std::unique_ptr<OutputFile> CreateForWrite(const std::string& path) override;
  // Shared with readers; each append goes to the end and is flushed.
  std::unique_ptr<AppendFile> OpenForAppend(const std::string& path) override;
  std::string LastFailure() const override { return *lastFailure_; }

 private:
  // shared with the files it hands out, which report their own failures
  std::shared_ptr<std::string> lastFailure_ = std::make_shared<std::string>();
};

// The folder part of a path ("." for a bare name), for placing temporaries.
std::string FolderOf(const std::string& path);

}  // namespace zq
