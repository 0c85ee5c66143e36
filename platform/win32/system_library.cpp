#include "platform/win32/system_library.h"

#include "platform/win32/platform_win32.h"

namespace zq {

std::string SystemLibraryPath(const char* name) {
  char folder[MAX_PATH + 1] = {};
  const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  std::string path(folder, length);
  if (path.back() != '\\') path += '\\';
  return path + name;
}

HMODULE LoadSystemLibrary(const char* name) {
  const std::string path = SystemLibraryPath(name);
  if (path.empty()) return nullptr;
  // with a full path, the altered search looks for the library's own
  // dependencies in its folder instead of the program's
  return LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

const SetupApi* SetupApi::Get() {
  static const SetupApi* const loaded = [] {
    static SetupApi api;
    SystemLibrary library("SETUPAPI.DLL");
    if (!library.Bind("SetupDiGetClassDevsA", api.getClassDevs) ||
        !library.Bind("SetupDiEnumDeviceInterfaces", api.enumInterfaces) ||
        !library.Bind("SetupDiGetDeviceInterfaceDetailA", api.getInterfaceDetail) ||
        !library.Bind("SetupDiDestroyDeviceInfoList", api.destroyList)) {
      return static_cast<const SetupApi*>(nullptr);
    }
    library.Keep();
    return static_cast<const SetupApi*>(&api);
  }();
  return loaded;
}

const ConfigManager* ConfigManager::Get() {
  static const ConfigManager* const loaded = [] {
    static ConfigManager api;
    // 2000 has them in both libraries; CFGMGR32 is where later systems keep them
    for (const char* name : {"CFGMGR32.DLL", "SETUPAPI.DLL"}) {
      SystemLibrary library(name);
      if (library.Bind("CM_Get_Parent", api.getParent) &&
          library.Bind("CM_Get_Device_IDA", api.getDeviceId) &&
          library.Bind("CM_Get_DevNode_Registry_PropertyA", api.getProperty)) {
        library.Keep();
        return static_cast<const ConfigManager*>(&api);
      }
    }
    return static_cast<const ConfigManager*>(nullptr);
  }();
  return loaded;
}

const DeviceNotifications* DeviceNotifications::Get() {
  static const DeviceNotifications* const loaded = [] {
    static DeviceNotifications api;
    SystemLibrary library("USER32.DLL");
    if (!library.Bind("RegisterDeviceNotificationA", api.registerNotification) ||
        !library.Bind("UnregisterDeviceNotification", api.unregisterNotification)) {
      return static_cast<const DeviceNotifications*>(nullptr);
    }
    library.Keep();
    return static_cast<const DeviceNotifications*>(&api);
  }();
  return loaded;
}

const TimerResolution* TimerResolution::Get() {
  static const TimerResolution* const loaded = [] {
    static TimerResolution api;
    SystemLibrary library("WINMM.DLL");
    if (!library.Bind("timeBeginPeriod", api.begin) || !library.Bind("timeEndPeriod", api.end)) {
      return static_cast<const TimerResolution*>(nullptr);
    }
    library.Keep();
    return static_cast<const TimerResolution*>(&api);
  }();
  return loaded;
}

FinerTimer::FinerTimer() {
  // the consumer family's sleeps keep their own ticks
  if (QueryPlatformFamily() != PlatformFamily::Nt) return;
  const TimerResolution* timer = TimerResolution::Get();
  constexpr UINT TIMERR_OK = 0;
  if (timer != nullptr && timer->begin(1) == TIMERR_OK) timer_ = timer;
}

FinerTimer::~FinerTimer() {
  if (timer_ != nullptr) timer_->end(1);
}

}  // namespace zq
