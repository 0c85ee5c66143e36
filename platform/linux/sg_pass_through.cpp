// The sg nodes rather than /dev/sd* and /dev/sr*: every SCSI device has one
// whatever driver holds it, sysfs tells its type, and a CD-ROM drive without
// a disc or a disk without partitions is reached all the same.
#include "platform/linux/sg_pass_through.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>
#include <utility>

namespace zq {
namespace {

// sysfs type files hold a short decimal number and a newline
constexpr size_t SG_TYPE_TEXT_MAX = 16;
constexpr size_t SG_NUMBER_DIGITS_MAX = 9;

class HostSystem final : public SgSystem {
 public:
  bool ListGenericNames(std::vector<std::string>& names) override {
    DIR* folder = opendir(SG_CLASS_FOLDER);
    if (folder == nullptr) return false;
    while (const dirent* entry = readdir(folder)) names.emplace_back(entry->d_name);
    closedir(folder);
    return true;
  }

  bool ReadDeviceType(const std::string& name, std::string& text) override {
    const std::string path = std::string(SG_CLASS_FOLDER) + "/" + name + "/device/type";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char bytes[SG_TYPE_TEXT_MAX];
    const ssize_t got = read(fd, bytes, sizeof bytes);
    close(fd);
    if (got < 0) return false;
    text.assign(bytes, static_cast<size_t>(got));
    return true;
  }

  int Open(const std::string& path, int flags) override { return open(path.c_str(), flags); }

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

// "sg12" -> 12; false for anything else.
bool ParseSgNumber(const std::string& name, uint32_t& number) {
  if (name.size() < 3 || name.size() > 2 + SG_NUMBER_DIGITS_MAX || name.compare(0, 2, "sg") != 0) {
    return false;
  }
  number = 0;
  for (size_t i = 2; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    number = number * 10 + static_cast<uint32_t>(name[i] - '0');
  }
  return true;
}

// "5\n" -> 5; false for an empty or malformed text.
bool ParseType(const std::string& text, int& type) {
  size_t end = text.size();
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == ' ' || text[end - 1] == '\r')) {
    --end;
  }
  if (end == 0 || end > 3) return false;
  type = 0;
  for (size_t i = 0; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    type = type * 10 + (text[i] - '0');
  }
  return true;
}

class SgInterfaceList final : public InterfaceList {
 public:
  explicit SgInterfaceList(std::vector<std::string> paths) : paths_(std::move(paths)) {}

  ListStep Get(uint32_t memberIndex, std::string& path) override {
    if (memberIndex >= paths_.size()) return ListStep::End;
    path = paths_[memberIndex];
    return ListStep::Found;
  }

 private:
  std::vector<std::string> paths_;
};

}  // namespace

SgSystem& HostSgSystem() {
  static HostSystem system;
  return system;
}

std::vector<std::string> ListSgDevices(SgSystem& system, InterfaceClass cls, bool& listed) {
  std::vector<std::string> names;
  listed = system.ListGenericNames(names);
  if (!listed) return {};

  const int wanted = cls == InterfaceClass::Disk ? SG_TYPE_DISK : SG_TYPE_CDROM;
  std::vector<std::pair<uint32_t, std::string>> found;
  for (const std::string& name : names) {
    uint32_t number = 0;
    std::string text;
    int type = -1;
    if (!ParseSgNumber(name, number) || !system.ReadDeviceType(name, text) ||
        !ParseType(text, type) || type != wanted) {
      continue;
    }
    found.emplace_back(number, "/dev/" + name);
  }
  // the folder lists in no set order; the sg numbers follow discovery
  std::sort(found.begin(), found.end());
  std::vector<std::string> paths;
  for (auto& entry : found) paths.push_back(std::move(entry.second));
  return paths;
}

std::unique_ptr<InterfaceList> SgPassThroughPort::ListInterfaces(InterfaceClass cls) {
  bool listed = false;
  std::vector<std::string> paths = ListSgDevices(system_, cls, listed);
  if (!listed) return nullptr;
  return std::make_unique<SgInterfaceList>(std::move(paths));
}

DeviceHandle SgPassThroughPort::Open(const std::string& path) {
  // O_EXCL keeps others off the node while we hold it; with O_NONBLOCK a node
  // that someone else holds fails at once instead of waiting (SG_IO still blocks)
  const int fd = system_.Open(path, O_RDWR | O_EXCL | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return INVALID_DEVICE_HANDLE;
  return static_cast<DeviceHandle>(fd);
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
  return true;
}

void SgPassThroughPort::Close(DeviceHandle device) {
  if (device <= static_cast<DeviceHandle>(INT_MAX)) system_.Close(static_cast<int>(device));
}

}  // namespace zq
