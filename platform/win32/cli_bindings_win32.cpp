// The command line's view of Windows: the same bindings as the window's.
#include "platform/win32/win32_headers.h"

#include "cli/output_paths.h"
#include "cli/stop_requests.h"
#include "cli/system_storage.h"
#include "cli/terminal.h"
#include "platform/win32/code_page_win32.h"
#include "platform/win32/files_win32.h"
#include "platform/win32/platform_win32.h"

namespace zq::cli {
namespace {

// The window program's storage stack; Windows names devices by interface
// path or ASPI address, which is all there is to tell about them.
class Win32Storage final : public SystemStorage {
 public:
  Platform& Ports() override { return platform_; }
  bool MountPoints(const std::string&, std::vector<std::string>&, std::string&) override {
    return true;
  }
  bool AccessWasDenied() override { return PassThroughAccessWasDenied(); }

 private:
  Win32Platform platform_;
};

BOOL WINAPI OnConsoleStop(DWORD) {
  // while the flash is being rewritten the request waits; otherwise the
  // default handler ends the process
  return NoteStopRequest() == StopTiming::AtOnce ? FALSE : TRUE;
}

}  // namespace

std::unique_ptr<FilePort> MakeFilePort() {
  return std::make_unique<Win32FilePort>();
}

bool StderrIsTerminal() {
  // a console answers the mode query; a pipe or a file does not
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
}

bool StdinIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != FALSE;
}

bool WouldReplace(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::unique_ptr<SystemStorage> MakeSystemStorage() {
  return std::make_unique<Win32Storage>();
}

void InstallStopHandlers() {
  SetConsoleCtrlHandler(OnConsoleStop, TRUE);
}

namespace {

DWORD WINAPI RunJob(LPVOID job) {
  (*static_cast<const std::function<void()>*>(job))();
  return 0;
}

}  // namespace

// The Win32-threads runtime has no std::thread: the system's own threads.
void RunTogether(const std::vector<std::function<void()>>& jobs) {
  std::vector<HANDLE> threads;
  for (const auto& job : jobs) {
    const HANDLE thread =
        CreateThread(nullptr, 0, RunJob, const_cast<std::function<void()>*>(&job), 0, nullptr);
    if (thread == nullptr) {
      job();  // no thread to be had: run it here
    } else {
      threads.push_back(thread);
    }
  }
  for (HANDLE thread : threads) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
}

bool IsStandardOutput(const std::string& path) {
  return path == "-";
}

bool IsPathLeadByte(uint8_t byte) {
  return IsSystemLeadByte(byte);
}

}  // namespace zq::cli
