// The sg nodes rather than /dev/sd* and /dev/sr*: every SCSI device has one
// whatever driver holds it, sysfs tells its type and USB identity, and a
// CD-ROM drive without a disc or a disk without partitions is reached all the
// same. Vendor opcodes mean other things to other makers' devices, so only
// nodes whose USB device is a bridge are ever listed or opened.
#include "platform/linux/sg_pass_through.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>

namespace zq {
namespace {

class HostSystem final : public SgSystem {
 public:
  int Open(const std::string& path, int flags) override {
    const int fd = open(path.c_str(), flags);
    return fd < 0 ? -errno : fd;
  }

  bool CharacterDevice(int fd, DeviceNumber& number) override {
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    number = {major(info.st_rdev), minor(info.st_rdev)};
    return true;
  }

  int Ioctl(int fd, sg_io_hdr_t& request) override {
    int result;
    do {
      result = ioctl(fd, SG_IO, &request);
    } while (result < 0 && errno == EINTR);
    return result;
  }

  void Close(int fd) override { close(fd); }

  void Sleep(uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
};

// "/dev/sg2" -> "sg2"; empty for any other path.
std::string GenericNodeName(const std::string& path) {
  const std::string folder = "/dev/";
  if (path.size() <= folder.size() + 2 || path.compare(0, folder.size() + 2, folder + "sg") != 0) {
    return {};
  }
  return path.substr(folder.size());
}

}  // namespace

SgSystem& HostSgSystem() {
  static HostSystem system;
  return system;
}

OpenFailure OpenFailureOf(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return OpenFailure::PermissionDenied;
    case EBUSY:
      return OpenFailure::InUse;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return OpenFailure::Gone;
    default:
      return OpenFailure::Other;
  }
}

std::vector<std::string> ListBridgeNodes(const std::string& sysRoot, InterfaceClass cls,
                                         bool& listed) {
  std::vector<std::string> paths;
  for (const ScsiGenericNode& node : ScanScsiGeneric(sysRoot, listed)) {
    if (IsBridge(node) && InInterfaceClass(node, cls)) paths.push_back(node.node);
  }
  return paths;
}

std::unique_ptr<InterfaceList> SgPassThroughPort::ListInterfaces(InterfaceClass cls) {
  bool listed = false;
  std::vector<std::string> paths = ListBridgeNodes(sysRoot_, cls, listed);
  if (!listed) return nullptr;
  return std::make_unique<FixedInterfaceList>(std::move(paths));
}

DeviceHandle SgPassThroughPort::Open(const std::string& path) {
  const std::string name = GenericNodeName(path);
  ScsiGenericNode before;
  if (name.empty()) return Refuse(path, OpenFailure::NotABridge, 0);
  if (!ReadScsiGenericNode(sysRoot_, name, before)) return Refuse(path, OpenFailure::Gone, 0);
  if (!IsBridge(before)) return Refuse(path, OpenFailure::NotABridge, 0);

  // O_EXCL keeps others off the node while we hold it; with O_NONBLOCK a node
  // that someone else holds fails at once instead of waiting (SG_IO still blocks)
  const int fd = system_.Open(path, O_RDWR | O_EXCL | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Refuse(path, OpenFailureOf(-fd), -fd);

  // held open, the node keeps its number: if it still is a bridge's, the same one's
  DeviceNumber number;
  ScsiGenericNode after;
  if (!system_.CharacterDevice(fd, number) || !ReadScsiGenericNode(sysRoot_, name, after) ||
      !IsBridge(after) || after.nodeNumber != number || after.usbPort != before.usbPort) {
    system_.Close(fd);
    return Refuse(path, OpenFailure::Gone, 0);
  }
  std::erase_if(problems_, [&](const OpenProblem& p) { return p.node == path; });
  return static_cast<DeviceHandle>(fd);
}

DeviceHandle SgPassThroughPort::Refuse(const std::string& path, OpenFailure kind, int error) {
  std::erase_if(problems_, [&](const OpenProblem& p) { return p.node == path; });
  const std::string text =
      error == 0 ? std::string() : std::error_code(error, std::generic_category()).message();
  problems_.push_back({path, kind, error, text});
  return INVALID_DEVICE_HANDLE;
}

bool SgPassThroughPort::Control(DeviceHandle device, PassThroughBuffer& buffer, uint32_t inputSize,
                                uint32_t outputSize) {
  if (device > static_cast<DeviceHandle>(INT_MAX)) return false;
  ScsiPassThroughHeader& header = buffer.header;
  // the kernel is handed raw addresses inside the block: check them first
  if (!PassThroughBlockFits(header, inputSize, outputSize)) return false;

  uint8_t* const block = reinterpret_cast<uint8_t*>(&buffer);
  const uint32_t length = header.DataTransferLength;
  sg_io_hdr_t request;
  std::memset(&request, 0, sizeof request);
  request.interface_id = 'S';
  request.cmd_len = header.CdbLength;
  request.cmdp = header.Cdb;
  request.dxfer_direction = length == 0                           ? SG_DXFER_NONE
                            : header.DataIn == SCSI_IOCTL_DATA_IN ? SG_DXFER_FROM_DEV
                                                                  : SG_DXFER_TO_DEV;
  request.dxfer_len = length;
  request.dxferp = length == 0 ? nullptr : block + header.DataBufferOffset;
  request.mx_sb_len = header.SenseInfoLength;
  request.sbp = header.SenseInfoLength == 0 ? nullptr : block + header.SenseInfoOffset;
  request.timeout = std::min<uint32_t>(header.TimeOutValue, UINT_MAX / 1000) * 1000;  // ms

  if (system_.Ioctl(static_cast<int>(device), request) < 0) return false;
  // the adapter or the driver lost the command: it never got a status
  if (request.host_status != 0 || (request.driver_status & ~SG_DRIVER_SENSE) != 0) return false;
  header.ScsiStatus = request.status;
  // what the device did not move comes back as the residual count
  const uint32_t residual = request.resid > 0 ? static_cast<uint32_t>(request.resid) : 0;
  header.DataTransferLength = residual < length ? length - residual : 0;
  return true;
}

void SgPassThroughPort::Close(DeviceHandle device) {
  if (device <= static_cast<DeviceHandle>(INT_MAX)) system_.Close(static_cast<int>(device));
}

}  // namespace zq
