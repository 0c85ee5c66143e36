// A run's hold on the bridges it opens: a named mutex that belongs to the
// bridge's USB device, held until the device is closed, so that another run
// (the command line or the window, in any session) is told the bridge is in
// use. The storage drivers do not check share modes on these devices, so the
// claim is the only thing that keeps two runs off one chip.
#pragma once

#include <string>
#include <vector>

#include "platform/nt/claim_list.h"
#include "platform/nt/usb_identity.h"
#include "platform/win32/pass_through_win32.h"
#include "transport/pass_through.h"

namespace zq {

// Why a device was not opened.
struct OpenRefusal {
  enum class Kind { InUse, PermissionDenied, Other };
  std::string path;
  Kind kind = Kind::Other;
  std::string text;  // the whole line for people, naming the device
};

class ClaimingPort final : public PassThroughPort {
 public:
  // `bridges` opens the devices, `system` tells why it could not.
  ClaimingPort(PassThroughPort& bridges, Win32PassThroughPort& system, nt::DeviceTree& tree)
      : bridges_(bridges), system_(system), tree_(tree) {}
  ~ClaimingPort() override;
  ClaimingPort(const ClaimingPort&) = delete;
  ClaimingPort& operator=(const ClaimingPort&) = delete;

  std::unique_ptr<InterfaceList> ListInterfaces(InterfaceClass cls) override {
    return bridges_.ListInterfaces(cls);
  }
  // Takes the claim, then opens; refused, with the reason kept, when the
  // claim is another run's or cannot be made.
  DeviceHandle Open(const std::string& path) override;
  bool Control(DeviceHandle device, PassThroughBuffer& buffer, uint32_t inputSize,
               uint32_t outputSize) override {
    return bridges_.Control(device, buffer, inputSize, outputSize);
  }
  // Closes and drops the device's claim; bridges updated together close
  // from their own threads.
  void Close(DeviceHandle device) override;
  void Sleep(uint32_t milliseconds) override { bridges_.Sleep(milliseconds); }

  // Every device that could not be opened, with the latest reason, from
  // the thread that opens.
  std::vector<OpenRefusal> refusals;

 private:
  void Refuse(OpenRefusal refusal);

  PassThroughPort& bridges_;
  Win32PassThroughPort& system_;
  nt::DeviceTree& tree_;
  nt::ClaimList claims_;
};

}  // namespace zq
