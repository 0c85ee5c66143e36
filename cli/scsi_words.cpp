#include "cli/scsi_words.h"

#include <cstdio>

namespace zq::cli {

std::string HexBytes(const uint8_t* bytes, size_t length) {
  std::string text;
  char hex[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += hex;
  }
  return text;
}

}  // namespace zq::cli
