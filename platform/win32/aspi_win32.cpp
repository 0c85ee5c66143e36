#include "platform/win32/aspi_win32.h"

#include <cstring>

#include "platform/win32/message_pump.h"
#include "platform/win32/system_library.h"
#include "platform/win32/win32_headers.h"

namespace zq {
namespace {

HMODULE ModuleOf(void* module) {
  return static_cast<HMODULE>(module);
}

}  // namespace

bool Win32AspiLayer::Load() {
  if (module_ != nullptr) return true;
  module_ = LoadLibraryA(ASPI_LIBRARY_NAME);
  return module_ != nullptr;
}

bool Win32AspiLayer::Bind(const char* name) {
  if (module_ == nullptr || name == nullptr) return false;
  if (std::strcmp(name, ASPI_SUPPORT_INFO_ENTRY) == 0) {
    return BindEntry(ModuleOf(module_), name, getSupportInfo_);
  }
  if (std::strcmp(name, ASPI_SEND_COMMAND_ENTRY) == 0) {
    return BindEntry(ModuleOf(module_), name, sendCommand_);
  }
  return false;
}

void Win32AspiLayer::Free() {
  getSupportInfo_ = nullptr;
  sendCommand_ = nullptr;
  if (module_ != nullptr) FreeLibrary(ModuleOf(module_));
  module_ = nullptr;
}

uint32_t Win32AspiLayer::GetASPI32SupportInfo() {
  // unbound: a status of 0 reads as "no usable layer"
  if (getSupportInfo_ == nullptr) return 0;
  return static_cast<uint32_t>(getSupportInfo_());
}

template <typename Block>
uint32_t Win32AspiLayer::Send(Block* request) {
  if (sendCommand_ == nullptr) {
    // never left pending: nothing would ever complete it
    // every block has its status in its second byte
    if (request != nullptr) reinterpret_cast<uint8_t*>(request)[1] = SS_ERR;
    return SS_ERR;
  }
  return static_cast<uint32_t>(sendCommand_(request));
}

uint32_t Win32AspiLayer::SendASPI32Command(SrbExecScsiCmd* request) {
  return Send(request);
}

uint32_t Win32AspiLayer::InquireHostAdapter(SrbHaInquiry* request) {
  return Send(request);
}

uint32_t Win32AspiLayer::GetDeviceType(SrbGetDevType* request) {
  return Send(request);
}

uint32_t Win32AspiLayer::AbortRequest(SrbAbort* request) {
  return Send(request);
}

AspiEvent Win32AspiLayer::MakeEvent() {
  return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void Win32AspiLayer::ResetEvent(AspiEvent event) {
  ::ResetEvent(static_cast<HANDLE>(event));
}

bool Win32AspiLayer::WaitForEvent(AspiEvent event, uint32_t milliseconds) {
  return PumpingWait(event, milliseconds);
}

void Win32AspiLayer::CloseEvent(AspiEvent event) {
  CloseHandle(static_cast<HANDLE>(event));
}

void Win32AspiLayer::Sleep(uint32_t milliseconds) {
  // the window keeps painting through the erase wait
  PumpingSleep(milliseconds);
}

}  // namespace zq
