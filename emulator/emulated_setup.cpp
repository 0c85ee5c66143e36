#include "emulator/emulated_setup.h"

#include "emulator/flash_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

namespace zq {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseCount(std::string_view text, uint32_t& value) {
  return ParseNumber(text, 10, 1, UINT32_MAX, value);
}

bool ParseAddress(std::string_view text, uint32_t& value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    return ParseNumber(text.substr(2), 16, 0, 0xFFFF, value);
  }
  return ParseNumber(text, 10, 0, 0xFFFF, value);
}

bool StartsWith(std::string_view text, std::string_view prefix, std::string_view& rest) {
  if (text.substr(0, prefix.size()) != prefix) return false;
  rest = text.substr(prefix.size());
  return true;
}

}  // namespace

bool ParseNumber(std::string_view text, unsigned base, uint32_t minimum, uint32_t maximum,
                 uint32_t& value) {
  if (text.empty()) return false;
  uint64_t result = 0;
  for (char c : text) {
    const int digit = HexDigit(c);
    if (digit < 0 || static_cast<unsigned>(digit) >= base) return false;
    result = result * base + static_cast<unsigned>(digit);
    if (result > maximum) return false;  // also keeps long inputs from overflowing
  }
  if (result < minimum) return false;
  value = static_cast<uint32_t>(result);
  return true;
}

std::string EnvironmentSetting(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool ParseRecordHex(const std::string& hex24, std::array<uint8_t, CHIP_INFO_RECORD_SIZE>& record) {
  if (hex24.size() != 2 * CHIP_INFO_RECORD_SIZE) return false;
  std::array<uint8_t, CHIP_INFO_RECORD_SIZE> parsed{};
  for (size_t i = 0; i < parsed.size(); ++i) {
    const int high = HexDigit(hex24[2 * i]);
    const int low = HexDigit(hex24[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    parsed[i] = static_cast<uint8_t>(high << 4 | low);
  }
  record = parsed;
  return true;
}

bool ParseFault(const std::string& text, BridgeFaults& faults) {
  const std::string_view view = text;
  std::string_view rest;
  uint32_t value = 0;
  if (view == "erase") {
    faults.eraseFails = true;
  } else if (view == "stuck") {
    faults.stuckBusy = true;
  } else if (view == "status") {
    faults.statusFails = true;
  } else if (view == "info") {
    faults.infoFails = true;
  } else if (view == "refuse-erase") {
    faults.eraseRefused = true;
  } else if (StartsWith(view, "short-read:", rest)) {
    if (!ParseCount(rest, value)) return false;
    faults.shortRead = value;
  } else if (StartsWith(view, "write:", rest)) {
    if (!ParseCount(rest, value)) return false;
    faults.failWrite = value;
  } else if (StartsWith(view, "read:", rest)) {
    if (!ParseCount(rest, value)) return false;
    faults.failRead = value;
  } else if (StartsWith(view, "lie-write:", rest)) {
    if (!ParseCount(rest, value)) return false;
    faults.lyingWrite = value;
  } else if (StartsWith(view, "vanish:", rest)) {
    if (!ParseCount(rest, value)) return false;
    faults.vanishAfter = value;
  } else if (StartsWith(view, "flip:", rest)) {
    if (!ParseAddress(rest, value)) return false;
    faults.flipAddress = static_cast<uint16_t>(value);
  } else {
    return false;
  }
  return true;
}

bool ConfigureFromEnvironment(FilePort& files, BridgeDevice& chip, std::string& flashPath,
                              std::string& problem) {
  flashPath = EnvironmentSetting("ZQ_EMU_FLASH");
  if (!flashPath.empty() && !LoadFlashFile(files, flashPath, chip.Flash())) {
    problem = "ZQ_EMU_FLASH: cannot load " + flashPath;
    return false;
  }
  const std::string record = EnvironmentSetting("ZQ_EMU_RECORD");
  if (!record.empty() && !ParseRecordHex(record, chip.Record())) {
    problem = "ZQ_EMU_RECORD: not 24 hex digits: " + record;
    return false;
  }
  const std::string busy = EnvironmentSetting("ZQ_EMU_BUSY");
  if (!busy.empty()) {
    uint32_t count = 0;
    if (!ParseNumber(busy, 10, 0, 1000000, count)) {
      problem = "ZQ_EMU_BUSY: not a count: " + busy;
      return false;
    }
    chip.SetBusyAnswers(count);
  }
  const std::string faults = EnvironmentSetting("ZQ_EMU_FAULT");
  for (size_t start = 0; !faults.empty() && start <= faults.size();) {
    const size_t comma = faults.find(',', start);
    const std::string one =
        faults.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (!ParseFault(one, chip.Faults())) {
      problem = "ZQ_EMU_FAULT: unknown fault: " + one;
      return false;
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return true;
}

}  // namespace zq
