#include "platform/win32/pass_through_win32.h"

#include "platform/win32/message_pump.h"
#include "platform/win32/system_library.h"

// clang-format off
#include "platform/win32/win32_headers.h"
#include <setupapi.h>
#include <winioctl.h>
#include <ntddscsi.h>
// clang-format on

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace zq {
namespace {

// the block we hand the driver is the platform's own header, field for field
static_assert(sizeof(ScsiPassThroughHeader) == sizeof(SCSI_PASS_THROUGH));
static_assert(offsetof(ScsiPassThroughHeader, Length) == offsetof(SCSI_PASS_THROUGH, Length));
static_assert(offsetof(ScsiPassThroughHeader, ScsiStatus) ==
              offsetof(SCSI_PASS_THROUGH, ScsiStatus));
static_assert(offsetof(ScsiPassThroughHeader, PathId) == offsetof(SCSI_PASS_THROUGH, PathId));
static_assert(offsetof(ScsiPassThroughHeader, TargetId) == offsetof(SCSI_PASS_THROUGH, TargetId));
static_assert(offsetof(ScsiPassThroughHeader, Lun) == offsetof(SCSI_PASS_THROUGH, Lun));
static_assert(offsetof(ScsiPassThroughHeader, CdbLength) == offsetof(SCSI_PASS_THROUGH, CdbLength));
static_assert(offsetof(ScsiPassThroughHeader, SenseInfoLength) ==
              offsetof(SCSI_PASS_THROUGH, SenseInfoLength));
static_assert(offsetof(ScsiPassThroughHeader, DataIn) == offsetof(SCSI_PASS_THROUGH, DataIn));
static_assert(offsetof(ScsiPassThroughHeader, DataTransferLength) ==
              offsetof(SCSI_PASS_THROUGH, DataTransferLength));
static_assert(offsetof(ScsiPassThroughHeader, TimeOutValue) ==
              offsetof(SCSI_PASS_THROUGH, TimeOutValue));
static_assert(offsetof(ScsiPassThroughHeader, DataBufferOffset) ==
              offsetof(SCSI_PASS_THROUGH, DataBufferOffset));
static_assert(offsetof(ScsiPassThroughHeader, SenseInfoOffset) ==
              offsetof(SCSI_PASS_THROUGH, SenseInfoOffset));
static_assert(offsetof(ScsiPassThroughHeader, Cdb) == offsetof(SCSI_PASS_THROUGH, Cdb));
static_assert(sizeof(ScsiPassThroughHeader::Cdb) == sizeof(SCSI_PASS_THROUGH::Cdb));
static_assert(SCSI_IOCTL_DATA_IN == 1 && SCSI_IOCTL_DATA_OUT == 0);
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004);
static_assert(IOCTL_STORAGE_MCN_CONTROL == 0x2D0944 && sizeof(PREVENT_MEDIA_REMOVAL) == 1);

// the size fields SetupAPI insists on differ by width
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (WIDTH_32 ? 28 : 32));
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == (WIDTH_32 ? 5 : 8));
static_assert((DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) == 0x12);
static_assert(ERROR_INSUFFICIENT_BUFFER == 122);

bool accessDenied = false;

HANDLE ToHandle(DeviceHandle device) {
  return reinterpret_cast<HANDLE>(device);
}

class SetupDiInterfaceList final : public InterfaceList {
 public:
  SetupDiInterfaceList(const SetupApi& api, HDEVINFO set, const GUID& guid)
      : api_(api), set_(set), guid_(guid) {}
  ~SetupDiInterfaceList() override { api_.destroyList(set_); }
  SetupDiInterfaceList(const SetupDiInterfaceList&) = delete;
  SetupDiInterfaceList& operator=(const SetupDiInterfaceList&) = delete;

  ListStep Get(uint32_t memberIndex, std::string& path) override {
    SP_DEVICE_INTERFACE_DATA iface;
    std::memset(&iface, 0, sizeof iface);
    iface.cbSize = sizeof iface;
    if (!api_.enumInterfaces(set_, nullptr, &guid_, memberIndex, &iface)) {
      return GetLastError() == ERROR_NO_MORE_ITEMS ? ListStep::End : ListStep::Failed;
    }

    // the first call only learns the size of the detail block
    DWORD required = 0;
    if (!api_.getInterfaceDetail(set_, &iface, nullptr, 0, &required, nullptr) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      return ListStep::Failed;
    }
    constexpr DWORD PATH_OFFSET = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    if (required <= PATH_OFFSET) return ListStep::Failed;

    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::malloc(required));
    if (detail == nullptr) return ListStep::Failed;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    const bool got = api_.getInterfaceDetail(set_, &iface, detail, required, nullptr, nullptr) != 0;
    if (got) {
      // the path ends at its terminator, or at the end of the block at worst
      const size_t room = required - PATH_OFFSET;
      path.assign(detail->DevicePath, strnlen(detail->DevicePath, room));
    }
    std::free(detail);
    return got ? ListStep::Found : ListStep::Failed;
  }

 private:
  const SetupApi& api_;
  HDEVINFO set_;
  GUID guid_;
};

}  // namespace

std::unique_ptr<InterfaceList> Win32PassThroughPort::ListInterfaces(InterfaceClass cls) {
  const SetupApi* api = SetupApi::Get();
  if (api == nullptr) return nullptr;
  const GUID& guid = cls == InterfaceClass::Disk ? INTERFACE_DISK : INTERFACE_CDROM;
  const HDEVINFO set =
      api->getClassDevs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<SetupDiInterfaceList>(*api, set, guid);
}

DeviceHandle Win32PassThroughPort::Open(const std::string& path) {
  const DWORD share = shared_ ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
  const HANDLE device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    lastOpenError_ = GetLastError();
    if (lastOpenError_ == ERROR_ACCESS_DENIED) accessDenied = true;
    return INVALID_DEVICE_HANDLE;
  }
  // the class driver polls removable media with TEST UNIT READY; paused
  // while this handle is open (the driver resumes it when the handle closes),
  // so nothing but our commands reaches the bridge while its flash is
  // rewritten. A driver that does not poll refuses, which changes nothing.
  PREVENT_MEDIA_REMOVAL pause;
  pause.PreventMediaRemoval = TRUE;
  DWORD returned = 0;
  DeviceIoControl(device, IOCTL_STORAGE_MCN_CONTROL, &pause, sizeof pause, nullptr, 0, &returned,
                  nullptr);
  return reinterpret_cast<DeviceHandle>(device);
}

bool PassThroughAccessWasDenied() {
  return accessDenied;
}

bool Win32PassThroughPort::Control(DeviceHandle device, PassThroughBuffer& buffer,
                                   uint32_t inputSize, uint32_t outputSize) {
  // the driver writes back up to outputSize bytes: never past the block
  if (inputSize > sizeof buffer || outputSize > sizeof buffer) return false;
  DWORD returned = 0;
  return DeviceIoControl(ToHandle(device), IOCTL_SCSI_PASS_THROUGH, &buffer, inputSize, &buffer,
                         outputSize, &returned, nullptr) != 0;
}

void Win32PassThroughPort::Close(DeviceHandle device) {
  CloseHandle(ToHandle(device));
}

void Win32PassThroughPort::Sleep(uint32_t milliseconds) {
  // the window keeps painting through the erase wait
  PumpingSleep(milliseconds);
}

}  // namespace zq
