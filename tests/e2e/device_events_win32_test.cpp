// The station's plug events on Windows: a hidden window's notifications, and
// what is said when the system refuses them (the station then looks once a
// second by itself).
#include "platform/win32/device_events_win32.h"

#include <gtest/gtest.h>

// clang-format off
#include "platform/win32/win32_headers.h"
#include <dbt.h>
// clang-format on

#include <string>

#include "tests/e2e/test_thread.h"

namespace zq {
namespace {

DWORD Since(DWORD start) {
  return GetTickCount() - start;
}

HWND PlugWindow() {
  return FindWindowExA(HWND_MESSAGE, nullptr, PLUG_WINDOW_CLASS, nullptr);
}

std::unique_ptr<cli::DeviceEvents> SystemEvents() {
  std::string problem;
  std::unique_ptr<cli::DeviceEvents> events =
      MakeWindowDeviceEvents(DeviceNotifications::Get(), problem);
  EXPECT_NE(events, nullptr) << problem;
  return events;
}

TEST(PlugEvents, WakeEndsAWaitAtOnceAndIsKeptForTheNextWait) {
  std::unique_ptr<cli::DeviceEvents> events = SystemEvents();
  ASSERT_NE(events, nullptr);
  DWORD start = GetTickCount();
  {
    TestThread waker([&] {
      Sleep(100);
      events->Wake();
    });
    EXPECT_FALSE(events->Wait(20000));
  }
  EXPECT_LT(Since(start), 2000u);
  events->Wake();
  start = GetTickCount();
  EXPECT_FALSE(events->Wait(20000));
  EXPECT_LT(Since(start), 1000u);
  // a wake is told once
  start = GetTickCount();
  EXPECT_FALSE(events->Wait(100));
  EXPECT_GE(Since(start), 80u);
}

TEST(PlugEvents, ArrivalsAndRemovalsAreToldAndKeptOtherNewsIsNot) {
  std::unique_ptr<cli::DeviceEvents> events = SystemEvents();
  ASSERT_NE(events, nullptr);
  const HWND window = PlugWindow();
  ASSERT_NE(window, nullptr);
  DEV_BROADCAST_HDR header = {};
  header.dbch_size = sizeof header;
  header.dbch_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  const LPARAM news = reinterpret_cast<LPARAM>(&header);
  SendMessageA(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, news);
  EXPECT_FALSE(events->Wait(50));
  // came while nobody waited: told to the next wait, once
  SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, news);
  EXPECT_TRUE(events->Wait(0));
  EXPECT_FALSE(events->Wait(50));
  SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, news);
  EXPECT_TRUE(events->Wait(1000));
  // a wake and a change together: the wake ends this wait, the change the next
  SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, news);
  events->Wake();
  EXPECT_FALSE(events->Wait(1000));
  EXPECT_TRUE(events->Wait(0));
  events.reset();
  EXPECT_EQ(PlugWindow(), nullptr) << "the window outlived its events";
}

// What a system that refuses the registration does to the window.
int registered = 0;
int unregistered = 0;
int refuseFrom = 0;  // the registration refused: 1 the first, 2 the second

void* WINAPI Register(HANDLE, void*, DWORD) {
  if (++registered == refuseFrom) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return &registered;
}

BOOL WINAPI Unregister(void* note) {
  if (note == &registered) ++unregistered;
  return TRUE;
}

TEST(PlugEvents, RefusedNotificationsAreSaidAndLeaveNoWindow) {
  struct Row {
    const char* name;
    int refuseFrom;
    const char* problem;
  };
  const Row rows[] = {
      {"disks refused", 1, "refused device notifications for disks"},
      {"CD-ROM drives refused", 2, "refused device notifications for CD-ROM drives"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    registered = 0;
    unregistered = 0;
    refuseFrom = row.refuseFrom;
    DeviceNotifications refusing;
    refusing.registerNotification = Register;
    refusing.unregisterNotification = Unregister;
    std::string problem;
    EXPECT_EQ(MakeWindowDeviceEvents(&refusing, problem), nullptr);
    EXPECT_NE(problem.find(row.problem), std::string::npos) << problem;
    // what was registered is undone, and the window has gone with its thread
    EXPECT_EQ(unregistered, row.refuseFrom - 1);
    EXPECT_EQ(PlugWindow(), nullptr);
  }
  std::string problem;
  EXPECT_EQ(MakeWindowDeviceEvents(nullptr, problem), nullptr);
  EXPECT_EQ(problem, "this system offers no device notifications");
}

}  // namespace
}  // namespace zq
