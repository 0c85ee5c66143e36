#include "platform/win32/device_tree_win32.h"

// clang-format off
#include "platform/win32/win32_headers.h"
#include <cfgmgr32.h>
#include <setupapi.h>
#include <winioctl.h>
// clang-format on

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/win32/platform_win32.h"
#include "platform/win32/system_library.h"
#include "platform/win32/system_text_win32.h"

namespace zq {
namespace {

static_assert(sizeof(SP_DEVINFO_DATA) == (WIDTH_32 ? 28 : 32));
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (WIDTH_32 ? 28 : 32));
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12);
static_assert(IOCTL_STORAGE_GET_DEVICE_NUMBER == 0x2D1080);
static_assert(IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS == 0x560000);
static_assert(sizeof(DISK_EXTENT) == 24 && offsetof(VOLUME_DISK_EXTENTS, Extents) == 8);
static_assert(FSCTL_LOCK_VOLUME == 0x90018 && FSCTL_DISMOUNT_VOLUME == 0x90020 &&
              FSCTL_UNLOCK_VOLUME == 0x9001C);
static_assert(CM_DRP_LOCATION_INFORMATION == 0x0E && MAX_DEVICE_ID_LEN == 200);
static_assert(CM_DRP_CAPABILITIES == 0x10 && CM_DEVCAP_UNIQUEID == 0x10);

// newer than the headers' floor: declared here, looked up at run time
using GetVolumePathNamesEntry = BOOL(WINAPI*)(LPCSTR, LPCH, DWORD, PDWORD);  // XP

// The volume calls of kernel32 that NT 4 lacks (2000), and one XP added.
struct VolumeApi {
  decltype(&FindFirstVolumeA) findFirst = nullptr;
  decltype(&FindNextVolumeA) findNext = nullptr;
  decltype(&FindVolumeClose) findClose = nullptr;
  decltype(&GetVolumeNameForVolumeMountPointA) nameForMountPoint = nullptr;
  decltype(&FindFirstVolumeMountPointA) findFirstFolder = nullptr;
  decltype(&FindNextVolumeMountPointA) findNextFolder = nullptr;
  decltype(&FindVolumeMountPointClose) findFolderClose = nullptr;
  GetVolumePathNamesEntry pathNames = nullptr;  // null before XP

  static const VolumeApi* Get() {
    static const VolumeApi* const loaded = [] {
      static VolumeApi api;
      const HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
      if (kernel == nullptr || !BindEntry(kernel, "FindFirstVolumeA", api.findFirst) ||
          !BindEntry(kernel, "FindNextVolumeA", api.findNext) ||
          !BindEntry(kernel, "FindVolumeClose", api.findClose) ||
          !BindEntry(kernel, "GetVolumeNameForVolumeMountPointA", api.nameForMountPoint) ||
          !BindEntry(kernel, "FindFirstVolumeMountPointA", api.findFirstFolder) ||
          !BindEntry(kernel, "FindNextVolumeMountPointA", api.findNextFolder) ||
          !BindEntry(kernel, "FindVolumeMountPointClose", api.findFolderClose)) {
        return static_cast<const VolumeApi*>(nullptr);
      }
      BindEntry(kernel, "GetVolumePathNamesForVolumeNameA", api.pathNames);
      return static_cast<const VolumeApi*>(&api);
    }();
    return loaded;
  }
};

// A handle that closes itself.
class OpenHandle {
 public:
  explicit OpenHandle(HANDLE handle) : handle_(handle) {}
  ~OpenHandle() {
    if (Valid()) CloseHandle(handle_);
  }
  OpenHandle(const OpenHandle&) = delete;
  OpenHandle& operator=(const OpenHandle&) = delete;
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_;
};

// No access rights asked: the storage driver answers the number itself, and
// no command reaches the device.
HANDLE OpenForQueries(const std::string& path) {
  return CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

// Volume names from the system end with a backslash, which opens the root
// folder instead of the volume.
std::string VolumeDevice(const std::string& volume) {
  if (!volume.empty() && volume.back() == '\\') return volume.substr(0, volume.size() - 1);
  return volume;
}

// "\\.\E:", the name a volume goes by where the system lists none.
bool IsLetterDevice(const std::string& volume) {
  return volume.size() == 6 && volume.compare(0, 4, "\\\\.\\") == 0 && volume[5] == ':';
}

// FILE_FS_DEVICE_INFORMATION, which the I/O manager answers from the device
// object itself: no request reaches the driver or the device.
struct IoStatus {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};
struct FsDeviceInformation {
  ULONG deviceType;
  ULONG characteristics;
};
constexpr int FILE_FS_DEVICE_INFORMATION_CLASS = 4;
using QueryVolumeEntry = LONG(NTAPI*)(HANDLE, IoStatus*, void*, ULONG, int);
static_assert(nt::DEVICE_TYPE_DISK == FILE_DEVICE_DISK &&
              nt::DEVICE_TYPE_CD_ROM == FILE_DEVICE_CD_ROM &&
              nt::DEVICE_TYPE_DVD == FILE_DEVICE_DVD);
static_assert(nt::ERROR_CODE_INVALID_FUNCTION == ERROR_INVALID_FUNCTION &&
              nt::ERROR_CODE_NOT_SUPPORTED == ERROR_NOT_SUPPORTED &&
              nt::ERROR_CODE_INVALID_PARAMETER == ERROR_INVALID_PARAMETER);

bool DeviceCharacteristics(HANDLE handle, uint32_t& characteristics) {
  // ntdll is in every NT process already: looked up, never loaded
  static const QueryVolumeEntry query = [] {
    QueryVolumeEntry entry = nullptr;
    const HMODULE ntdll = GetModuleHandleA("NTDLL.DLL");
    if (ntdll != nullptr) BindEntry(ntdll, "NtQueryVolumeInformationFile", entry);
    return entry;
  }();
  if (query == nullptr) return false;
  IoStatus status{};
  FsDeviceInformation info{};
  if (query(handle, &status, &info, sizeof info, FILE_FS_DEVICE_INFORMATION_CLASS) < 0) {
    return false;
  }
  characteristics = info.characteristics;
  return true;
}

// The device a volume's name links to ("\\Device\\Floppy0"), asked of the
// object manager without opening anything; empty when it cannot say.
std::string NtDeviceOf(const std::string& volume) {
  // "\\?\Volume{...}\" and "\\.\E:" are links named "Volume{...}" and "E:"
  std::string name = VolumeDevice(volume);
  if (name.size() > 4 &&
      (name.compare(0, 4, "\\\\?\\") == 0 || name.compare(0, 4, "\\\\.\\") == 0)) {
    name = name.substr(4);
  }
  // NT only: the consumer family's kernel32 does not export it
  static const auto query = [] {
    decltype(&QueryDosDeviceA) entry = nullptr;
    const HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    if (kernel != nullptr) BindEntry(kernel, "QueryDosDeviceA", entry);
    return entry;
  }();
  char target[1024] = {};
  if (query == nullptr || query(name.c_str(), target, sizeof target - 1) == 0) return {};
  return std::string(target, strnlen(target, sizeof target - 1));
}

// IOCTL_STORAGE_GET_DEVICE_NUMBER; false with the system's error code.
bool AskDeviceNumber(HANDLE handle, STORAGE_DEVICE_NUMBER& reply, DWORD& error) {
  std::memset(&reply, 0, sizeof reply);
  DWORD returned = 0;
  if (!DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &reply, sizeof reply,
                       &returned, nullptr)) {
    error = GetLastError();
    return false;
  }
  if (returned < sizeof reply) {
    error = ERROR_INVALID_DATA;
    return false;
  }
  return true;
}

// The letters of the drives the system has, "E:\" each.
std::vector<std::string> DriveRoots() {
  std::vector<std::string> roots;
  const DWORD drives = GetLogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if ((drives & (1u << i)) == 0) continue;
    roots.push_back(std::string(1, static_cast<char>('A' + i)) + ":\\");
  }
  return roots;
}

// 2000's way to where a volume is mounted: each letter and folder asked
// which volume it is.
class Win32MountTable final : public nt::MountTable {
 public:
  explicit Win32MountTable(const VolumeApi& api) : api_(api) {}

  std::vector<std::string> DriveRoots() override { return zq::DriveRoots(); }

  bool VolumeAt(const std::string& path, std::string& volume) override {
    char name[MAX_PATH + 1] = {};
    if (!api_.nameForMountPoint(path.c_str(), name, MAX_PATH)) return false;
    volume.assign(name, strnlen(name, MAX_PATH));
    return true;
  }

  bool FoldersOn(const std::string& volume, std::vector<std::string>& folders) override {
    char folder[MAX_PATH + 1] = {};
    const HANDLE search = api_.findFirstFolder(volume.c_str(), folder, MAX_PATH);
    if (search == INVALID_HANDLE_VALUE) {
      // only an administrator may list them; a volume without a file system
      // that keeps folders (not ready, FAT) holds none
      return GetLastError() != ERROR_ACCESS_DENIED;
    }
    bool complete = true;
    for (;;) {
      folders.emplace_back(folder, strnlen(folder, MAX_PATH));
      std::memset(folder, 0, sizeof folder);
      if (!api_.findNextFolder(search, folder, MAX_PATH)) {
        complete = GetLastError() == ERROR_NO_MORE_FILES;
        break;
      }
    }
    api_.findFolderClose(search);
    return complete;
  }

 private:
  const VolumeApi& api_;
};

}  // namespace

bool Win32DeviceTree::Interfaces(InterfaceClass cls, std::vector<nt::StorageInterface>& found) {
  const SetupApi* api = SetupApi::Get();
  if (api == nullptr) return false;
  const GUID& guid = cls == InterfaceClass::Disk ? INTERFACE_DISK : INTERFACE_CDROM;
  const HDEVINFO set =
      api->getClassDevs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return false;
  bool complete = true;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA iface;
    std::memset(&iface, 0, sizeof iface);
    iface.cbSize = sizeof iface;
    if (!api->enumInterfaces(set, nullptr, &guid, index, &iface)) {
      complete = GetLastError() == ERROR_NO_MORE_ITEMS;
      break;
    }
    // the first call only learns the size of the detail block
    DWORD required = 0;
    if (!api->getInterfaceDetail(set, &iface, nullptr, 0, &required, nullptr) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      continue;  // one interface lost is no reason to give up on the others
    }
    constexpr DWORD PATH_OFFSET = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    if (required <= PATH_OFFSET || required > 4096) continue;
    std::vector<char> block(required);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    if (!api->getInterfaceDetail(set, &iface, detail, required, nullptr, &info)) continue;
    // the path ends at its terminator, or at the end of the block at worst
    nt::StorageInterface entry;
    entry.path.assign(detail->DevicePath, strnlen(detail->DevicePath, required - PATH_OFFSET));
    entry.instance = info.DevInst;
    found.push_back(std::move(entry));
  }
  api->destroyList(set);
  return complete;
}

bool Win32DeviceTree::Parent(nt::DeviceInstance child, nt::DeviceInstance& parent) {
  const ConfigManager* api = ConfigManager::Get();
  DEVINST above = 0;
  if (api == nullptr || api->getParent(&above, child, 0) != CR_SUCCESS) return false;
  parent = above;
  return true;
}

bool Win32DeviceTree::DeviceId(nt::DeviceInstance instance, std::string& id) {
  const ConfigManager* api = ConfigManager::Get();
  char text[MAX_DEVICE_ID_LEN + 1] = {};
  if (api == nullptr || api->getDeviceId(instance, text, sizeof text, 0) != CR_SUCCESS) {
    return false;
  }
  id.assign(text, strnlen(text, MAX_DEVICE_ID_LEN));
  return true;
}

bool Win32DeviceTree::Location(nt::DeviceInstance instance, std::string& location) {
  const ConfigManager* api = ConfigManager::Get();
  char text[256] = {};
  ULONG type = 0;
  ULONG length = sizeof text - 1;
  if (api == nullptr ||
      api->getProperty(instance, CM_DRP_LOCATION_INFORMATION, &type, text, &length, 0) !=
          CR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  location.assign(text, strnlen(text, sizeof text - 1));
  return true;
}

bool Win32DeviceTree::UniqueInstanceId(nt::DeviceInstance instance, bool& unique) {
  // the bus's own instance ID (a USB serial) is kept as it is only when the
  // device says it is unique; otherwise the system makes one up
  const ConfigManager* api = ConfigManager::Get();
  DWORD capabilities = 0;
  ULONG type = 0;
  ULONG length = sizeof capabilities;
  if (api == nullptr ||
      api->getProperty(instance, CM_DRP_CAPABILITIES, &type, &capabilities, &length, 0) !=
          CR_SUCCESS ||
      type != REG_DWORD || length != sizeof capabilities) {
    return false;
  }
  unique = (capabilities & CM_DEVCAP_UNIQUEID) != 0;
  return true;
}

bool Win32DeviceTree::Number(const std::string& path, nt::StorageNumber& number) {
  const OpenHandle device(OpenForQueries(path));
  STORAGE_DEVICE_NUMBER reply;
  DWORD error = 0;
  if (!device.Valid() || !AskDeviceNumber(device.Get(), reply, error)) return false;
  uint32_t characteristics = 0;
  DeviceCharacteristics(device.Get(), characteristics);
  number = nt::DriverStorageNumber(reply.DeviceType, reply.DeviceNumber, characteristics);
  return true;
}

bool Win32DeviceTree::Volumes(std::vector<std::string>& volumes) {
  const VolumeApi* api = VolumeApi::Get();
  if (api == nullptr) {
    // NT 4 lists no volumes: its drive letters are all there is
    for (const std::string& root : DriveRoots()) volumes.push_back("\\\\.\\" + root.substr(0, 2));
    return true;
  }
  char name[MAX_PATH + 1] = {};
  const HANDLE search = api->findFirst(name, MAX_PATH);
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_NO_MORE_FILES;
  bool complete = true;
  for (;;) {
    volumes.emplace_back(name, strnlen(name, MAX_PATH));
    std::memset(name, 0, sizeof name);
    if (!api->findNext(search, name, MAX_PATH)) {
      complete = GetLastError() == ERROR_NO_MORE_FILES;
      break;
    }
  }
  api->findClose(search);
  return complete;
}

bool Win32DeviceTree::VolumeDisks(const std::string& volume,
                                  std::vector<nt::StorageNumber>& disks) {
  const OpenHandle device(OpenForQueries(VolumeDevice(volume)));
  if (!device.Valid()) return false;
  nt::VolumeAnswers answers;
  answers.ntDevice = NtDeviceOf(volume);
  answers.characteristicsKnown = DeviceCharacteristics(device.Get(), answers.characteristics);
  // a partition or a CD-ROM answers for itself; a volume over several
  // disks (dynamic disks) gives its extents instead
  STORAGE_DEVICE_NUMBER reply;
  DWORD error = 0;
  answers.numbered = AskDeviceNumber(device.Get(), reply, error);
  answers.numberError = error;
  answers.deviceType = reply.DeviceType;
  answers.deviceNumber = reply.DeviceNumber;
  if (!answers.numbered) {
    constexpr DWORD MAX_EXTENTS = 64;
    std::vector<unsigned char> block(offsetof(VOLUME_DISK_EXTENTS, Extents) +
                                     MAX_EXTENTS * sizeof(DISK_EXTENT));
    DWORD returned = 0;
    if (!DeviceIoControl(device.Get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0,
                         block.data(), static_cast<DWORD>(block.size()), &returned, nullptr)) {
      answers.extentsError = GetLastError();
    } else {
      const auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(block.data());
      const DWORD count = returned < offsetof(VOLUME_DISK_EXTENTS, Extents)
                              ? MAX_EXTENTS + 1
                              : extents->NumberOfDiskExtents;
      if (count > MAX_EXTENTS ||
          returned < offsetof(VOLUME_DISK_EXTENTS, Extents) + count * sizeof(DISK_EXTENT)) {
        answers.extentsError = ERROR_INVALID_DATA;
      } else {
        answers.extentsKnown = true;
        for (DWORD i = 0; i < count; ++i) {
          answers.extentDisks.push_back(extents->Extents[i].DiskNumber);
        }
      }
    }
  }
  return nt::PlaceVolume(answers, disks);
}

bool Win32DeviceTree::MountPoints(const std::string& volume, std::vector<std::string>& points) {
  if (IsLetterDevice(volume)) {
    points.push_back(volume.substr(4) + "\\");
    return true;
  }
  const VolumeApi* api = VolumeApi::Get();
  if (api == nullptr) return false;
  if (api->pathNames != nullptr) {
    // every letter and folder at once, as a list of strings ending in an empty one
    std::vector<char> list(1024);
    DWORD needed = 0;
    if (!api->pathNames(volume.c_str(), list.data(), static_cast<DWORD>(list.size()), &needed)) {
      if (GetLastError() != ERROR_MORE_DATA || needed == 0 || needed > 65536) return false;
      list.assign(needed, '\0');
      if (!api->pathNames(volume.c_str(), list.data(), needed, &needed)) return false;
    }
    list.push_back('\0');
    list.push_back('\0');  // ends the list whatever came back
    for (const char* entry = list.data(); *entry != '\0'; entry += std::strlen(entry) + 1) {
      points.emplace_back(entry);
    }
    return true;
  }
  // 2000: a disk mounted only in a folder is as mounted as one with a letter
  Win32MountTable table(*api);
  return nt::FindMountPoints(table, volume, points);
}

bool Win32VolumeLocker::LockAndDismount(const std::string& volume, Handle& handle,
                                        std::string& problem) {
  const HANDLE device =
      CreateFileA(VolumeDevice(volume).c_str(), GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    problem = SystemReason(GetLastError());
    return false;
  }
  DWORD returned = 0;
  // the lock fails while files on the volume are open: nothing is dismounted under a user
  if (!DeviceIoControl(device, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr)) {
    problem = "in use (" + SystemReason(GetLastError()) + ")";
    CloseHandle(device);
    return false;
  }
  if (!DeviceIoControl(device, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr)) {
    problem = SystemReason(GetLastError());
    DeviceIoControl(device, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
    CloseHandle(device);
    return false;
  }
  handle = reinterpret_cast<Handle>(device);
  return true;
}

void Win32VolumeLocker::Release(Handle handle) {
  const HANDLE device = reinterpret_cast<HANDLE>(handle);
  DWORD returned = 0;
  DeviceIoControl(device, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
  CloseHandle(device);
}

}  // namespace zq
