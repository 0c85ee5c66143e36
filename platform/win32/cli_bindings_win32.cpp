// The command line's view of Windows: the same bindings as the window's.
#include "platform/win32/win32_headers.h"

#include <cstring>

#include "cli/output_paths.h"
#include "cli/report.h"
#include "cli/stop_requests.h"
#include "cli/system_storage.h"
#include "cli/terminal.h"
#include "platform/nt/usb_identity.h"
#include "platform/nt/volume_check.h"
#include "platform/win32/code_page_win32.h"
#include "platform/win32/device_tree_win32.h"
#include "platform/win32/files_win32.h"
#include "platform/win32/pass_through_win32.h"
#include "platform/win32/platform_win32.h"
#include "platform/win32/standard_streams_win32.h"
#include "platform/win32/system_library.h"

namespace zq::cli {
namespace {

// The command line's hold on a bridge: devices are opened shared, so a run
// claims each bridge it opens by a named mutex, held until the device is
// closed; a second run is told the bridge is in use. Every bridge that
// cannot be opened is remembered with the system's reason.
class ClaimingPort final : public PassThroughPort {
 public:
  explicit ClaimingPort(PassThroughPort& bridges, Win32PassThroughPort& system)
      : bridges_(bridges), system_(system) {}
  ~ClaimingPort() override {
    for (auto& claim : claims_) CloseHandle(claim.second);
  }

  std::unique_ptr<InterfaceList> ListInterfaces(InterfaceClass cls) override {
    return bridges_.ListInterfaces(cls);
  }
  DeviceHandle Open(const std::string& path) override {
    std::string name = "zq5210-bridge-";
    for (const char c : path) name += c == '\\' ? '#' : c;
    if (name.size() >= MAX_PATH) name.resize(MAX_PATH - 1);
    const HANDLE claim = CreateMutexA(nullptr, FALSE, name.c_str());
    if (claim != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
      CloseHandle(claim);
      problems.push_back({path, ProblemKind::InUse, path + ": in use by another zq5210"});
      return INVALID_DEVICE_HANDLE;
    }
    const DeviceHandle device = bridges_.Open(path);
    if (device == INVALID_DEVICE_HANDLE) {
      if (claim != nullptr) CloseHandle(claim);
      const uint32_t error = system_.LastOpenError();
      if (error == ERROR_ACCESS_DENIED) {
        problems.push_back({path, ProblemKind::PermissionDenied,
                            path + ": access denied: run zq5210 from an elevated prompt"});
      } else if (error == ERROR_SHARING_VIOLATION) {
        problems.push_back({path, ProblemKind::InUse, path + ": in use by another program"});
      } else {
        problems.push_back({path, ProblemKind::Other,
                            path + ": cannot be opened (error " + std::to_string(error) + ")"});
      }
      return device;
    }
    if (claim != nullptr) claims_.emplace_back(device, claim);
    return device;
  }
  bool Control(DeviceHandle device, PassThroughBuffer& buffer, uint32_t inputSize,
               uint32_t outputSize) override {
    return bridges_.Control(device, buffer, inputSize, outputSize);
  }
  void Close(DeviceHandle device) override {
    bridges_.Close(device);
    for (auto claim = claims_.begin(); claim != claims_.end(); ++claim) {
      if (claim->first != device) continue;
      CloseHandle(claim->second);
      claims_.erase(claim);
      break;
    }
  }
  void Sleep(uint32_t milliseconds) override { bridges_.Sleep(milliseconds); }

  std::vector<DeviceProblem> problems;

 private:
  PassThroughPort& bridges_;
  Win32PassThroughPort& system_;
  std::vector<std::pair<DeviceHandle, HANDLE>> claims_;
};

// Windows NT's storage stack as the device tree tells it: only interfaces
// on a bridge's USB device are listed and opened, each named by its
// interface path and known by its disk number, letters, serial and port.
// ASPI names its targets by adapter and target, which is all there is.
class Win32Storage final : public SystemStorage {
 public:
  Platform& Ports() override { return platform_; }

  DeviceDetails Describe(const std::string& device) override {
    const nt::StorageDevice* found = nt::FindByPath(Walk(), device);
    if (found == nullptr) return {};
    std::string disk = found->storageName;
    for (const std::string& point : found->mountPoints) disk += (disk.empty() ? "" : " ") + point;
    return {found->usbPort, found->serial, disk};
  }

  bool Resolve(const std::string& wanted, std::vector<std::string>& devices,
               std::string& problem) override {
    return nt::ResolveDeviceName(Walk(), wanted, devices, problem);
  }

  bool MountPoints(const std::string& device, std::vector<std::string>& points,
                   std::string& problem) override {
    return nt::MountPointsOf(tree_, Walk(), device, points, problem);
  }

  std::vector<DeviceProblem> OpenProblems() override { return claiming_.problems; }

  bool CanDismount() const override { return true; }

  bool ClaimDisk(const std::string& device, std::string& problem) override {
    if (!dismountVolumes) return SystemStorage::ClaimDisk(device, problem);
    const nt::StorageDevice* found = nt::FindByPath(Walk(), device);
    if (found == nullptr || !found->numbered) {
      problem = "its disk cannot be told, so its volumes cannot be held";
      return false;
    }
    // held, locked and dismounted, until this storage goes with the command
    held_.push_back(std::make_unique<nt::HeldVolumes>(locker_));
    return held_.back()->Take(tree_, found->number, problem);
  }
  bool AccessWasDenied() override { return PassThroughAccessWasDenied(); }

 private:
  const std::vector<nt::StorageDevice>& Walk() {
    if (!walked_) {
      bool listed = false;
      devices_ = nt::WalkStorage(tree_, listed);
      walked_ = true;
    }
    return devices_;
  }

  FinerTimer timer_;  // erase polls 5 ms apart
  Win32DeviceTree tree_;
  Win32PassThroughPort system_{true};
  nt::BridgeOnlyPassThroughPort bridges_{system_, tree_};
  ClaimingPort claiming_{bridges_, system_};
  Win32Platform platform_{claiming_};
  bool walked_ = false;
  std::vector<nt::StorageDevice> devices_;
  Win32VolumeLocker locker_;
  std::vector<std::unique_ptr<nt::HeldVolumes>> held_;
};

BOOL WINAPI OnConsoleStop(DWORD) {
  // while the flash is being rewritten the request waits; otherwise the
  // default handler ends the process, after the JSON object a script waits for
  if (NoteStopRequest() != StopTiming::AtOnce) return TRUE;
  RestoreConsoleMode();  // the default handler ends the process without exit()
  const char* report = StoppedReport();
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), report, static_cast<DWORD>(std::strlen(report)),
            &written, nullptr);
  return FALSE;
}

}  // namespace

std::unique_ptr<FilePort> MakeFilePort() {
  return std::make_unique<Win32FilePort>();
}

bool StderrTakesProgressBar() {
  // a console that takes escape sequences; older ones get plain lines
  return StandardErrorTakesEscapes();
}

bool StdinIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != FALSE;
}

void KeepStandardStreamsOpen() {
  ReopenClosedStandardStreams();
}

bool AskOnTerminal(const std::string& question) {
  // the console itself, wherever the standard handles were sent
  const HANDLE out =
      CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  const HANDLE in =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  std::string answer;
  DWORD done = 0;
  if (out != INVALID_HANDLE_VALUE && in != INVALID_HANDLE_VALUE &&
      WriteFile(out, question.data(), static_cast<DWORD>(question.size()), &done, nullptr)) {
    char line[32] = {};
    if (ReadFile(in, line, sizeof line - 1, &done, nullptr)) answer.assign(line, done);
  }
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
  return answer == "y" || answer == "Y" || answer == "yes";
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

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsStandardOutput(const std::string& path) {
  return path == "-";
}

bool IsPathLeadByte(uint8_t byte) {
  return IsSystemLeadByte(byte);
}

}  // namespace zq::cli
