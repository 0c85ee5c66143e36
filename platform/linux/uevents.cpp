#include "platform/linux/uevents.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>

namespace zq {
namespace {

constexpr size_t ACTION_LENGTH_MAX = 16;  // "offline" is the longest the kernel sends

bool IsPrintable(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

bool IsStorageUnit(int scsiType) {
  return scsiType == SCSI_TYPE_DISK || scsiType == SCSI_TYPE_CDROM ||
         scsiType == SCSI_TYPE_OPTICAL || scsiType == SCSI_TYPE_SIMPLIFIED_DISK;
}

}  // namespace

bool ParseUevent(const char* data, size_t size, Uevent& event) {
  event = Uevent{};
  if (data == nullptr || size == 0 || size > UEVENT_MESSAGE_MAX) return false;
  std::string_view rest(data, size);
  bool header = true;
  bool haveSubsystem = false;
  while (!rest.empty()) {
    const size_t end = std::min(rest.find('\0'), rest.size());
    const std::string_view field = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (field.empty() || !IsPrintable(field)) return false;
    if (header) {
      // udev's own messages start "libudev": no '@', refused here
      const size_t at = field.find('@');
      if (at == std::string_view::npos || at == 0 || at > ACTION_LENGTH_MAX ||
          at + 1 >= field.size() || field[at + 1] != '/') {
        return false;
      }
      event.action = field.substr(0, at);
      event.devpath = field.substr(at + 1);
      header = false;
      continue;
    }
    const size_t equals = field.find('=');
    if (equals == std::string_view::npos || equals == 0) return false;
    const std::string_view key = field.substr(0, equals);
    const std::string_view value = field.substr(equals + 1);
    if (key == "ACTION" && value != event.action) return false;
    if (key == "DEVPATH" && value != event.devpath) return false;
    if (key == "SUBSYSTEM") {
      event.subsystem = value;
      haveSubsystem = !value.empty();
    }
    if (key == "DEVNAME") event.devname = value;
  }
  return !header && haveSubsystem;
}

UeventMeaning MeaningOf(const Uevent& event) {
  static constexpr std::array<std::string_view, 4> SUBSYSTEMS = {"scsi_generic", "block", "scsi",
                                                                 "usb"};
  if (std::find(SUBSYSTEMS.begin(), SUBSYSTEMS.end(), event.subsystem) == SUBSYSTEMS.end()) {
    return UeventMeaning::None;
  }
  // a driver bound or unbound changes which devices are storage
  if (event.action == "add" || event.action == "bind") return UeventMeaning::Added;
  if (event.action == "remove" || event.action == "unbind") return UeventMeaning::Removed;
  return UeventMeaning::None;
}

bool NodeOpens(const std::string& path) {
  // O_NONBLOCK: neither a generic node nor a disk without media may hold us
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return errno == EBUSY;
  close(fd);
  return true;
}

std::vector<std::string> UnsettledBridges(const std::vector<ScsiGenericNode>& nodes,
                                          const std::string& devRoot,
                                          const std::set<std::string>& known) {
  std::vector<std::string> unsettled;
  for (const ScsiGenericNode& node : nodes) {
    if (!IsBridge(node) || known.count(node.node) != 0) continue;
    const std::string sg = devRoot + "/sg" + std::to_string(node.sgNumber);
    // sd or sr attaches after sg: a storage unit without its disk is not ready to be claimed
    const bool blockReady = !IsStorageUnit(node.scsiType) ||
                            (!node.blockName.empty() && NodeOpens(devRoot + "/" + node.blockName));
    if (!NodeOpens(sg) || !blockReady) unsettled.push_back(node.node);
  }
  return unsettled;
}

}  // namespace zq
