// System DLLs looked up at run time, all loaded here: from the system folder
// by full path, so a DLL of the same name beside the program (in Downloads,
// say) or in the current folder is never taken for one, least of all by a
// program run as administrator.
#pragma once

// clang-format off
#include "platform/win32/win32_headers.h"
#include <cfgmgr32.h>
#include <setupapi.h>
// clang-format on

#include <string>

namespace zq {

// "C:\WINDOWS\system32\SETUPAPI.DLL"; empty when the system folder cannot be had.
std::string SystemLibraryPath(const char* name);

// The library from the system folder, its own dependencies looked for there
// too; null when it is not there. The search flags that do this by name came
// with Windows 8 (7 with an update): the oldest systems take a full path.
HMODULE LoadSystemLibrary(const char* name);

// GetProcAddress hands out one generic function type; go through the type
// that converts to every other without a warning.
template <typename Entry>
bool BindEntry(HMODULE module, const char* name, Entry& entry) {
  entry = reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
  return entry != nullptr;
}

// One system library's entries, bound all or none; the library is freed on
// the failure path and otherwise kept for the rest of the process.
class SystemLibrary {
 public:
  explicit SystemLibrary(const char* name) : module_(LoadSystemLibrary(name)) {}
  ~SystemLibrary() {
    if (module_ != nullptr && !kept_) FreeLibrary(module_);
  }
  SystemLibrary(const SystemLibrary&) = delete;
  SystemLibrary& operator=(const SystemLibrary&) = delete;

  template <typename Entry>
  bool Bind(const char* name, Entry& entry) {
    return module_ != nullptr && BindEntry(module_, name, entry);
  }
  void Keep() { kept_ = true; }

 private:
  HMODULE module_;
  bool kept_ = false;
};

// The device interface classes of disks and CD-ROM drives, spelt out so no
// GUID library is needed.
constexpr GUID INTERFACE_DISK = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
constexpr GUID INTERFACE_CDROM = {
    0x53f56308, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

// SetupAPI's device-interface calls. The consumer family and NT 4 may lack
// the library or these entries, and a program that imported them would not
// start there at all. Null when any is missing.
struct SetupApi {
  decltype(&SetupDiGetClassDevsA) getClassDevs = nullptr;
  decltype(&SetupDiEnumDeviceInterfaces) enumInterfaces = nullptr;
  decltype(&SetupDiGetDeviceInterfaceDetailA) getInterfaceDetail = nullptr;
  decltype(&SetupDiDestroyDeviceInfoList) destroyList = nullptr;
  static const SetupApi* Get();
};

// The configuration manager's calls for walking the device tree; null when
// any is missing.
struct ConfigManager {
  decltype(&CM_Get_Parent) getParent = nullptr;
  decltype(&CM_Get_Device_IDA) getDeviceId = nullptr;
  decltype(&CM_Get_DevNode_Registry_PropertyA) getProperty = nullptr;
  static const ConfigManager* Get();
};

// A window's notifications of devices coming and going: 98 and 2000 brought
// them, and a program that imported them would not start on 95. Null when
// either is missing.
struct DeviceNotifications {
  using RegisterEntry = void*(WINAPI*)(HANDLE recipient, void* filter, DWORD flags);
  using UnregisterEntry = BOOL(WINAPI*)(void* notification);
  RegisterEntry registerNotification = nullptr;      // RegisterDeviceNotificationA
  UnregisterEntry unregisterNotification = nullptr;  // UnregisterDeviceNotification
  static const DeviceNotifications* Get();
};

// The multimedia timer's resolution calls; null when the library is missing.
struct TimerResolution {
  using PeriodEntry = UINT(WINAPI*)(UINT);
  PeriodEntry begin = nullptr;  // timeBeginPeriod
  PeriodEntry end = nullptr;    // timeEndPeriod
  static const TimerResolution* Get();
};

// The system timer at 1 ms while this lives, on NT, so a 5 ms sleep between
// erase polls lasts about 5 ms rather than a 15.6 ms tick; put back after.
class FinerTimer {
 public:
  FinerTimer();
  ~FinerTimer();
  FinerTimer(const FinerTimer&) = delete;
  FinerTimer& operator=(const FinerTimer&) = delete;

 private:
  const TimerResolution* timer_ = nullptr;  // set once the period was begun
};

}  // namespace zq
