#include "cli/report.h"

#include <cstdlib>

#include "cli/terminal_window.h"
#include "protocol/chip_info_display.h"

namespace zq::cli {
namespace {

// The part of a label after its caption: "SST" of " Vendor ID: SST".
std::string After(const std::string& label, const std::string& caption) {
  return label.rfind(caption, 0) == 0 ? label.substr(caption.size()) : label;
}

}  // namespace

void Report::Finish(int exitCode) {
  if (!json_) return;
  body_["exit_code"] = exitCode;
  body_["message"] = message_;
  // outside text may hold any byte: never let it stop the report
  std::printf("%s\n", body_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

Report& TheReport() {
  static Report report;
  return report;
}

nlohmann::json BridgeJson(const FoundBridge& found) {
  const ChipLabels labels = FormatChipLabels(found.bridge->Info());
  nlohmann::json bridge;
  bridge["device"] = found.bridge->Name();
  bridge["emulated"] = found.emulated;
  bridge["usb_port"] = found.details.usbPort;
  bridge["serial"] = found.details.serial;
  bridge["flash_maker"] = After(labels.vendor, " Vendor ID: ");
  bridge["flash_part"] = After(labels.chip, " Chip ID: ");
  bridge["rom_size_kb"] = std::atol(After(labels.romSize, " ROM size: ").c_str());
  bridge["firmware"] = After(labels.fwVersion, " FW ver.");
  bridge["access"] = found.bridge->Info().accessFlag != 0;
  return bridge;
}

}  // namespace zq::cli
