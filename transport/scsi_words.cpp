#include "transport/scsi_words.h"

#include <cstdio>
#include <iterator>

namespace zq {
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

bool SenseCodes(const uint8_t* sense, size_t length, uint8_t& key, uint8_t& asc, uint8_t& ascq) {
  if (sense == nullptr || length == 0) return false;
  const uint8_t format = sense[0] & 0x7F;
  if ((format == 0x70 || format == 0x71) && length >= 3) {
    key = sense[2] & 0x0F;
    asc = length > 12 ? sense[12] : 0;
    ascq = length > 13 ? sense[13] : 0;
    return true;
  }
  if ((format == 0x72 || format == 0x73) && length >= 4) {
    key = sense[1] & 0x0F;
    asc = sense[2];
    ascq = sense[3];
    return true;
  }
  return false;
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
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  if (!SenseCodes(sense, length, key, asc, ascq)) return {};
  std::string text = std::string(SENSE_KEYS[key]) + ", ASC/ASCQ " + Hex2(asc) + "/" + Hex2(ascq);
  const char* words = AscWords(asc, ascq);
  return words == nullptr ? text : text + " (" + words + ")";
}

std::string HostStatusWords(uint8_t status) {
  static const char* const WORDS[] = {"ok",
                                      "no connection (unplugged)",
                                      "bus busy",
                                      "timed out",
                                      "bad target",
                                      "aborted",
                                      "parity error",
                                      "host error",
                                      "bus reset",
                                      "bad interrupt",
                                      "passed back",
                                      "soft error",
                                      "imm retry",
                                      "requeued",
                                      "transport disrupted",
                                      "transport failfast"};
  const std::string number = "host status " + std::to_string(status);
  return status < std::size(WORDS) ? number + " (" + WORDS[status] + ")" : number;
}

std::string DriverStatusWords(uint16_t status) {
  static const char* const WORDS[] = {"ok",      "busy",    "soft error", "medium error", "error",
                                      "invalid", "timeout", "hard error", "sense"};
  // the low four bits say what happened; the high ones were suggestions
  const unsigned code = status & 0x0F;
  const std::string number = "driver status " + std::to_string(status);
  return code < std::size(WORDS) ? number + " (" + WORDS[code] + ")" : number;
}

}  // namespace zq
