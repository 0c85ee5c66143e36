// mountinfo lines: "36 35 8:17 / /media/my\040disk rw,nosuid - vfat /dev/sdb1 rw".
#include "platform/linux/mount_check.h"

#include <algorithm>
#include <string_view>

namespace zq {
namespace {

// a host with thousands of container mounts stays far below this
constexpr size_t MOUNT_INFO_MAX = 16 * 1024 * 1024;
constexpr size_t MOUNT_FIELD_MAJOR_MINOR = 2;
constexpr size_t MOUNT_FIELD_MOUNT_POINT = 4;

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  while (!line.empty()) {
    const size_t end = std::min(line.find(' '), line.size());
    if (end > 0) fields.push_back(line.substr(0, end));
    line.remove_prefix(std::min(end + 1, line.size()));
  }
  return fields;
}

// The kernel writes space, tab, newline and backslash as \ooo.
std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto octal = [&](size_t at) { return text[at] >= '0' && text[at] <= '7'; };
    if (text[i] == '\\' && i + 3 < text.size() && octal(i + 1) && octal(i + 2) && octal(i + 3) &&
        text[i + 1] <= '3') {
      out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                      (text[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace

bool ReadMountInfo(const std::string& path, std::string& text) {
  return ReadBoundedFile(path, MOUNT_INFO_MAX, text);
}

std::vector<std::string> MountPointsOn(const std::string& mountInfo,
                                       const std::vector<BlockDevice>& devices) {
  std::vector<std::string> mountPoints;
  std::string_view rest = mountInfo;
  while (!rest.empty()) {
    const size_t end = std::min(rest.find('\n'), rest.size());
    const std::vector<std::string_view> fields = SplitFields(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));

    // optional fields end at "-"; the file system type and the source follow
    const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
    DeviceNumber number;
    if (fields.size() <= MOUNT_FIELD_MOUNT_POINT ||
        dash - fields.begin() <= static_cast<long>(MOUNT_FIELD_MOUNT_POINT) ||
        !ParseDeviceNumber(fields[MOUNT_FIELD_MAJOR_MINOR], number)) {
      continue;  // not a line the kernel writes
    }
    const size_t sourceField = static_cast<size_t>(dash - fields.begin()) + 2;
    const std::string source = sourceField < fields.size() ? Unescape(fields[sourceField]) : "";
    const bool onBridge = std::any_of(devices.begin(), devices.end(), [&](const BlockDevice& d) {
      return d.number == number || source == "/dev/" + d.name;
    });
    if (onBridge) mountPoints.push_back(Unescape(fields[MOUNT_FIELD_MOUNT_POINT]));
  }
  return mountPoints;
}

}  // namespace zq
