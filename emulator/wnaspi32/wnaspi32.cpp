// An ASPI for Win32 layer serving one emulated bridge. Requests are left
// pending and completed a little later from a thread of their own, which
// then signals the request's event, as a real layer does.
//
// Set-up from the environment (this is a test double):
//   ZQ_EMU_FLASH    file keeping the 65 536 flash bytes (created erased)
//   ZQ_EMU_RECORD   the chip record as 24 hex digits
//   ZQ_EMU_BUSY     busy answers after each erase (default 2)
//   ZQ_EMU_FAULT    faults, comma-separated ("write:3,stuck", ...)
//   ZQ_EMU_ADAPTERS host adapters reported (default 1)
//   ZQ_EMU_TARGET   the bridge's address as "adapter:target" (default 0:0)
//   ZQ_EMU_DELAY    milliseconds before a request completes (default 20)

#include <cstdio>
#include <cstdlib>
#include <string>

#include "emulator/bridge_device.h"
#include "emulator/emulated_aspi.h"
#include "emulator/emulated_setup.h"
#include "emulator/flash_file.h"
#include "platform/win32/files_win32.h"
#include "platform/win32/win32_headers.h"

namespace zq {
namespace {

// The runtime's thread library is not linked in; a critical section is all
// the lock this needs.
class Lock {
 public:
  Lock() { InitializeCriticalSection(&section_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void Enter() { EnterCriticalSection(&section_); }
  void Leave() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

struct Server {
  Lock lock;  // one request at a time reaches the device
  BridgeDevice bridge;
  Win32FilePort files;
  std::string flashPath;
  bool usable = true;
  uint8_t adapters = 1;
  uint8_t bridgeAdapter = 0;
  uint8_t bridgeTarget = 0;
  DWORD delay = 20;
};

void Refuse(Server& server, const char* what) {
  std::fprintf(stderr, "WNASPI32 (emulated): bad %s\n", what);
  server.usable = false;
}

void Configure(Server& server) {
  std::string problem;
  if (!ConfigureFromEnvironment(server.files, server.bridge, server.flashPath, problem)) {
    std::fprintf(stderr, "WNASPI32 (emulated): %s\n", problem.c_str());
    server.usable = false;
  }
  uint32_t number = 0;
  const std::string adapters = EnvironmentSetting("ZQ_EMU_ADAPTERS");
  if (!adapters.empty()) {
    if (ParseNumber(adapters, 10, 0, 255, number)) {
      server.adapters = static_cast<uint8_t>(number);
    } else {
      Refuse(server, "ZQ_EMU_ADAPTERS");
    }
  }
  const std::string target = EnvironmentSetting("ZQ_EMU_TARGET");
  if (!target.empty()) {
    const size_t colon = target.find(':');
    uint32_t a = 0, t = 0;
    if (colon != std::string::npos && ParseNumber(target.substr(0, colon), 10, 0, 255, a) &&
        ParseNumber(target.substr(colon + 1), 10, 0, ASPI_TARGETS_PER_ADAPTER - 1, t)) {
      server.bridgeAdapter = static_cast<uint8_t>(a);
      server.bridgeTarget = static_cast<uint8_t>(t);
    } else {
      Refuse(server, "ZQ_EMU_TARGET");
    }
  }
  const std::string delay = EnvironmentSetting("ZQ_EMU_DELAY");
  if (!delay.empty()) {
    if (ParseNumber(delay, 10, 0, 60000, number)) {
      server.delay = number;
    } else {
      Refuse(server, "ZQ_EMU_DELAY");
    }
  }
}

// Set up on first use, never torn down: a request may still be completing
// when the process ends.
Server& TheServer() {
  static Server* server = [] {
    auto* created = new Server();
    Configure(*created);
    return created;
  }();
  return *server;
}

uint8_t Serve(Server& server, SrbExecScsiCmd& request) {
  if (request.SRB_HaId >= server.adapters) return SS_INVALID_HA;
  if (request.SRB_HaId != server.bridgeAdapter || request.SRB_Target != server.bridgeTarget ||
      request.SRB_Lun != 0) {
    request.SRB_HaStat = HASTAT_SEL_TO;
    return SS_NO_DEVICE;
  }
  const uint8_t opcode = request.SRB_CDBLen > 0 ? request.CDBByte[0] : 0;
  const uint8_t status = ServeOnBridge(server.bridge, request);
  // keep the flash across runs after every change to it
  if ((opcode == CMD_WRITE || opcode == CMD_ERASE) && !server.flashPath.empty() &&
      !SaveFlashFile(server.files, server.flashPath, server.bridge.Flash())) {
    std::fprintf(stderr, "WNASPI32 (emulated): cannot save %s\n", server.flashPath.c_str());
  }
  return status;
}

void Complete(Server& server, SrbExecScsiCmd& request) {
  server.lock.Enter();
  const uint8_t status = Serve(server, request);
  // the data is in place before the status says so
  MemoryBarrier();
  request.SRB_Status = status;
  server.lock.Leave();
  if ((request.SRB_Flags & SRB_EVENT_NOTIFY) != 0 && request.SRB_PostProc != nullptr) {
    SetEvent(static_cast<HANDLE>(request.SRB_PostProc));
  }
}

// The library's image starts where the memory holding its data was
// allocated; GetModuleHandleExA would say so too, but only from XP on.
HMODULE ThisModule() {
  static const char inImage = 0;
  MEMORY_BASIC_INFORMATION memory;
  if (VirtualQuery(&inImage, &memory, sizeof memory) == 0) return nullptr;
  return static_cast<HMODULE>(memory.AllocationBase);
}

// One more reference on the library, taken by loading it again by its path.
HMODULE PinThisModule() {
  char path[MAX_PATH + 1] = {};
  const HMODULE module = ThisModule();
  if (module == nullptr || GetModuleFileNameA(module, path, MAX_PATH) == 0) return nullptr;
  return LoadLibraryA(path);
}

DWORD WINAPI CompleteLater(void* parameter) {
  auto* request = static_cast<SrbExecScsiCmd*>(parameter);
  Server& server = TheServer();
  ::Sleep(server.delay);
  Complete(server, *request);
  // the thread holds a reference on the library so it is not unloaded
  // under the code still running here
  FreeLibraryAndExitThread(ThisModule(), 0);
}

}  // namespace
}  // namespace zq

extern "C" {

__declspec(dllexport) DWORD __cdecl GetASPI32SupportInfo() {
  const zq::Server& server = zq::TheServer();
  if (!server.usable) return static_cast<DWORD>(zq::SS_ERR) << 8;
  return static_cast<DWORD>(zq::SS_COMP) << 8 | server.adapters;
}

__declspec(dllexport) DWORD __cdecl SendASPI32Command(void* srb) {
  using namespace zq;
  if (srb == nullptr) return SS_INVALID_SRB;
  auto* request = static_cast<SrbExecScsiCmd*>(srb);
  Server& server = TheServer();
  // only execute-SCSI requests are served; other blocks share just the header
  if (request->SRB_Cmd != SC_EXEC_SCSI_CMD || !server.usable) {
    request->SRB_Status = SS_INVALID_CMD;
    return SS_INVALID_CMD;
  }
  request->SRB_Status = SS_PENDING;
  // one more reference on the library for the completing thread
  const HMODULE pinned = PinThisModule();
  HANDLE thread = CreateThread(nullptr, 0, &CompleteLater, request, 0, nullptr);
  if (thread == nullptr) {
    if (pinned != nullptr) FreeLibrary(pinned);
    Complete(server, *request);
    return request->SRB_Status;
  }
  CloseHandle(thread);
  return SS_PENDING;
}

}  // extern "C"
