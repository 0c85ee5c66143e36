#include "cli/devices.h"

#include <algorithm>

#include "app/texts.h"
#include "cli/emulated_storage.h"
#include "cli/terminal_window.h"
#include "cli/verbose_port.h"
#include "protocol/chip_info_display.h"

namespace zq::cli {
namespace {

std::string OrDash(const std::string& text) {
  return text.empty() ? "-" : EscapeControls(text);
}

}  // namespace

std::unique_ptr<InterfaceList> ChosenPort::ListInterfaces(InterfaceClass cls) {
  std::unique_ptr<InterfaceList> all = inner_.ListInterfaces(cls);
  if (cls == InterfaceClass::Disk) passedOver.clear();  // listed first
  if (!all || (!only && passOver.empty())) return all;
  std::vector<std::string> kept;
  std::string path;
  for (uint32_t index = 0; all->Get(index, path) == ListStep::Found; ++index) {
    if (std::find(passOver.begin(), passOver.end(), path) != passOver.end()) {
      passedOver.push_back(path);
      continue;
    }
    if (!only || std::find(only->begin(), only->end(), path) != only->end()) kept.push_back(path);
  }
  return std::make_unique<FixedInterfaceList>(std::move(kept));
}

bool SystemStorage::ClaimDisk(const std::string& device, std::string& problem) {
  std::vector<std::string> points;
  if (!MountPoints(device, points, problem)) {
    problem = "cannot tell whether its disk is mounted: " + problem;
    return false;
  }
  if (points.empty()) return true;
  problem = "its disk is mounted on " + points.front() +
            "; unmount it first (the enclosure's storage stops while its firmware is rewritten)";
  return false;
}

bool Devices::Open(const DeviceOptions& options, DevicesProblem& problem) {
  std::unique_ptr<SystemStorage> storage = StorageFor(options, problem);
  return storage && Open(options, std::move(storage), problem);
}

bool Devices::Open(const DeviceOptions& options, std::unique_ptr<SystemStorage> storage,
                   DevicesProblem& problem) {
  options_ = options;
  storage_ = std::move(storage);
  if (options.dismount && !storage_->CanDismount()) {
    problem = {DevicesProblem::Kind::Usage,
               "--dismount works on Windows; here unmount the file system first (umount)"};
    return false;
  }
  storage_->dismountVolumes = options.dismount;
  storage_->verboseLog = options.verbose ? stderr : nullptr;
  Platform* ports = &storage_->Ports();
  // as the window does: Windows 98 and Me reach their disks through ASPI
  const bool aspi = options.transport.empty() ? ports->Family() == PlatformFamily::Consumer
                                              : options.transport == "aspi";
  if (aspi) {
    AspiLayer* layer = ports->LoadAspi();
    if (layer == nullptr) {
      problem = {DevicesProblem::Kind::WindowText, TEXT_NO_ASPI};
      return false;
    }
    aspi_ = std::make_unique<AspiTransport>(*layer);
  } else {
    chosenPort_ = std::make_unique<ChosenPort>(ports->PassThrough());
    PassThroughPort* port = chosenPort_.get();
    if (options.verbose) {
      SystemStorage* system = storage_.get();
      verbosePort_ = std::make_unique<VerbosePort>(
          *port, stderr, [system](DeviceHandle device) { return system->ControlFailure(device); });
      port = verbosePort_.get();
    }
    passThrough_ = std::make_unique<PassThroughTransport>(*port, storage_->PassThroughTimeouts());
  }
  return true;
}

// Named devices are resolved before anything is opened: only the named
// bridges are opened, let alone sent the chip-information command.
bool Devices::ResolveNamed() {
  resolved_.clear();
  chosenTargets_.clear();
  for (const std::string& wanted : options_.devices) {
    std::vector<std::string> names;
    std::string why;
    if (aspi_) {
      // the layer names its devices by adapter and target, which is all there is
      AspiAddress address;
      if (!ParseAdapterTarget(wanted, address)) {
        resolveProblem_ = EscapeControls(wanted) +
                          ": no ASPI device; name one as list shows it (\"adapter 0, target 1\")";
        return false;
      }
      chosenTargets_.push_back(address);
      resolved_.push_back({AdapterTargetName(address.hostAdapter, address.target)});
      continue;
    }
    if (!storage_->Resolve(wanted, names, why)) {
      if (namesMayBeAbsent_) {
        resolved_.emplace_back();  // nothing there now
        continue;
      }
      resolveProblem_ = EscapeControls(wanted) + ": " + why;
      return false;
    }
    resolved_.push_back(std::move(names));
  }
  return true;
}

std::vector<FoundBridge> Devices::FindAll() {
  namesMayBeAbsent_ = false;
  if (chosenPort_) chosenPort_->passOver.clear();
  return Find();
}

std::vector<FoundBridge> Devices::FindPlugged(const std::vector<std::string>& passOver,
                                              std::vector<std::string>& stillThere) {
  namesMayBeAbsent_ = true;
  // ASPI lists no devices apart: what is passed over is taken as still there
  stillThere = passOver;
  if (!chosenPort_) return Find();
  chosenPort_->passOver = passOver;
  std::vector<FoundBridge> found = Find();
  stillThere = chosenPort_->passedOver;
  return found;
}

std::vector<FoundBridge> Devices::Find() {
  if (!options_.devices.empty()) {
    if (!ResolveNamed()) return {};
    if (chosenPort_) {
      chosenPort_->only.emplace();
      for (const auto& names : resolved_) {
        chosenPort_->only->insert(chosenPort_->only->end(), names.begin(), names.end());
      }
    }
  }
  const bool named = !options_.devices.empty();
  std::vector<std::unique_ptr<Bridge>> bridges =
      passThrough_ ? passThrough_->FindBridges(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID)
                   : aspi_->FindBridgesByType(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID,
                                              named ? &chosenTargets_ : nullptr);
  std::vector<FoundBridge> found;
  std::vector<std::string> names;
  for (auto& bridge : bridges) {
    FoundBridge entry;
    entry.details = storage_->Describe(bridge->Name());
    names.push_back(bridge->Name());
    entry.bridge = std::move(bridge);
    found.push_back(std::move(entry));
  }
  std::vector<std::string> lookedFor;
  for (const auto& resolved : resolved_) {
    lookedFor.insert(lookedFor.end(), resolved.begin(), resolved.end());
  }
  unseen_ = storage_->Unseen(names, named ? &lookedFor : nullptr, passThrough_ != nullptr);
  return found;
}

std::vector<DeviceProblem> Devices::Problems() {
  if (!storage_) return {};
  static const std::vector<UnusedDevice> none;
  std::vector<DeviceProblem> problems =
      storage_->OpenProblems(passThrough_ ? passThrough_->Unused() : none);
  problems.insert(problems.end(), unseen_.begin(), unseen_.end());
  return problems;
}

bool Devices::KeepNamed(std::vector<FoundBridge>& found, std::string& problem) {
  if (options_.devices.empty()) return true;
  if (!resolveProblem_.empty() || resolved_.size() != options_.devices.size()) {
    problem = resolveProblem_;
    return false;
  }
  std::vector<FoundBridge> kept;
  for (size_t i = 0; i < options_.devices.size(); ++i) {
    const std::string& wanted = options_.devices[i];
    const std::vector<std::string>& names = resolved_[i];
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
      // the device's own trouble says more than "not found"
      for (const DeviceProblem& trouble : Problems()) {
        if (std::find(names.begin(), names.end(), trouble.device) != names.end()) {
          problem = trouble.text;
        }
      }
      return false;
    }
  }
  found = std::move(kept);
  return true;
}

bool Devices::ClaimDisk(const FoundBridge& found, std::string& problem) {
  // an ASPI target names no volume, and the systems that need ASPI cannot
  // tell which volumes lie on it
  if (!storage_ || aspi_) return true;
  if (storage_->ClaimDisk(found.bridge->Name(), problem)) return true;
  problem = found.bridge->Name() + ": " + EscapeControls(problem);
  return false;
}

void Devices::ReleaseDisk(const std::string& device) {
  if (storage_ && !aspi_ && !device.empty()) storage_->ReleaseDisk(device);
}

std::optional<double> Devices::ModelledSeconds(const std::string& device) const {
  if (!storage_ || device.empty()) return std::nullopt;
  return storage_->ModelledSeconds(device);
}

std::string Devices::StorageProblem(const std::string& device) const {
  if (!storage_ || device.empty()) return {};
  return storage_->StorageProblem(device);
}

std::string DeviceLine(const FoundBridge& found) {
  std::string line = EscapeControls(found.bridge->Name());
  if (found.details.emulated) return line + " (emulated bridge)";
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
  if (found.details.emulated) line += "  (emulated bridge)";
  return line;
}

}  // namespace zq::cli
