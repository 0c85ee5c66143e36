// The pass-through port over the Linux SCSI generic driver: the disk and
// CD-ROM classes are the sg nodes of bridges, told apart from every other
// device by their USB identity, and a command travels as one SG_IO request.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/usb_storage_scan.h"
#include "transport/pass_through.h"

namespace zq {

// set alongside a check condition when sense data came back; not an error
constexpr uint16_t SG_DRIVER_SENSE = 0x08;
// where the package installs the rule that lets the logged-in user reach bridges
constexpr const char* UDEV_RULE_PATH = "/lib/udev/rules.d/70-zq5210.rules";

// The few system calls the port makes, so tests can stand in for them.
class SgSystem {
 public:
  virtual ~SgSystem() = default;
  virtual int Open(const std::string& path, int flags) = 0;  // a descriptor or -errno
  // The number of the character device open as `fd`; false for anything else.
  virtual bool CharacterDevice(int fd, DeviceNumber& number) = 0;
  virtual int Ioctl(int fd, sg_io_hdr_t& request) = 0;  // SG_IO; -1 on failure
  virtual void Close(int fd) = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;
};

// The running system's calls.
SgSystem& HostSgSystem();

// Why a bridge's node could not be opened.
enum class OpenFailure {
  PermissionDenied,  // run as root or install the udev rule
  InUse,             // another program holds it
  Gone,              // unplugged, or its node no longer is the bridge's
  NotABridge,        // the path is no bridge's node: nothing was opened
  Other,
};

struct OpenProblem {
  std::string node;  // "/dev/sg2"
  OpenFailure kind = OpenFailure::Other;
  int error = 0;           // the errno, 0 when no system call failed
  std::string systemText;  // the system's words for it, empty with no errno
};

OpenFailure OpenFailureOf(int error);

// The generic nodes of bridges in one class, in sg number order.
std::vector<std::string> ListBridgeNodes(const std::string& sysRoot, InterfaceClass cls,
                                         bool& listed);

class SgPassThroughPort final : public PassThroughPort {
 public:
  SgPassThroughPort() : system_(HostSgSystem()), sysRoot_(SYSFS_ROOT) {}
  // `sysRoot` stands for /sys.
  SgPassThroughPort(SgSystem& system, std::string sysRoot)
      : system_(system), sysRoot_(std::move(sysRoot)) {}

  // Bridges only: no other device is ever opened, let alone sent a command.
  std::unique_ptr<InterfaceList> ListInterfaces(InterfaceClass cls) override;
  // Read and write, and exclusive: a node that someone else holds is busy.
  // Only a bridge's node is opened, and it is checked again once open, since
  // a node number freed by an unplugged bridge can be handed to another device.
  DeviceHandle Open(const std::string& path) override;
  bool Control(DeviceHandle device, PassThroughBuffer& buffer, uint32_t inputSize,
               uint32_t outputSize) override;
  void Close(DeviceHandle device) override;
  void Sleep(uint32_t milliseconds) override { system_.Sleep(milliseconds); }

  // Why nodes could not be opened, one entry per node, the latest reason;
  // a node that opens later is dropped.
  const std::vector<OpenProblem>& OpenProblems() const { return problems_; }

 private:
  DeviceHandle Refuse(const std::string& path, OpenFailure kind, int error);

  SgSystem& system_;
  std::string sysRoot_;
  std::vector<OpenProblem> problems_;
};

}  // namespace zq
