#include "cli/station.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "cli/exit_status.h"
#include "cli/stop_requests.h"
#include "cli/terminal.h"

namespace zq::cli {
namespace {

// Bridges updated at once; more wait for a free slot. The ASPI layer is
// driven from one thread: one at a time there.
constexpr size_t SLOTS = 16;
// How often an idle slot looks for work while bridges are being updated.
constexpr auto SLOT_POLL = std::chrono::milliseconds(20);

enum SlotState { IDLE, ASSIGNED, DONE };

PlugIdentity IdentityOf(const FoundBridge& found) {
  return {found.bridge ? found.bridge->Name() : "", found.details.usbPort, found.details.serial};
}

}  // namespace

// A bridge's progress, shown on its port's line.
class StationPortWatcher final : public OperationView {
 public:
  StationPortWatcher(StationView& view, std::string port) : view_(view), port_(std::move(port)) {}
  void ShowStatus(const std::string&) override {}
  void BeginProgress() override { view_.Progress(port_, 0); }
  void ShowProgress(uint8_t pos) override { view_.Progress(port_, pos); }
  void HideProgress() override {}
  void ShowChipInfo(const ChipInfo&) override {}
  void ShowError(const std::string&) override {}
  void ShowNotice(const std::string&) override {}

 private:
  StationView& view_;
  std::string port_;
};

struct Station::Slot {
  std::atomic<int> state{IDLE};
  std::unique_ptr<BridgeRun> run;
  PlugIdentity plug;
  std::string port;
  std::unique_ptr<StationPortWatcher> watcher;
};

std::string StationPort(const FoundBridge& found) {
  if (!found.details.usbPort.empty()) return found.details.usbPort;
  return found.bridge ? found.bridge->Name() : "";
}

Station::Station(Devices& devices, DeviceEvents& events, const ImageBuffer& image,
                 StationSettings settings, StationView& view, UpdateLog& log, StopGuard& stops)
    : devices_(devices),
      events_(events),
      image_(image),
      settings_(settings),
      view_(view),
      log_(log),
      stops_(stops) {
  const size_t slots = devices.PassThroughPath() ? SLOTS : 1;
  for (size_t i = 0; i < slots; ++i) slots_.push_back(std::make_unique<Slot>());
}

Station::~Station() = default;

bool Station::Taking() const {
  if (stops_.Requested() || !log_.Failure().empty()) return false;
  return settings_.count == 0 || taken_ < settings_.count;
}

bool Station::AnyBusy() const {
  return std::any_of(slots_.begin(), slots_.end(),
                     [](const auto& slot) { return slot->state.load() != IDLE; });
}

void Station::Run(const std::string& image, const std::vector<std::string>& ports) {
  view_.Begin(image, ports);
  // a stop while it waits wakes it; it then ends itself
  SetStationWaker(&events_);
  Scan();  // the bridges attached at the start
  while (Taking()) {
    if (!pending_.empty()) {
      Session();
      continue;
    }
    if (events_.Wait(STATION_IDLE_WAIT_MS)) Scan();
  }
  SetStationWaker(nullptr);
  stopped_ = stops_.Requested();
  if (stopped_) view_.Note("stopped: no further bridge is taken");
}

// While bridges are being updated: each slot on a thread of its own, and
// this one looking for more, until none is busy.
void Station::Session() {
  sessionOver_ = false;
  std::vector<std::function<void()>> jobs;
  jobs.emplace_back([this] {
    for (;;) {
      Reap();
      if (Taking()) Assign();
      if (!AnyBusy()) break;
      // only pass-through devices can be looked at beside those being updated
      if (events_.Wait(STATION_BUSY_WAIT_MS) && devices_.PassThroughPath() && Taking()) Scan();
    }
    sessionOver_ = true;
  });
  for (auto& slot : slots_) {
    Slot* each = slot.get();
    jobs.emplace_back([this, each] { Work(*each); });
  }
  RunTogether(jobs);
  Reap();
}

void Station::Work(Slot& slot) {
  while (!sessionOver_.load()) {
    if (slot.state.load() != ASSIGNED) {
      std::this_thread::sleep_for(SLOT_POLL);
      continue;
    }
    slot.run->Update(image_, settings_.verify);
    slot.state = DONE;
    events_.Wake();  // the station logs it before it takes another
  }
}

void Station::Scan() {
  // the bridges being updated or waiting for a slot are not opened again
  std::vector<std::string> busy;
  for (const auto& slot : slots_) {
    if (slot->state.load() != IDLE) busy.push_back(slot->plug.device);
  }
  for (const FoundBridge& found : pending_) busy.push_back(found.bridge->Name());
  std::vector<std::string> listed;
  std::vector<FoundBridge> found = devices_.FindPlugged(busy, listed);
  const auto there = [&listed](const std::string& device) {
    return std::find(listed.begin(), listed.end(), device) != listed.end();
  };
  // one pulled out while being updated is a new plug when it comes back,
  // even if no look fell between its end and its return
  std::vector<PlugIdentity> still;
  for (const auto& slot : slots_) {
    if (slot->state.load() != IDLE && there(slot->plug.device)) still.push_back(slot->plug);
  }
  // one pulled out before it was taken is not taken
  std::erase_if(pending_, [&](const FoundBridge& bridge) { return !there(bridge.bridge->Name()); });
  for (const FoundBridge& bridge : pending_) still.push_back(IdentityOf(bridge));
  for (FoundBridge& bridge : found) {
    const PlugIdentity plug = IdentityOf(bridge);
    still.push_back(plug);
    if (std::find(known_.begin(), known_.end(), plug) != known_.end()) continue;
    pending_.push_back(std::move(bridge));
  }
  // a bridge taken and no longer there was pulled out: plugged in again, it is new
  for (const PlugIdentity& plug : known_) {
    if (std::find(still.begin(), still.end(), plug) != still.end()) continue;
    if (std::find(busy.begin(), busy.end(), plug.device) != busy.end())
      continue;  // said at its end
    view_.PulledOut(plug.usbPort.empty() ? plug.device : plug.usbPort);
  }
  known_ = std::move(still);
  // devices that cannot be used are said once, while they last
  std::vector<std::string> problems;
  for (const DeviceProblem& problem : devices_.Problems()) {
    if (std::find(busy.begin(), busy.end(), problem.device) != busy.end()) continue;
    problems.push_back(problem.text);
    if (std::find(problems_.begin(), problems_.end(), problem.text) == problems_.end()) {
      view_.Note(problem.text);
    }
  }
  problems_ = std::move(problems);
}

void Station::Assign() {
  while (!pending_.empty() && Taking()) {
    const auto free = std::find_if(slots_.begin(), slots_.end(),
                                   [](const auto& slot) { return slot->state.load() == IDLE; });
    if (free == slots_.end()) return;
    Slot& slot = **free;
    FoundBridge found = std::move(pending_.front());
    pending_.erase(pending_.begin());
    ++taken_;
    slot.plug = IdentityOf(found);
    slot.port = StationPort(found);
    view_.Taken(slot.port, found.details.serial, slot.plug.device);
    std::string problem;
    const bool claimed = devices_.ClaimDisk(found, problem);
    UpdateChoices choices;
    choices.rewrite = settings_.rewrite;
    auto run = std::make_unique<BridgeRun>(std::move(found), devices_, stderr, false, "", nullptr,
                                           choices);
    slot.watcher = std::make_unique<StationPortWatcher>(view_, slot.port);
    run->view.HandTo(slot.watcher.get());
    if (!claimed) {
      // its disk is in use: nothing was sent to it
      run->status = EXIT_FAILED;
      run->view.ShowError(problem);
      run->found.bridge.reset();
      Finish(std::move(run), slot.port);
      continue;
    }
    slot.run = std::move(run);
    slot.state = ASSIGNED;
  }
}

void Station::Reap() {
  for (auto& slot : slots_) {
    if (slot->state.load() != DONE) continue;
    Finish(std::move(slot->run), slot->port);
    slot->state = IDLE;
  }
}

void Station::Finish(std::unique_ptr<BridgeRun> run, const std::string& port) {
  const uint32_t writeLength = std::min(image_.codeSize, LARGEST_WRITE);
  // on the disk before any other bridge is taken
  log_.Record(*run, settings_.verify, writeLength);
  const UpdateOutcome outcome = OutcomeOf(run->result);
  const bool passed = outcome == UpdateOutcome::Updated || outcome == UpdateOutcome::Unchanged;
  const std::string words = passed                    ? OutcomeWord(outcome)
                            : !run->finalText.empty() ? run->finalText
                            : run->view.ErrorShown()  ? run->view.LastError()
                                                      : OutcomeWord(outcome);
  view_.Ended(port, passed, words);
  ended_.push_back(std::move(run));
}

int Station::Status() const {
  int status = EXIT_OK;
  for (const auto& run : ended_) status = Worst(status, run->status);
  if (stopped_) status = status == EXIT_AFTER_ERASE ? status : EXIT_STOPPED;
  if (!log_.Failure().empty()) status = Worst(status, EXIT_NOT_REPORTED);
  return status;
}

}  // namespace zq::cli
