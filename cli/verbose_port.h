// --verbose: every command a bridge is sent, one line each on standard
// error, so that a report from a real machine can be read. It wraps
// whichever pass-through port the command line uses, emulated included.
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "transport/pass_through.h"
#include "transport/spin_lock.h"

namespace zq::cli {

class VerbosePort final : public PassThroughPort {
 public:
  // `explain` says why a control call failed, in the system's words.
  VerbosePort(PassThroughPort& inner, std::FILE* log,
              std::function<std::string(DeviceHandle)> explain = nullptr)
      : inner_(inner), log_(log), explain_(std::move(explain)) {}

  std::unique_ptr<InterfaceList> ListInterfaces(InterfaceClass cls) override {
    return inner_.ListInterfaces(cls);
  }
  DeviceHandle Open(const std::string& path) override;
  bool Control(DeviceHandle device, PassThroughBuffer& buffer, uint32_t inputSize,
               uint32_t outputSize) override;
  void Close(DeviceHandle device) override;
  void Sleep(uint32_t milliseconds) override { inner_.Sleep(milliseconds); }

 private:
  PassThroughPort& inner_;
  std::FILE* log_;
  std::function<std::string(DeviceHandle)> explain_;
  // Bridges updated at once share the port (SpinLock: no mutex on Windows).

  std::map<DeviceHandle, std::string> names_;
  std::atomic_flag busy_;  // clear until held
};

// "/dev/sg2: E2 00 04 00 02 00, out 512 bytes: good (0x00), residue 0, 11 ms"
std::string VerboseLine(const std::string& device, const ScsiPassThroughHeader& before,
                        const PassThroughBuffer& after, bool called, const std::string& failure,
                        double milliseconds);

}  // namespace zq::cli
