#include "cli/report.h"

#include "cli/exit_status.h"
#include "protocol/chip_info_display.h"

namespace zq::cli {
namespace {

char stoppedReport[128] = "";
char damagedReport[256] = "";

// A stop's object, made while allocating is still safe: the signal or
// console handler that ends the process only writes it.
template <size_t N>
void Prepare(char (&report)[N], int exitCode, const char* message) {
  const std::string text =
      nlohmann::json{{"exit_code", exitCode}, {"message", message}}.dump(2) + "\n";
  std::snprintf(report, N, "%s", text.c_str());
}

// Length of the valid UTF-8 sequence at `at`, 0 when there is none.
size_t Utf8Length(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

void MakeTextsValid(nlohmann::json& value) {
  if (value.is_string()) {
    value = JsonText(value.get<std::string>());
  } else if (value.is_structured()) {
    for (nlohmann::json& item : value) MakeTextsValid(item);
  }
}

}  // namespace

std::string JsonText(const std::string& text) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string valid;
  valid.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const size_t length = Utf8Length(text, at);
    if (length == 0) {
      const auto byte = static_cast<unsigned char>(text[at]);
      valid += "\\x";
      valid += DIGITS[byte >> 4];
      valid += DIGITS[byte & 0xF];
      ++at;
    } else {
      valid.append(text, at, length);
      at += length;
    }
  }
  return valid;
}

void Report::UseJson(bool json) {
  json_ = json;
  if (!json) {
    stoppedReport[0] = '\0';
    damagedReport[0] = '\0';
    return;
  }
  Prepare(stoppedReport, EXIT_STOPPED, "stopped");
  Prepare(damagedReport, EXIT_AFTER_ERASE, TEXT_STOPPED_AFTER_DAMAGE);
}

bool Report::Finish(int exitCode) {
  if (!json_) return true;
  body_["exit_code"] = exitCode;
  body_["message"] = message_;
  MakeTextsValid(body_);
  return std::printf("%s\n", body_.dump(2).c_str()) > 0;
}

const char* StoppedReport() {
  return stoppedReport;
}

const char* StoppedAfterDamageReport() {
  return damagedReport;
}

Report& TheReport() {
  static Report report;
  return report;
}

nlohmann::json BridgeJson(const FoundBridge& found) {
  const ChipDescription chip = DescribeChip(found.bridge->Info());
  nlohmann::json bridge;
  bridge["device"] = found.bridge->Name();
  bridge["emulated"] = found.details.emulated;
  bridge["usb_port"] = found.details.usbPort;
  bridge["serial"] = found.details.serial;
  bridge["flash_maker"] = chip.maker;
  bridge["flash_part"] = chip.part;
  bridge["rom_size_kb"] = chip.romSizeKb;
  bridge["firmware"] = chip.firmware;
  bridge["access"] = found.bridge->Info().accessFlag != 0;
  return bridge;
}

}  // namespace zq::cli
