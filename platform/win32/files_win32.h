// Image files and ROM dumps through the platform's file calls.
#pragma once

#include "image/file_port.h"

namespace zq {

class Win32FilePort : public FilePort {
 public:
  std::unique_ptr<InputFile> OpenForRead(const std::string& path) override;
  // Writes go to a new temporary file in the destination's folder; Commit
  // moves it over the destination, so a failed save never harms an old file.
  std::unique_ptr<OutputFile> CreateForWrite(const std::string& path) override;
};

// The folder part of a path ("." for a bare name), for placing temporaries.
std::string FolderOf(const std::string& path);

}  // namespace zq
