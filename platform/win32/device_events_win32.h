// Plugs as Windows tells them: a hidden message-only window on a thread of
// its own, registered for the arrival and removal of disk and CD-ROM
// interfaces. Systems without these notifications make the station look
// for itself once a second.
#pragma once

#include <memory>
#include <string>

#include "cli/device_events.h"
#include "platform/win32/system_library.h"

namespace zq {

// Events from the window, registered through `api`; null with the reason
// when `api` is null (the system lacks the calls), or the window or either
// registration cannot be had.
std::unique_ptr<cli::DeviceEvents> MakeWindowDeviceEvents(const DeviceNotifications* api,
                                                          std::string& problem);

// The class of that window, for finding it.
constexpr const char* PLUG_WINDOW_CLASS = "zq5210-plugs";

}  // namespace zq
