// The kernel's word of devices coming and going (uevents, as its netlink
// socket sends them), and when a bridge that came can be used: its nodes
// made by devtmpfs or udev, and opened. Messages are untrusted input.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/usb_storage_scan.h"

namespace zq {

// One message is at most this long; the kernel's own buffer is 2 KiB.
constexpr size_t UEVENT_MESSAGE_MAX = 8192;

struct Uevent {
  std::string action;     // "add", "remove", "bind"...
  std::string devpath;    // "/devices/pci0000:00/.../host6/scsi_generic/sg2"
  std::string subsystem;  // "scsi_generic"
  std::string devname;    // "sg2"; empty for devices without a node
};

// "ACTION@DEVPATH" then KEY=VALUE strings, each ended by a NUL (the last one
// may end with the message). False for anything else: no '@', a key
// without '=', an unprintable byte, a header that disagrees with its
// ACTION or DEVPATH, no SUBSYSTEM, or too long.
bool ParseUevent(const char* data, size_t size, Uevent& event);

enum class UeventMeaning { None, Added, Removed };

// What a message means for the bridges: only SCSI, block, generic and USB
// devices matter, and only their coming and going.
UeventMeaning MeaningOf(const Uevent& event);

// Whether a node can be opened now: it exists and the system lets this
// process have it (busy counts: someone has it, it is there).
bool NodeOpens(const std::string& path);

// The bridges among `nodes` whose nodes have not settled yet: the generic
// node under `devRoot` cannot be opened, or a storage unit has no block
// device yet or its block node cannot be opened. Nodes in `known` (by
// their generic node, "/dev/sg2") are not waited for.
std::vector<std::string> UnsettledBridges(const std::vector<ScsiGenericNode>& nodes,
                                          const std::string& devRoot,
                                          const std::set<std::string>& known);

}  // namespace zq
