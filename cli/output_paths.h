// Files and names as this system has them; each platform's binding folder
// defines these.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "image/file_port.h"

namespace zq::cli {

std::unique_ptr<FilePort> MakeFilePort();
// A file that saving would replace: anything under the name, a dangling
// symlink included, but not a device or FIFO, which are written as they are.
bool WouldReplace(const std::string& path);
// True for "-" and for any name of the file standard output goes to.
bool IsStandardOutput(const std::string& path);
bool IsFolder(const std::string& path);
// Tells path separators apart from trail bytes of the system's code page.
bool IsPathLeadByte(uint8_t byte);

}  // namespace zq::cli
