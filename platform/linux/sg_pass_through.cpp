// The sg nodes rather than /dev/sd* and /dev/sr*: every SCSI device has one
// whatever driver holds it, sysfs tells its type and USB identity, and a
// CD-ROM drive without a disc or a disk without partitions is reached all the
// same. Vendor opcodes mean other things to other makers' devices, so only
// nodes whose USB device is a bridge are ever listed or opened.
#include "platform/linux/sg_pass_through.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>

namespace zq {
namespace {

constexpr uint8_t SCSI_GOOD = 0x00;
constexpr uint8_t SCSI_CHECK_CONDITION = 0x02;
// A 64-bit kernel refuses a request written shorter than its own sg_io_hdr,
// before it reads a 32-bit program's smaller layout (the compat path reads
// that layout itself), and answers reads of the same size: every request
// travels in at least this many bytes, the caller's layout first.
constexpr size_t KERNEL_SG_IO_HDR_SIZE_MAX = 88;
using RequestBytes = std::array<uint8_t, std::max(sizeof(sg_io_hdr_t), KERNEL_SG_IO_HDR_SIZE_MAX)>;
// After a failed command, how long a device that went is given to leave sysfs.
constexpr uint32_t GONE_CHECK_MS = 1000;
constexpr uint32_t GONE_POLL_MS = 100;

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

  bool BlockDeviceNumber(int fd, DeviceNumber& number) override {
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISBLK(info.st_mode)) return false;
    number = {major(info.st_rdev), minor(info.st_rdev)};
    return true;
  }

  // Not SG_IO: interrupted by a signal it returns while the command is still
  // in flight, and restarting it (SA_RESTART, or a loop on EINTR) sends the
  // command a second time. The sg driver's own write and read split the two.
  int Submit(int fd, sg_io_hdr_t& request) override {
    RequestBytes bytes{};
    std::memcpy(bytes.data(), &request, sizeof request);
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) return -errno;
    return static_cast<size_t>(written) == bytes.size() ? 0 : -EIO;
  }

  int Collect(int fd, sg_io_hdr_t& request) override {
    // the node is open non-blocking: wait for the answer first
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, -1) < 0) return -errno;
    RequestBytes bytes{};
    const ssize_t got = read(fd, bytes.data(), bytes.size());
    if (got < 0) {
      // a device being deleted reports POLLHUP at once while its request may
      // run on to its time-out: nothing more will come, so waiting on is spinning
      const bool hungUp = (ready.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
      return errno == EAGAIN && hungUp ? -ENODEV : -errno;
    }
    if (static_cast<size_t>(got) != bytes.size()) return -EIO;
    std::memcpy(&request, bytes.data(), sizeof request);
    return 0;
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
  // a bridge answering on two LUNs is one bridge
  return BridgePaths(CandidatesOf(ScanScsiGeneric(sysRoot, listed)), cls);
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
  // that someone else holds fails at once instead of waiting
  constexpr int FLAGS = O_RDWR | O_EXCL | O_NONBLOCK | O_CLOEXEC;
  const int fd = system_.Open(path, FLAGS);
  if (fd < 0) {
    // sysfs still lists the node, /dev has none: a container given /sys only
    ScsiGenericNode listed;
    if (fd == -ENOENT && ReadScsiGenericNode(sysRoot_, name, listed) &&
        listed.nodeNumber == before.nodeNumber) {
      return Refuse(path, OpenFailure::NoNode, ENOENT);
    }
    return Refuse(path, OpenFailureOf(-fd), -fd);
  }

  // held open, the node keeps its number: if it still is a bridge's, the same one's
  DeviceNumber number;
  ScsiGenericNode after;
  if (!system_.CharacterDevice(fd, number) || !ReadScsiGenericNode(sysRoot_, name, after) ||
      !IsBridge(after) || after.nodeNumber != number || after.usbPort != before.usbPort) {
    system_.Close(fd);
    return Refuse(path, OpenFailure::Gone, 0);
  }

  // sg's O_EXCL covers one node: the bridge's other units are held too, so
  // that no other program reaches the same chip through them
  OpenNode held{path, {}, {}};
  bool listed = false;
  const std::vector<ScsiGenericNode> nodes = ScanScsiGeneric(sysRoot_, listed);
  for (const ScsiGenericNode& unit : OtherUnits(nodes, after)) {
    const int unitFd = system_.Open(unit.node, FLAGS);
    if (unitFd >= 0) {
      held.otherUnits.push_back(unitFd);
      continue;
    }
    if (OpenFailureOf(-unitFd) == OpenFailure::Gone) continue;  // that unit went
    for (int other : held.otherUnits) system_.Close(other);
    system_.Close(fd);
    return Refuse(path, OpenFailureOf(-unitFd), -unitFd, unit.node);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(problems_, [&](const OpenProblem& p) { return p.node == path; });
  failures_.erase(path);
  open_[fd] = std::move(held);
  return static_cast<DeviceHandle>(fd);
}

DeviceHandle SgPassThroughPort::Refuse(const std::string& path, OpenFailure kind, int error,
                                       const std::string& unit) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(problems_, [&](const OpenProblem& p) { return p.node == path; });
  const std::string text =
      error == 0 ? std::string() : std::error_code(error, std::generic_category()).message();
  problems_.push_back({path, kind, error, text, unit, {}});
  return INVALID_DEVICE_HANDLE;
}

std::vector<OpenProblem> SgPassThroughPort::OpenProblems() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return problems_;
}

CommandFailure SgPassThroughPort::LastFailure(DeviceHandle device) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = open_.find(static_cast<int>(device));
  return it == open_.end() ? CommandFailure{} : it->second.lastFailure;
}

CommandFailure SgPassThroughPort::LastFailure(const std::string& node) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = failures_.find(node);
  return it == failures_.end() ? CommandFailure{} : it->second.failure;
}

bool SgPassThroughPort::Carry(int fd, sg_io_hdr_t& request, CommandFailure& failure) {
  for (int attempt = 0;; ++attempt) {
    if (request.sbp != nullptr) std::memset(request.sbp, 0, request.mx_sb_len);
    request.status = 0;
    request.host_status = 0;
    request.driver_status = 0;
    request.sb_len_wr = 0;
    int result = system_.Submit(fd, request);
    if (result == 0) {
      // a signal ends the wait, not the command: wait again, never send again
      do {
        result = system_.Collect(fd, request);
      } while (result == -EINTR || result == -EAGAIN);
    }
    failure = {};
    failure.error = result < 0 ? -result : 0;
    failure.hostStatus = static_cast<uint8_t>(request.host_status);
    failure.driverStatus = request.driver_status;
    failure.scsiStatus = request.status;
    if (request.sbp != nullptr && request.status == SCSI_CHECK_CONDITION) {
      const size_t length = std::min<size_t>(request.sb_len_wr, request.mx_sb_len);
      failure.sense.assign(request.sbp, request.sbp + length);
    }
    if (result < 0) return false;
    // the adapter or the driver lost the command: it never got a status
    if (request.host_status != 0 || (request.driver_status & ~SG_DRIVER_SENSE) != 0) return false;
    // after a bus reset or a media change the device answers the next
    // command with UNIT ATTENTION, without running it
    uint8_t key = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
    if (attempt == 0 && request.status == SCSI_CHECK_CONDITION &&
        SenseCodes(failure.sense, key, asc, ascq) && key == SCSI_SENSE_UNIT_ATTENTION) {
      continue;
    }
    return true;
  }
}

bool SgPassThroughPort::Went(const std::string& node, const CommandFailure& failure) {
  // an unplug comes back with whatever host status the transport had (often
  // DID_ERROR), or none; the device leaving sysfs a moment later tells it
  if (failure.error == 0 && failure.hostStatus == 0) return false;
  const std::string name = GenericNodeName(node);
  for (uint32_t waited = 0;; waited += GONE_POLL_MS) {
    ScsiGenericNode still;
    if (!ReadScsiGenericNode(sysRoot_, name, still)) return true;
    if (waited >= GONE_CHECK_MS) return false;
    system_.Sleep(GONE_POLL_MS);
  }
}

bool SgPassThroughPort::Unplugged(const std::string& node) {
  CommandFailure failure;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = failures_.find(node);
    if (it == failures_.end()) return false;
    if (it->second.unplugged) return *it->second.unplugged;
    failure = it->second.failure;
  }
  // the wait for sysfs happens outside the lock
  const bool unplugged = failure.error == ENODEV || failure.error == ENXIO ||
                         failure.hostStatus == SG_HOST_NO_CONNECT || Went(node, failure);
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = failures_.find(node);
  if (it != failures_.end()) it->second.unplugged = unplugged;
  return unplugged;
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

  const int fd = static_cast<int>(device);
  CommandFailure failure;
  const bool answered = Carry(fd, request, failure);
  if (answered) {
    header.ScsiStatus = request.status;
    // what the device did not move comes back as the residual count
    const uint32_t residual = request.resid > 0 ? static_cast<uint32_t>(request.resid) : 0;
    header.DataTransferLength = residual < length ? length - residual : 0;
  }
  if (!answered || request.status != SCSI_GOOD) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = open_.find(fd);
    if (it != open_.end()) {
      it->second.lastFailure = failure;
      failures_[it->second.path] = {failure, std::nullopt};
    }
  }
  return answered;
}

void SgPassThroughPort::Close(DeviceHandle device) {
  if (device > static_cast<DeviceHandle>(INT_MAX)) return;
  const int fd = static_cast<int>(device);
  std::vector<int> units;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = open_.find(fd);
    if (it != open_.end()) units = it->second.otherUnits;
    open_.erase(fd);
  }
  system_.Close(fd);
  for (int unit : units) system_.Close(unit);
}

}  // namespace zq
