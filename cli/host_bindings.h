// What the command line needs of the system it runs on; each platform's
// binding folder defines these.
#pragma once

#include <memory>

#include "app/platform.h"
#include "image/file_port.h"

namespace zq::cli {

// The real storage stack of this system. On a system without an ASPI layer
// loading it fails, as it would on a machine where it is missing.
std::unique_ptr<Platform> MakeRealPlatform();
std::unique_ptr<FilePort> MakeFilePort();
bool StderrIsTerminal();
bool FileExists(const std::string& path);

}  // namespace zq::cli
