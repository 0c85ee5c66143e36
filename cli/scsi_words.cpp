#include "cli/scsi_words.h"

#include <cstdio>

namespace zq::cli {
namespace {

constexpr const char* SENSE_KEYS[16] = {
    "NO SENSE",       "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
    "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
    "BLANK CHECK",    "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
    "EQUAL",          "VOLUME OVERFLOW", "MISCOMPARE",     "COMPLETED"};

// The additional sense codes a bridge answers with in practice.
const char* AscWords(uint8_t asc, uint8_t ascq) {
  switch (asc) {
    case 0x04:
      return "logical unit not ready";
    case 0x20:
      return "invalid command operation code";
    case 0x24:
      return "invalid field in CDB";
    case 0x25:
      return "logical unit not supported";
    case 0x28:
      return "not ready to ready change, medium may have changed";
    case 0x29:
      return "power on or reset";
    case 0x3A:
      return "medium not present";
    case 0x44:
      return "internal target failure";
    case 0x47:
      return "SCSI parity error";
    case 0x4E:
      return "overlapped commands attempted";
    default:
      return ascq == 0 && asc == 0 ? "no additional sense information" : nullptr;
  }
}

std::string Hex2(uint8_t value) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", value);
  return text;
}

}  // namespace

std::string HexBytes(const uint8_t* bytes, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    if (i > 0) text += ' ';
    text += Hex2(bytes[i]);
  }
  return text;
}

std::string ScsiStatusWords(uint8_t status) {
  const char* words = nullptr;
  switch (status) {
    case 0x00:
      words = "good";
      break;
    case 0x02:
      words = "check condition";
      break;
    case 0x08:
      words = "busy";
      break;
    case 0x18:
      words = "reservation conflict";
      break;
    case 0x28:
      words = "task set full";
      break;
    case 0x40:
      words = "task aborted";
      break;
    default:
      words = "status";
  }
  return std::string(words) + " (0x" + Hex2(status) + ")";
}

std::string SenseWords(const uint8_t* sense, size_t length) {
  if (length == 0) return {};
  const uint8_t format = sense[0] & 0x7F;
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  if ((format == 0x70 || format == 0x71) && length >= 3) {
    key = sense[2] & 0x0F;
    asc = length > 12 ? sense[12] : 0;
    ascq = length > 13 ? sense[13] : 0;
  } else if ((format == 0x72 || format == 0x73) && length >= 4) {
    key = sense[1] & 0x0F;
    asc = sense[2];
    ascq = sense[3];
  } else {
    return {};
  }
  std::string text = std::string(SENSE_KEYS[key]) + ", ASC/ASCQ " + Hex2(asc) + "/" + Hex2(ascq);
  const char* words = AscWords(asc, ascq);
  return words == nullptr ? text : text + " (" + words + ")";
}

}  // namespace zq::cli
