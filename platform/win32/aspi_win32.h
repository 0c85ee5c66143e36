// The ASPI layer of WNASPI32.DLL: loading it, binding its two entry points by
// name, and the event calls a request needs. No behaviour of its own.
#pragma once

#include <cstdint>

#include "transport/aspi.h"

namespace zq {

constexpr char ASPI_LIBRARY_NAME[] = "WNASPI32";
constexpr char ASPI_SUPPORT_INFO_ENTRY[] = "GetASPI32SupportInfo";
constexpr char ASPI_SEND_COMMAND_ENTRY[] = "SendASPI32Command";

class Win32AspiLayer final : public AspiLayer {
 public:
  Win32AspiLayer() = default;
  // The library is not freed here: a request given up on may still be in
  // the layer's hands until the process ends.
  ~Win32AspiLayer() override = default;
  Win32AspiLayer(const Win32AspiLayer&) = delete;
  Win32AspiLayer& operator=(const Win32AspiLayer&) = delete;

  // LoadLibraryA("WNASPI32"); true if it is (or already was) loaded.
  bool Load();
  // Binds one of the two entry points by its name; false when the library
  // is not loaded, the name is not one of the two, or the library lacks it.
  bool Bind(const char* name);
  // Frees the library and forgets both entry points.
  void Free();

  uint32_t GetASPI32SupportInfo() override;
  uint32_t SendASPI32Command(SrbExecScsiCmd* request) override;
  uint32_t InquireHostAdapter(SrbHaInquiry* request) override;
  uint32_t GetDeviceType(SrbGetDevType* request) override;
  uint32_t AbortRequest(SrbAbort* request) override;
  AspiEvent MakeEvent() override;
  void ResetEvent(AspiEvent event) override;
  bool WaitForEvent(AspiEvent event, uint32_t milliseconds) override;
  void CloseEvent(AspiEvent event) override;
  void Sleep(uint32_t milliseconds) override;

 private:
  using GetSupportInfoEntry = unsigned long(__cdecl*)();
  using SendCommandEntry = unsigned long(__cdecl*)(void*);

  void* module_ = nullptr;  // the library's HMODULE
  GetSupportInfoEntry getSupportInfo_ = nullptr;
  SendCommandEntry sendCommand_ = nullptr;

  // Every kind of request block goes through the one entry point.
  template <typename Block>
  uint32_t Send(Block* request);
};

}  // namespace zq
