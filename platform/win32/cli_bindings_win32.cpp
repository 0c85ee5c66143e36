// The command line's view of Windows: the same bindings as the window's.
#include "platform/win32/win32_headers.h"

#include "cli/host_bindings.h"
#include "emulator/emulated_setup.h"
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
  DeviceDetails Describe(const std::string&) override { return {}; }
  bool Resolve(const std::string& wanted, std::vector<std::string>& devices,
               std::string&) override {
    devices.push_back(wanted);  // matched against the names discovery gives
    return true;
  }
  std::vector<std::string> OpenProblems() override { return {}; }
  bool MountPoints(const std::string&, std::vector<std::string>&, std::string&) override {
    return true;
  }

 private:
  Win32Platform platform_;
};

BOOL WINAPI OnConsoleStop(DWORD) {
  // while the flash is being rewritten the request waits; otherwise the
  // default handler ends the process
  return NoteStopRequest() == StopTiming::AtOnce ? FALSE : TRUE;
}

class Win32FlashFile final : public FlashFile {
 public:
  explicit Win32FlashFile(HANDLE file) : file_(file) {}
  ~Win32FlashFile() override {
    FlushFileBuffers(file_);
    CloseHandle(file_);
  }
  Win32FlashFile(const Win32FlashFile&) = delete;
  Win32FlashFile& operator=(const Win32FlashFile&) = delete;

  bool Store(uint32_t offset, const uint8_t* bytes, uint32_t length) override {
    if (SetFilePointer(file_, static_cast<LONG>(offset), nullptr, FILE_BEGIN) ==
        INVALID_SET_FILE_POINTER) {
      return false;
    }
    DWORD done = 0;
    return WriteFile(file_, bytes, length, &done, nullptr) != FALSE && done == length;
  }

 private:
  HANDLE file_;
};

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

std::unique_ptr<FlashFile> OpenFlashFile(const std::string& path, FilePort& files,
                                         std::array<uint8_t, EMULATED_FLASH_SIZE>& flash,
                                         FlashFileState& state, std::string& problem) {
  state = FlashFileState::Unusable;
  if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (!CreateErasedFlashFile(files, path)) {
      problem = "'" + path + "': cannot be created";
      return nullptr;
    }
  }
  // not shared: a second run is told the bridge is in use
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_SHARING_VIOLATION) {
      state = FlashFileState::InUse;
      problem = "'" + path + "': the emulated bridge is in use by another run";
    } else {
      problem = "'" + path + "': cannot be opened";
    }
    return nullptr;
  }
  DWORD high = 0;
  DWORD got = 0;
  if (GetFileSize(file, &high) != EMULATED_FLASH_SIZE || high != 0 ||
      !ReadFile(file, flash.data(), EMULATED_FLASH_SIZE, &got, nullptr) ||
      got != EMULATED_FLASH_SIZE) {
    CloseHandle(file);
    problem = "'" + path + "': not a flash file of 65536 bytes";
    return nullptr;
  }
  state = FlashFileState::Open;
  return std::make_unique<Win32FlashFile>(file);
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
    DWORD id = 0;  // 95 and 98 refuse a null pointer here
    const HANDLE thread =
        CreateThread(nullptr, 0, RunJob, const_cast<std::function<void()>*>(&job), 0, &id);
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

bool DeviceAccessWasDenied() {
  return PassThroughAccessWasDenied();
}

bool IsPathLeadByte(uint8_t byte) {
  return IsSystemLeadByte(byte);
}

}  // namespace zq::cli
