#include "cli/report.h"

#include "protocol/chip_info_display.h"

namespace zq::cli {

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
  const ChipDescription chip = DescribeChip(found.bridge->Info());
  nlohmann::json bridge;
  bridge["device"] = found.bridge->Name();
  bridge["emulated"] = found.emulatedIndex.has_value();
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
