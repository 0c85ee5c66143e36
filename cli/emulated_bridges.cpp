#include "cli/emulated_bridges.h"

#include <chrono>
#include <thread>

#include "emulator/emulated_setup.h"
#include "emulator/timing_model.h"

namespace zq::cli {

// One emulated chip and what it touches outside: its flash file, changed as
// each command runs, and the time a real chip would take.
class EmulatedBridges::Chip final : public CommandObserver {
 public:
  BridgeDevice device;
  std::unique_ptr<FlashFile> flashFile;
  bool realTime = false;

  bool Admit(const CommandLogEntry&) override { return true; }

  void Answered(const CommandLogEntry& entry) override {
    if (entry.answer == DeviceAnswer::Good && flashFile != nullptr) {
      if (entry.opcode == CMD_ERASE) {
        flashFile->Store(0, device.Flash().data(), EMULATED_FLASH_SIZE);
      } else if (entry.opcode == CMD_WRITE && entry.length > 0) {
        flashFile->Store(entry.address, device.Flash().data() + entry.address, entry.length);
      }
    }
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

// The emulated port records its waits; a chip on real time needs them real.
class RealSleepPort final : public PassThroughPort {
 public:
  explicit RealSleepPort(PassThroughPort& inner) : inner_(inner) {}
  std::unique_ptr<InterfaceList> ListInterfaces(InterfaceClass cls) override {
    return inner_.ListInterfaces(cls);
  }
  DeviceHandle Open(const std::string& path) override { return inner_.Open(path); }
  bool Control(DeviceHandle device, PassThroughBuffer& buffer, uint32_t inputSize,
               uint32_t outputSize) override {
    return inner_.Control(device, buffer, inputSize, outputSize);
  }
  void Close(DeviceHandle device) override { inner_.Close(device); }
  void Sleep(uint32_t milliseconds) override {
    inner_.Sleep(milliseconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }

 private:
  PassThroughPort& inner_;
};

// "K:F" names bridge K; a fault without a number is every bridge's.
bool SplitFault(const std::string& text, uint32_t bridges, uint32_t& bridge, std::string& fault) {
  const size_t colon = text.find(':');
  uint32_t number = 0;
  if (colon != std::string::npos && ParseNumber(text.substr(0, colon), 10, 1, bridges, number)) {
    bridge = number;
    fault = text.substr(colon + 1);
    return true;
  }
  if (colon != std::string::npos && ParseNumber(text.substr(0, colon), 10, 0, UINT32_MAX, number)) {
    return false;  // a number, but no such bridge
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

PassThroughPort& EmulatedBridges::PassThrough() {
  return paced_ ? *paced_ : passThrough_;
}

bool EmulatedBridges::Prepare(const EmulationOptions& options, FilePort& files,
                              std::string& problem, bool& usage) {
  usage = true;
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
    bool parsed = SplitFault(text, options.bridges, bridge, fault);
    for (uint32_t i = 0; parsed && i < options.bridges; ++i) {
      if (bridge == 0 || bridge == i + 1) parsed = ParseFault(fault, chips_[i]->device.Faults());
    }
    if (!parsed) {
      problem = "unknown --emulate-fault '" + text + "'";
      return false;
    }
  }
  usage = false;
  for (size_t i = 0; i < options.flashFiles.size(); ++i) {
    FlashFileState state = FlashFileState::Unusable;
    chips_[i]->flashFile =
        OpenFlashFile(options.flashFiles[i], files, chips_[i]->device.Flash(), state, problem);
    if (!chips_[i]->flashFile) return false;
  }

  aspi_.SetHostAdapterCount(1);
  for (uint32_t i = 0; i < options.bridges; ++i) {
    BridgeDevice& device = chips_[i]->device;
    device.SetObserver(chips_[i].get());
    passThrough_.AddBridge(InterfaceClass::Disk, device, "emulated" + std::to_string(i + 1));
    aspi_.SetTarget(0, static_cast<uint8_t>(i), AspiTargetKind::Bridge, &device);
  }
  if (options.timing) paced_ = std::make_unique<RealSleepPort>(passThrough_);
  return true;
}

}  // namespace zq::cli
