#include "app/path_name.h"

namespace zq {

bool NoLeadBytes(uint8_t) {
  return false;
}

size_t FileNameStart(const std::string& path, LeadByteTest isLeadByte) {
  size_t start = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    const auto byte = static_cast<uint8_t>(path[i]);
    if (byte == '\\' || byte == '/') {
      start = i + 1;
    } else if (isLeadByte(byte) && i + 1 < path.size()) {
      ++i;  // the trail byte, whatever its value
    }
  }
  return start;
}

}  // namespace zq
