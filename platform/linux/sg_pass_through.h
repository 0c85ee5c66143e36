// The pass-through port over the Linux SCSI generic driver: the disk and
// CD-ROM classes are the sg nodes of SCSI disks and CD-ROM drives, and a
// command travels as one SG_IO request.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/pass_through.h"

namespace zq {

// SCSI peripheral device types as sysfs reports them.
constexpr int SG_TYPE_DISK = 0;
constexpr int SG_TYPE_CDROM = 5;
// set alongside a check condition when sense data came back; not an error
constexpr uint16_t SG_DRIVER_SENSE = 0x08;
constexpr const char* SG_CLASS_FOLDER = "/sys/class/scsi_generic";

// The few system calls the port makes, so tests can stand in for them.
class SgSystem {
 public:
  virtual ~SgSystem() = default;
  // Entry names of the scsi_generic class folder ("sg0", ...); false when
  // the folder cannot be read.
  virtual bool ListGenericNames(std::vector<std::string>& names) = 0;
  // The text of <class folder>/<name>/device/type.
  virtual bool ReadDeviceType(const std::string& name, std::string& text) = 0;
  virtual int Open(const std::string& path, int flags) = 0;  // a descriptor or -1
  virtual int Ioctl(int fd, sg_io_hdr_t& request) = 0;       // SG_IO; -1 on failure
  virtual void Close(int fd) = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;
};

// The running system's calls.
SgSystem& HostSgSystem();

// The device nodes of one class, in the order of their sg numbers. Entries
// that are not sgN, or whose type cannot be read or parsed, are left out.
std::vector<std::string> ListSgDevices(SgSystem& system, InterfaceClass cls, bool& listed);

class SgPassThroughPort final : public PassThroughPort {
 public:
  SgPassThroughPort() : system_(HostSgSystem()) {}
  explicit SgPassThroughPort(SgSystem& system) : system_(system) {}

  std::unique_ptr<InterfaceList> ListInterfaces(InterfaceClass cls) override;
  // Read and write, and exclusive: a node that someone else holds is busy.
  DeviceHandle Open(const std::string& path) override;
  bool Control(DeviceHandle device, PassThroughBuffer& buffer, uint32_t inputSize,
               uint32_t outputSize) override;
  void Close(DeviceHandle device) override;
  void Sleep(uint32_t milliseconds) override { system_.Sleep(milliseconds); }

 private:
  SgSystem& system_;
};

}  // namespace zq
