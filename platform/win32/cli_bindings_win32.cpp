// The command line's view of Windows: the same bindings as the window's.
#include "platform/win32/win32_headers.h"

#include "cli/host_bindings.h"
#include "platform/win32/files_win32.h"
#include "platform/win32/pass_through_win32.h"
#include "platform/win32/platform_win32.h"

namespace zq::cli {
namespace {

// The platform owns the pass-through port it hands out.
class OwningWin32Platform final : public Platform {
 public:
  OwningWin32Platform() : platform_(passThrough_) {}
  uint32_t GetPlatformId() override { return platform_.GetPlatformId(); }
  bool LoadAspiLibrary() override { return platform_.LoadAspiLibrary(); }
  bool BindAspiEntryPoint(const char* name) override { return platform_.BindAspiEntryPoint(name); }
  void FreeAspiLibrary() override { platform_.FreeAspiLibrary(); }
  AspiLayer& Aspi() override { return platform_.Aspi(); }
  PassThroughPort& PassThrough() override { return platform_.PassThrough(); }

 private:
  Win32PassThroughPort passThrough_;
  Win32Platform platform_;
};

}  // namespace

std::unique_ptr<Platform> MakeRealPlatform() {
  return std::make_unique<OwningWin32Platform>();
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

}  // namespace zq::cli
