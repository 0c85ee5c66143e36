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
//   ZQ_EMU_TYPE     the peripheral type the bridge reports (default 0, a disk)
//   ZQ_EMU_DELAY    milliseconds before a request completes (default 20)
// Host adapter inquiries and device types are answered at once; an abort
// ends a request still waiting to complete.

#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
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
  uint8_t bridgeType = DTYPE_DASD;
  DWORD delay = 20;
  // requests taken and not yet completed, each with the ticket of the
  // thread that will complete it: a block reused for a later request is
  // not completed by the earlier one's thread
  std::map<const void*, uint32_t> waiting;
  uint32_t tickets = 0;
};

// What a completing thread is handed.
struct Completion {
  SrbExecScsiCmd* request;
  uint32_t ticket;
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
  const std::string type = EnvironmentSetting("ZQ_EMU_TYPE");
  if (!type.empty()) {
    if (ParseNumber(type, 10, 0, 0x1F, number)) {
      server.bridgeType = static_cast<uint8_t>(number);
    } else {
      Refuse(server, "ZQ_EMU_TYPE");
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

void Signal(SrbExecScsiCmd& request) {
  if ((request.SRB_Flags & SRB_EVENT_NOTIFY) != 0 && request.SRB_PostProc != nullptr) {
    SetEvent(static_cast<HANDLE>(request.SRB_PostProc));
  }
}

// Completes the request unless an abort has already ended it. Holding the
// lock keeps an abort from ending it meanwhile.
void Complete(Server& server, const Completion& completion) {
  server.lock.Enter();
  const auto waiting = server.waiting.find(completion.request);
  if (waiting == server.waiting.end() || waiting->second != completion.ticket) {
    server.lock.Leave();
    return;
  }
  server.waiting.erase(waiting);
  SrbExecScsiCmd& request = *completion.request;
  const uint8_t status = Serve(server, request);
  // the data is in place before the status says so
  MemoryBarrier();
  request.SRB_Status = status;
  Signal(request);
  server.lock.Leave();
}

// Ends a waiting request as aborted; false when none is waiting there.
bool AbortWaiting(Server& server, const void* block) {
  server.lock.Enter();
  const auto waiting = server.waiting.find(block);
  const bool found = waiting != server.waiting.end();
  if (found) {
    server.waiting.erase(waiting);
    auto* request = static_cast<SrbExecScsiCmd*>(const_cast<void*>(block));
    request->SRB_Status = SS_ABORTED;
    Signal(*request);
  }
  server.lock.Leave();
  return found;
}

uint8_t DeviceType(const Server& server, SrbGetDevType& request) {
  const uint8_t adapter = request.header.SRB_HaId;
  if (adapter >= server.adapters) return SS_INVALID_HA;
  if (adapter != server.bridgeAdapter || request.SRB_Target != server.bridgeTarget ||
      request.SRB_Lun != 0) {
    return SS_NO_DEVICE;
  }
  request.SRB_DeviceType = server.bridgeType;
  return SS_COMP;
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
  const Completion completion = *static_cast<Completion*>(parameter);
  delete static_cast<Completion*>(parameter);
  Server& server = TheServer();
  ::Sleep(server.delay);
  Complete(server, completion);
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
  Server& server = TheServer();
  // every block starts with the command and the status
  auto* header = static_cast<uint8_t*>(srb);
  uint8_t& status = header[1];
  if (!server.usable) {
    status = SS_INVALID_CMD;
    return status;
  }
  switch (header[0]) {
    case SC_HA_INQUIRY:
      status = AnswerHaInquiry(*static_cast<SrbHaInquiry*>(srb), server.adapters,
                               ASPI_TARGETS_PER_ADAPTER);
      return status;
    case SC_GET_DEV_TYPE:
      status = DeviceType(server, *static_cast<SrbGetDevType*>(srb));
      return status;
    case SC_ABORT_SRB:
      // the abort itself completes whether or not the request was still waiting
      AbortWaiting(server, static_cast<SrbAbort*>(srb)->SRB_ToAbort);
      status = SS_COMP;
      return status;
    case SC_EXEC_SCSI_CMD:
      break;
    default:
      status = SS_INVALID_CMD;
      return status;
  }

  auto* request = static_cast<SrbExecScsiCmd*>(srb);
  request->SRB_Status = SS_PENDING;
  server.lock.Enter();
  const Completion completion{request, ++server.tickets};
  server.waiting[request] = completion.ticket;
  server.lock.Leave();

  // one more reference on the library for the completing thread
  const HMODULE pinned = PinThisModule();
  auto* handed = new (std::nothrow) Completion(completion);
  // 95 and 98 refuse to start a thread without somewhere to put its ID
  DWORD threadId = 0;
  HANDLE thread =
      handed != nullptr ? CreateThread(nullptr, 0, &CompleteLater, handed, 0, &threadId) : nullptr;
  if (thread == nullptr) {
    delete handed;
    if (pinned != nullptr) FreeLibrary(pinned);
    Complete(server, completion);
    return request->SRB_Status;
  }
  CloseHandle(thread);
  return SS_PENDING;
}

}  // extern "C"
