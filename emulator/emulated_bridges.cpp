#include "emulator/emulated_bridges.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "emulator/emulated_setup.h"
#include "emulator/timing_model.h"

namespace zq {

// One emulated chip and what it touches outside: its flash file, changed as
// each command runs, and the time a real chip would take.
class EmulatedBridges::Chip final : public CommandObserver {
 public:
  BridgeDevice device;
  std::unique_ptr<FlashFile> flashFile;
  bool realTime = false;
  std::string storageProblem;  // why the flash file fell behind
  bool inUse = false;          // its device cannot be opened

  // a flash file that missed a change no longer holds the chip: it answers
  // nothing more, as a chip whose flash failed would
  bool Admit(const CommandLogEntry&) override { return storageProblem.empty(); }
  double ModelledSeconds() const { return timing_.TotalMicros() / 1e6; }

  bool Kept(const CommandLogEntry& entry) override {
    if (flashFile == nullptr) return true;
    bool stored = true;
    if (entry.opcode == CMD_ERASE) {
      stored = flashFile->Store(0, device.Flash().data(), EMULATED_FLASH_SIZE);
    } else if (entry.opcode == CMD_WRITE && entry.length > 0) {
      stored = flashFile->Store(entry.address, device.Flash().data() + entry.address, entry.length);
    }
    if (!stored) storageProblem = flashFile->Problem();
    return stored;
  }

  void Answered(const CommandLogEntry& entry) override {
    timing_.Answered(entry);
    if (realTime) {
      // the erase runs on in the chip, busy until its time is up
      double us = timing_.CommandMicros(entry);
      if (entry.opcode == CMD_ERASE && entry.answer == DeviceAnswer::Good) {
        us -= TimingParameters{}.chipEraseUs;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(us)));
    }
  }

 private:
  TimingModel timing_;
};

namespace {

// All the bridges' ports as one. A handle carries its port's number (and,
// with a plug schedule, which plug it was opened in), so a call goes to that
// port alone and no state here is shared between threads: the listing names
// each port's one bridge without asking the port, which may be busy on
// another thread. The emulated ports only record their waits; on real time
// they are real. A bridge pulled out is not listed, cannot be opened, and
// answers nothing more on a handle from before, as after a real unplug.
class RoutingPort final : public PassThroughPort {
 public:
  RoutingPort(std::vector<EmulatedPassThroughPort*> ports, std::vector<std::string> names,
              bool realTime, const PlugSchedule* schedule)
      : ports_(std::move(ports)),
        names_(std::move(names)),
        realTime_(realTime),
        schedule_(schedule) {}

  std::unique_ptr<InterfaceList> ListInterfaces(InterfaceClass cls) override {
    std::vector<std::string> paths;
    uint32_t plugs = 0;
    for (size_t i = 0; i < names_.size() && cls == InterfaceClass::Disk; ++i) {
      if (schedule_ == nullptr || schedule_->Plugged(i, plugs)) paths.push_back(names_[i]);
    }
    return std::make_unique<FixedInterfaceList>(std::move(paths));
  }
  DeviceHandle Open(const std::string& path) override {
    for (size_t i = 0; i < ports_.size(); ++i) {
      if (ports_[i]->Find(path) == nullptr) continue;
      uint32_t plugs = 0;
      if (schedule_ != nullptr && !schedule_->Plugged(i, plugs)) return INVALID_DEVICE_HANDLE;
      const DeviceHandle inner = ports_[i]->Open(path);
      if (inner == INVALID_DEVICE_HANDLE) return inner;
      return ((inner * PLUGS) + plugs % PLUGS) * PORTS + i;
    }
    return INVALID_DEVICE_HANDLE;
  }
  bool Control(DeviceHandle device, PassThroughBuffer& buffer, uint32_t inputSize,
               uint32_t outputSize) override {
    const size_t port = device % PORTS;
    if (port >= ports_.size()) return false;
    uint32_t plugs = 0;
    if (schedule_ != nullptr &&
        (!schedule_->Plugged(port, plugs) || plugs % PLUGS != device / PORTS % PLUGS)) {
      return false;  // gone: nothing answers
    }
    return ports_[port]->Control(device / PORTS / PLUGS, buffer, inputSize, outputSize);
  }
  void Close(DeviceHandle device) override {
    if (device % PORTS < ports_.size()) ports_[device % PORTS]->Close(device / PORTS / PLUGS);
  }
  void Sleep(uint32_t milliseconds) override {
    if (realTime_) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }

 private:
  static constexpr DeviceHandle PORTS = 16;
  static constexpr DeviceHandle PLUGS = 256;
  std::vector<EmulatedPassThroughPort*> ports_;
  std::vector<std::string> names_;
  bool realTime_;
  const PlugSchedule* schedule_;
};

// "K:F" names bridge K; a fault without a number is every bridge's. False
// with the reason when K names no bridge.
bool SplitFault(const std::string& text, uint32_t bridges, uint32_t& bridge, std::string& fault,
                std::string& problem) {
  const size_t colon = text.find(':');
  uint32_t number = 0;
  if (colon != std::string::npos && ParseNumber(text.substr(0, colon), 10, 1, bridges, number)) {
    bridge = number;
    fault = text.substr(colon + 1);
    return true;
  }
  if (colon != std::string::npos && ParseNumber(text.substr(0, colon), 10, 0, UINT32_MAX, number)) {
    problem = "--emulate-fault '" + text + "': there is no bridge " + text.substr(0, colon);
    return false;
  }
  bridge = 0;
  fault = text;
  return true;
}

}  // namespace

EmulatedBridges::EmulatedBridges() = default;

EmulatedBridges::~EmulatedBridges() {
  for (auto& chip : chips_) chip->device.SetObserver(nullptr);
}

double EmulatedBridges::ModelledSeconds(size_t index) const {
  return index < chips_.size() ? chips_[index]->ModelledSeconds() : 0;
}

PassThroughPort& EmulatedBridges::PassThrough() {
  return *passThrough_;
}

std::optional<size_t> EmulatedBridges::IndexOf(const std::string& deviceName) const {
  for (size_t i = 0; i < chips_.size(); ++i) {
    if (deviceName == NameOf(i, true) || deviceName == NameOf(i, false)) {
      return i;
    }
  }
  return std::nullopt;
}

std::string EmulatedBridges::NameOf(size_t index, bool passThrough) const {
  return passThrough ? "emulated" + std::to_string(index + 1)
                     : "adapter 0, target " + std::to_string(index);
}

std::string EmulatedBridges::WhyUnseen(size_t index, bool passThrough) const {
  if (passThrough && index < chips_.size() && chips_[index]->inUse) {
    return "in use by another program";
  }
  return "a bridge that gave no chip information";
}

size_t EmulatedBridges::Count() const {
  return chips_.size();
}

std::string EmulatedBridges::StorageProblem(size_t index) const {
  return index < chips_.size() ? chips_[index]->storageProblem : std::string();
}

bool EmulatedBridges::Plugged(size_t index) const {
  uint32_t plugs = 0;
  return index < chips_.size() && (schedule_ == nullptr || schedule_->Plugged(index, plugs));
}

bool EmulatedBridges::Prepare(const EmulationOptions& given, FileLocks& locks, std::string& problem,
                              bool& usage) {
  usage = true;
  EmulationOptions options = given;
  if (!options.plugs.empty()) {
    std::vector<PlugChange> changes;
    if (!ParsePlugSchedule(options.plugs, ASPI_TARGETS_PER_ADAPTER, changes, problem)) {
      return false;
    }
    schedule_ = std::make_unique<PlugSchedule>(std::move(changes), scheduleClock_);
    options.bridges = std::max(options.bridges, schedule_->Bridges());
  }
  if (options.bridges < 1 || options.bridges > ASPI_TARGETS_PER_ADAPTER) {
    problem = "--emulate-bridges takes 1 to 8";
    return false;
  }
  if (options.flashFiles.size() > options.bridges) {
    problem = "--emulate-flash is given more often than there are bridges";
    return false;
  }
  for (uint32_t i = 0; i < options.bridges; ++i) chips_.push_back(std::make_unique<Chip>());
  for (auto& chip : chips_) {
    BridgeDevice& device = chip->device;
    if (options.record && !ParseRecordHex(*options.record, device.Record())) {
      problem = "--emulate-record takes 24 hex digits";
      return false;
    }
    if (options.busy) device.SetBusyAnswers(*options.busy);
    if (options.timing) {
      chip->realTime = true;
      device.SetEraseTime(
          std::chrono::microseconds(static_cast<int64_t>(TimingParameters{}.chipEraseUs)));
    }
  }
  for (const std::string& text : options.faults) {
    uint32_t bridge = 0;
    std::string fault;
    if (!SplitFault(text, options.bridges, bridge, fault, problem)) return false;
    bool parsed = true;
    for (uint32_t i = 0; parsed && i < options.bridges; ++i) {
      if (bridge != 0 && bridge != i + 1) continue;
      // held by another program: its device cannot be opened at all
      if (fault == "in-use") {
        chips_[i]->inUse = true;
      } else {
        parsed = ParseFault(fault, chips_[i]->device.Faults());
      }
    }
    if (!parsed) {
      problem = "unknown --emulate-fault '" + text + "'";
      return false;
    }
  }
  usage = false;
  for (size_t i = 0; i < options.flashFiles.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (options.flashFiles[j] == options.flashFiles[i]) {
        usage = true;
        problem = "--emulate-flash '" + options.flashFiles[i] + "' is given twice";
        return false;
      }
    }
    FlashFileState state = FlashFileState::Unusable;
    chips_[i]->flashFile =
        FlashFile::Open(locks, options.flashFiles[i], chips_[i]->device.Flash(), state, problem);
    if (!chips_[i]->flashFile) return false;
  }

  aspi_.SetHostAdapterCount(1);
  std::vector<EmulatedPassThroughPort*> ports;
  std::vector<std::string> names;
  for (uint32_t i = 0; i < options.bridges; ++i) {
    BridgeDevice& device = chips_[i]->device;
    device.SetObserver(chips_[i].get());
    ports_.push_back(std::make_unique<EmulatedPassThroughPort>());
    names.push_back(NameOf(i, true));
    ports_.back()->AddBridge(InterfaceClass::Disk, device, names.back()).opens = !chips_[i]->inUse;
    ports.push_back(ports_.back().get());
    aspi_.SetTarget(0, static_cast<uint8_t>(i), AspiTargetKind::Bridge, &device);
  }
  passThrough_ = std::make_unique<RoutingPort>(std::move(ports), std::move(names), options.timing,
                                               schedule_.get());
  return true;
}

}  // namespace zq
