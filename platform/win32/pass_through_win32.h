// The pass-through port over SetupAPI interface listing, CreateFileA and
// DeviceIoControl(IOCTL_SCSI_PASS_THROUGH).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transport/pass_through.h"

namespace zq {

// True once a device could not be opened for lack of rights (the control
// wants an administrator), so a caller can say how to get them.
bool PassThroughAccessWasDenied();

class Win32PassThroughPort final : public PassThroughPort {
 public:
  // The window opens devices unshared; the command line shares them, since
  // Explorer holding a CD-ROM volume would otherwise hide the bridge, and
  // keeps other runs away by a claim of its own.
  explicit Win32PassThroughPort(bool shared = false) : shared_(shared) {}

  std::unique_ptr<InterfaceList> ListInterfaces(InterfaceClass cls) override;
  DeviceHandle Open(const std::string& path) override;
  bool Control(DeviceHandle device, PassThroughBuffer& buffer, uint32_t inputSize,
               uint32_t outputSize) override;
  void Close(DeviceHandle device) override;
  void Sleep(uint32_t milliseconds) override;
  // The system's reason the last Open failed.
  uint32_t LastOpenError() const { return lastOpenError_; }

 private:
  bool shared_;
  uint32_t lastOpenError_ = 0;
};

}  // namespace zq
