// The command line's view of Windows: the same bindings as the window's.
#include "platform/win32/win32_headers.h"

#include "cli/host_bindings.h"
#include "platform/win32/code_page_win32.h"
#include "platform/win32/files_win32.h"
#include "platform/win32/platform_win32.h"

namespace zq::cli {

std::unique_ptr<Platform> MakeRealPlatform() {
  return std::make_unique<Win32Platform>();
}

std::unique_ptr<FilePort> MakeFilePort() {
  return std::make_unique<Win32FilePort>();
}

bool StderrIsTerminal() {
  // a console answers the mode query; a pipe or a file does not
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
}

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool DeviceAccessWasDenied() {
  return PassThroughAccessWasDenied();
}

bool IsPathLeadByte(uint8_t byte) {
  return IsSystemLeadByte(byte);
}

}  // namespace zq::cli
