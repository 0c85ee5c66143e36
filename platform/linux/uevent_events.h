// Plugs as the kernel tells them on its uevent netlink socket: a station
// sleeps in poll(2) until a bridge came or went, and hears of one that came
// only once its nodes can be opened.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "cli/device_events.h"

namespace zq::cli {

struct UeventSettings {
  std::string sysRoot = "/sys";
  std::string devRoot = "/dev";
  // how long a bridge that came is waited for before it is told anyway
  // (udev may still be making or granting its nodes, or never will)
  uint32_t settleLimitMs = 5000;
  // how often unsettled nodes are looked at again meanwhile
  uint32_t settleRetryMs = 100;
};

// A socket bound to the kernel's own uevent group; -1 with the reason when
// the system does not let this process have one.
int OpenUeventSocket(std::string& problem);

// Events read from `socket` (taken over, closed with the events). With
// `kernelOnly` messages not sent by the kernel itself are dropped. Null with
// the reason when no wake-up channel can be had (the socket is closed then).
std::unique_ptr<DeviceEvents> MakeUeventEvents(int socket, bool kernelOnly,
                                               const UeventSettings& settings,
                                               std::string& problem);

// The kernel sends device events only into network namespaces that the first
// user namespace owns: in one a rootless container made, the socket opens
// and stays silent. True when this process's network namespace is such a one.
bool NetworkNamespaceIsDeaf();

// The kernel's events for this system; null with the reason when they
// cannot be had, where a station must look for itself.
std::unique_ptr<DeviceEvents> MakeKernelDeviceEvents(std::string& problem);

}  // namespace zq::cli
