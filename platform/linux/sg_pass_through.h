// The pass-through port over the Linux SCSI generic driver: the disk and
// CD-ROM classes are the sg nodes of bridges, told apart from every other
// device by their USB identity, and a command travels as one SG_IO request.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/usb_storage_scan.h"
#include "transport/pass_through.h"
#include "transport/scsi_words.h"

namespace zq {

// set alongside a check condition when sense data came back; not an error
constexpr uint16_t SG_DRIVER_SENSE = 0x08;
// the adapter lost the device: it was unplugged
constexpr uint8_t SG_HOST_NO_CONNECT = 0x01;
// Flashing a block or erasing the chip may take seconds; when a command
// times out usb-storage resets the device, in the middle of the flashing.
// Finding bridges keeps the transport's short time-out.
constexpr CommandTimeouts SG_COMMAND_TIMEOUTS = {PASS_THROUGH_TIMEOUT_SECONDS, 30};

// The few system calls the port makes, so tests can stand in for them.
class SgSystem {
 public:
  virtual ~SgSystem() = default;
  virtual int Open(const std::string& path, int flags) = 0;  // a descriptor or -errno
  // The number of the character device open as `fd`; false for anything else.
  virtual bool CharacterDevice(int fd, DeviceNumber& number) = 0;
  // The number of the block device open as `fd`; false for anything else.
  virtual bool BlockDeviceNumber(int fd, DeviceNumber& number) = 0;
  // Hands the request to the driver (write(2) of the sg interface): 0, or
  // -errno when it was not queued.
  virtual int Submit(int fd, sg_io_hdr_t& request) = 0;
  // Waits for the queued request to finish and reads it back (read(2)): 0,
  // or -errno; -EINTR when a signal came first, and the request is still
  // queued; -ENODEV when the device is being deleted and nothing will come.
  virtual int Collect(int fd, sg_io_hdr_t& request) = 0;
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
  NoNode,            // sysfs lists it, /dev has no node for it (a container)
  NotABridge,        // the path is no bridge's node: nothing was opened
  NoChipInfo,        // opened, but the chip-information command failed
  Other,
};

// How a command failed, as the driver told it.
struct CommandFailure {
  int error = 0;  // errno of the system call, 0 when it succeeded
  uint8_t hostStatus = 0;
  uint16_t driverStatus = 0;
  uint8_t scsiStatus = 0;
  std::vector<uint8_t> sense;
  bool otherRecord = false;  // answered, with a record naming another device
  uint16_t recordVendorId = 0;
  uint16_t recordProductId = 0;
};

struct OpenProblem {
  std::string node;  // "/dev/sg2"
  OpenFailure kind = OpenFailure::Other;
  int error = 0;           // the errno, 0 when no system call failed
  std::string systemText;  // the system's words for it, empty with no errno
  std::string unit;        // the bridge's other unit's node when that one failed
  CommandFailure failure;  // how its command failed, for NoChipInfo and Gone
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

  // Why nodes could not be opened, one entry per node, the latest reason; a
  // node that opens later is dropped.
  std::vector<OpenProblem> OpenProblems() const;
  // How the latest failed command on an open device failed.
  CommandFailure LastFailure(DeviceHandle device) const;
  // How the latest failed command on `node` failed since it was last
  // opened, open or closed since; nothing when none failed.
  CommandFailure LastFailure(const std::string& node) const;
  // Whether the device behind `node` went during that command, going by how
  // it failed and, for a failure that might be either, by whether the device
  // leaves sysfs; told once per failure, however often it is asked.
  bool Unplugged(const std::string& node);

 private:
  DeviceHandle Refuse(const std::string& path, OpenFailure kind, int error,
                      const std::string& unit = {});
  // One request carried to its end: submitted once, collected however often
  // a signal interrupts the wait. A UNIT ATTENTION is asked again once.
  bool Carry(int fd, sg_io_hdr_t& request, CommandFailure& failure);
  // Whether the device behind `node` went away during the failed command.
  bool Went(const std::string& node, const CommandFailure& failure);

  struct OpenNode {
    std::string path;
    std::vector<int> otherUnits;  // held so that no other program uses the bridge
    CommandFailure lastFailure;
  };

  SgSystem& system_;
  std::string sysRoot_;
  std::vector<OpenProblem> problems_;
  struct NodeFailure {
    CommandFailure failure;
    std::optional<bool> unplugged;  // once told
  };
  std::map<std::string, NodeFailure> failures_;  // by node, kept after it is closed
  std::map<int, OpenNode> open_;
  mutable std::mutex mutex_;  // several bridges are updated at once, each on a thread
};

}  // namespace zq
