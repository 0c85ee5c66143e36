// What the command line needs of the system it runs on; each platform's
// binding folder defines these.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/platform.h"
#include "image/file_port.h"

namespace zq::cli {

// The real storage stack of this system. On a system without an ASPI layer
// loading it fails, as it would on a machine where it is missing.
std::unique_ptr<Platform> MakeRealPlatform();
std::unique_ptr<FilePort> MakeFilePort();
bool StderrIsTerminal();
bool FileExists(const std::string& path);
// True once this system refused to open a device for lack of rights.
bool DeviceAccessWasDenied();
// Tells path separators apart from trail bytes of the system's code page.
bool IsPathLeadByte(uint8_t byte);

}  // namespace zq::cli
