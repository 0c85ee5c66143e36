#include "cli/devices.h"

#include <algorithm>
#include <cstdlib>

#include "app/updater_dialog.h"
#include "cli/terminal_window.h"
#include "protocol/chip_info_display.h"

namespace zq::cli {
namespace {

std::string OrDash(const std::string& text) {
  return text.empty() ? "-" : EscapeControls(text);
}

}  // namespace

bool Devices::Open(const DeviceOptions& options, FilePort& files, std::string& problem,
                   bool& usage) {
  options_ = options;
  usage = false;
  Platform* ports = nullptr;
  if (options.emulate) {
    emulated_ = std::make_unique<EmulatedBridges>();
    if (!emulated_->Prepare(options.emulation, files, problem, usage)) return false;
    ports = emulated_.get();
  } else {
    storage_ = MakeSystemStorage();
    ports = &storage_->Ports();
  }
  if (options.transport == "aspi") {
    if (!BindAspiLayer(*ports)) {
      problem = "Can't not find WNASPI32.DLL or the DLL file has error.";
      return false;
    }
    aspi_ = std::make_unique<AspiTransport>(ports->Aspi());
  } else {
    passThrough_ = std::make_unique<PassThroughTransport>(ports->PassThrough());
  }
  return true;
}

std::vector<FoundBridge> Devices::FindAll() {
  std::vector<std::unique_ptr<Bridge>> bridges =
      passThrough_ ? passThrough_->FindBridges(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID)
                   : aspi_->FindBridges(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID);
  std::vector<FoundBridge> found;
  for (auto& bridge : bridges) {
    FoundBridge entry;
    entry.emulated = options_.emulate;
    if (storage_) entry.details = storage_->Describe(bridge->Name());
    entry.bridge = std::move(bridge);
    found.push_back(std::move(entry));
  }
  return found;
}

std::vector<std::string> Devices::Problems() {
  return storage_ ? storage_->OpenProblems() : std::vector<std::string>{};
}

bool Devices::KeepNamed(std::vector<FoundBridge>& found, std::string& problem) {
  if (options_.devices.empty()) return true;
  std::vector<FoundBridge> kept;
  for (const std::string& wanted : options_.devices) {
    std::vector<std::string> names{wanted};
    if (storage_) {
      names.clear();
      std::string why;
      if (!storage_->Resolve(wanted, names, why)) {
        problem = EscapeControls(wanted) + ": " + why;
        return false;
      }
    }
    bool matched = false;
    for (const std::string& name : names) {
      const auto named = [&name](const FoundBridge& entry) {
        return entry.bridge && entry.bridge->Name() == name;
      };
      // named twice: taken once
      if (std::any_of(kept.begin(), kept.end(), named)) {
        matched = true;
        continue;
      }
      const auto entry = std::find_if(found.begin(), found.end(), named);
      if (entry == found.end()) continue;
      kept.push_back(std::move(*entry));
      matched = true;
    }
    if (!matched) {
      problem = EscapeControls(wanted) + ": no bridge found there";
      for (const std::string& line : Problems()) {
        if (std::any_of(names.begin(), names.end(),
                        [&](const std::string& n) { return line.rfind(n + ":", 0) == 0; })) {
          problem = line;
        }
      }
      return false;
    }
  }
  found = std::move(kept);
  return true;
}

bool Devices::Unmounted(const FoundBridge& found, std::string& problem) {
  if (!storage_) return true;
  std::vector<std::string> points;
  if (!storage_->MountPoints(found.bridge->Name(), points, problem)) {
    problem = found.bridge->Name() + ": cannot tell whether its disk is mounted: " + problem;
    return false;
  }
  if (points.empty()) return true;
  problem = found.bridge->Name() + ": its disk is mounted on " + EscapeControls(points.front()) +
            "; unmount it first (the enclosure's storage stops while its firmware is rewritten)";
  return false;
}

bool Devices::ModelledSeconds(const std::string& device, double& seconds) const {
  if (!emulated_) return false;
  // "emulated3" on the pass-through path, "adapter 0, target 2" on ASPI
  const std::string::size_type digits = device.find_last_not_of("0123456789");
  if (digits == std::string::npos || digits + 1 == device.size()) return false;
  const size_t number = std::strtoul(device.c_str() + digits + 1, nullptr, 10);
  if (passThrough_ && number == 0) return false;
  const size_t index = passThrough_ ? number - 1 : number;
  seconds = emulated_->ModelledSeconds(index);
  return true;
}

std::string DeviceLine(const FoundBridge& found) {
  std::string line = EscapeControls(found.bridge->Name());
  if (found.emulated) return line + " (emulated bridge)";
  std::vector<std::string> parts;
  if (!found.details.blockNode.empty()) parts.push_back(found.details.blockNode);
  if (!found.details.usbPort.empty()) parts.push_back("USB " + found.details.usbPort);
  if (!found.details.serial.empty()) parts.push_back("serial " + found.details.serial);
  for (size_t i = 0; i < parts.size(); ++i) {
    line += (i == 0 ? " (" : ", ") + EscapeControls(parts[i]);
  }
  return parts.empty() ? line : line + ")";
}

std::string ListLine(const FoundBridge& found) {
  const ChipLabels labels = FormatChipLabels(found.bridge->Info());
  std::string line = OrDash(found.bridge->Name());
  line += "  " + OrDash(found.details.blockNode);
  line += "  " + OrDash(found.details.usbPort);
  line += "  " + OrDash(found.details.serial);
  for (const std::string* label :
       {&labels.vendor, &labels.chip, &labels.romSize, &labels.fwVersion}) {
    line += "  " + EscapeControls(LabelLine(*label));
  }
  if (found.emulated) line += "  (emulated bridge)";
  return line;
}

}  // namespace zq::cli
