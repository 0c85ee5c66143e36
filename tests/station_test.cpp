// The station (update --watch) on emulated bridges plugged in and out on a
// schedule, with the system's word scripted: each plug taken once, --count,
// --device, a stop while it waits, a failing bridge, a lost log line, and
// the exit status each ends with.
#include "cli/station.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/device_events.h"
#include "cli/emulated_storage.h"
#include "cli/exit_status.h"
#include "cli/stop_requests.h"
#include "emulator/plug_schedule.h"

namespace zq::cli {
namespace {

// Steps the schedule's clock to its next time at each wait of an idle
// station, and asks for a stop (as Ctrl-C would) once the script is done.
// While bridges are under way it waits for their end, so no plug changes
// under a running update unless a fault says so.
class ScriptedEvents final : public DeviceEvents {
 public:
  ScriptedEvents(std::vector<uint64_t> steps, std::atomic<uint64_t>& clock, StopRequests& stops)
      : steps_(std::move(steps)), clock_(clock), stops_(stops) {}

  bool Wait(uint32_t timeoutMs) override {
    if (timeoutMs <= STATION_BUSY_WAIT_MS) {
      for (int i = 0; i < 5000 && !woken_.exchange(false); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      return false;
    }
    if (woken_.exchange(false)) return false;
    if (next_ == steps_.size()) {
      stops_.Note();
      return false;
    }
    clock_ = steps_[next_++];
    return true;
  }
  void Wake() override { woken_ = true; }

 private:
  std::vector<uint64_t> steps_;
  size_t next_ = 0;
  std::atomic<uint64_t>& clock_;
  StopRequests& stops_;
  std::atomic<bool> woken_{false};
};

// A log whose lines are kept in memory; from line `failFrom` (from 0) on,
// appending fails as on a full disk.
class MemoryLog final : public FilePort {
 public:
  explicit MemoryLog(size_t failFrom) : failFrom_(failFrom) {}
  std::unique_ptr<InputFile> OpenForRead(const std::string&) override { return nullptr; }
  std::unique_ptr<OutputFile> CreateForWrite(const std::string&) override { return nullptr; }
  std::unique_ptr<AppendFile> OpenForAppend(const std::string&) override {
    return std::make_unique<Lines>(*this);
  }
  std::string LastFailure() const override { return "'station.log': No space left on device"; }

  std::vector<std::string> lines;

 private:
  struct Lines final : AppendFile {
    explicit Lines(MemoryLog& log) : log_(log) {}
    bool Append(const uint8_t* data, uint32_t length) override {
      if (log_.lines.size() >= log_.failFrom_) return false;
      log_.lines.emplace_back(reinterpret_cast<const char*>(data), length);
      return true;
    }
    MemoryLog& log_;
  };
  size_t failFrom_;
};

struct Outcome {
  std::vector<std::string> logged;  // "device result" per line, in order
  int status = -1;
  std::string view;  // the plain lines shown
  size_t ended = 0;  // bridges whose update ended
};

struct Plan {
  std::string schedule;
  std::vector<uint64_t> steps;  // the clock at each wait, in ms
  std::vector<std::string> faults;
  uint32_t count = 0;
  std::vector<std::string> devices;
  size_t logFailsFrom = 1000;
  bool rewrite = true;
};

std::string Shown(std::FILE* file) {
  std::rewind(file);
  std::string text;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
  std::fclose(file);
  return text;
}

Plan Planned(std::string schedule, std::vector<uint64_t> steps,
             std::vector<std::string> faults = {}, uint32_t count = 0,
             std::vector<std::string> devices = {}, bool rewrite = true) {
  Plan plan;
  plan.schedule = std::move(schedule);
  plan.steps = std::move(steps);
  plan.faults = std::move(faults);
  plan.count = count;
  plan.devices = std::move(devices);
  plan.rewrite = rewrite;
  return plan;
}

Outcome RunStation(const Plan& setup) {
  std::atomic<uint64_t> clock{0};
  DeviceOptions options;
  options.emulate = true;
  options.emulation.plugs = setup.schedule;
  options.emulation.faults = setup.faults;
  options.devices = setup.devices;
  auto storage = std::make_unique<EmulatedStorage>();
  storage->Bridges().SetScheduleClock([&clock] { return clock.load(); });
  std::string why;
  bool usage = false;
  EXPECT_TRUE(storage->Prepare(options.emulation, why, usage)) << why;
  Devices devices;
  DevicesProblem problem;
  EXPECT_TRUE(devices.Open(options, std::move(storage), problem)) << problem.text;

  ImageBuffer image;
  image.codeSize = 4096;
  for (uint32_t i = 0; i < image.codeSize; ++i) image.data[i] = static_cast<uint8_t>(i * 7 + 3);
  MemoryLog files(setup.logFailsFrom);
  UpdateLog log;
  EXPECT_TRUE(log.Open(files, "station.log"));
  StopRequests stops;
  ScriptedEvents events(setup.steps, clock, stops);
  std::FILE* shown = std::tmpfile();
  StationView view(shown, false);
  StationSettings settings;
  settings.rewrite = setup.rewrite;
  settings.count = setup.count;
  Station station(devices, events, image, settings, view, log, stops);
  station.Run("image.bin", setup.devices);

  Outcome run;
  run.status = station.Status();
  for (const std::string& line : files.lines) {
    const nlohmann::json entry = nlohmann::json::parse(line);
    run.logged.push_back(entry["device"].get<std::string>() + " " +
                         entry["result"].get<std::string>());
  }
  run.view = Shown(shown);
  run.ended = station.Ended().size();
  return run;
}

TEST(Station, EachPlugTakenOnceAndTheStationEndsAsItShould) {
  struct Row {
    const char* name;
    Plan setup;
    std::vector<std::string> logged;
    int status;
  };
  const std::vector<Row> rows = {
      {"one left plugged in is not redone; pulled out and back, it is",
       Planned("1@0,2@1,1-@2,1@3", {1000, 2000, 3000, 4000}),
       {"emulated1 updated", "emulated2 updated", "emulated1 updated"},
       EXIT_STOPPED},
      {"pulled out and back between two looks is one plug: seen only by its absence",
       Planned("1@0,1-@2,1@3", {3000}),
       {"emulated1 updated"},
       EXIT_STOPPED},
      {"--count ends it after N bridges, not stopped",
       Planned("1@0,2@1,3@2", {1000, 2000, 3000}, {}, 2),
       {"emulated1 updated", "emulated2 updated"},
       EXIT_OK},
      {"--device limits it to those ports, even one plugged in later",
       Planned("1@0,2@1,3@1", {1000, 2000}, {}, 0, {"emulated2"}),
       {"emulated2 updated"},
       EXIT_STOPPED},
      {"a stop while it waits: nothing taken", Planned("1@5", {}), {}, EXIT_STOPPED},
      {"a failing bridge is logged and the station goes on; a stop then says so",
       Planned("1@0,2@1,2-@2,3@3", {1000, 2000, 3000}, {"2:vanish:20"}),
       {"emulated1 updated", "emulated2 failed", "emulated3 updated"},
       EXIT_AFTER_ERASE},
      {"a bridge that gives no chip information is not taken",
       Planned("1@0,2@1", {1000}, {"2:info"}, 2),
       {"emulated1 updated"},
       EXIT_STOPPED},
      {"plugged in again without --rewrite: looked at, found holding the image",
       Planned("1@0,1-@1,1@2", {1000, 2000}, {}, 0, {}, false),
       {"emulated1 updated", "emulated1 unchanged"},
       EXIT_STOPPED},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Outcome run = RunStation(row.setup);
    EXPECT_EQ(run.logged, row.logged) << run.view;
    EXPECT_EQ(run.ended, run.logged.size()) << "a bridge ended without its line";
    EXPECT_EQ(run.status, row.status) << run.view;
  }
}

// Last: a lost line refuses further erases for the rest of the process.
TEST(Station, ALostLogLineStopsItBeforeTheNextBridge) {
  Plan setup = Planned("1@0,2@1,3@2", {1000, 2000, 3000});
  setup.logFailsFrom = 1;
  const Outcome run = RunStation(setup);
  EXPECT_EQ(run.logged, std::vector<std::string>{"emulated1 updated"}) << run.view;
  EXPECT_EQ(run.ended, 2u) << "the bridge whose line was lost still ends";
  EXPECT_EQ(run.status, EXIT_NOT_REPORTED);
  EXPECT_EQ(run.view.find("emulated3"), std::string::npos) << "taken after the lost line";
}

// On a terminal each redraw goes back over exactly the lines drawn before,
// so the table stays in place under the lines of events.
TEST(StationView, RedrawsInPlaceOverTheLinesItDrew) {
  std::FILE* file = std::tmpfile();
  StationView view(file, true);
  view.Begin("fw.bin", {"2-1.4"});
  view.Taken("2-1.4", "A1\x1b", "/dev/sg2");
  view.Progress("2-1.4", 40);
  view.Note("/dev/sg3: in use by another program");
  view.Taken("2-1.5", "", "/dev/sg4");
  view.Ended("2-1.4", false, "Can't write ROM code into the chip.");
  const std::string text = Shown(file);
  // header and column titles, then a line per port: 3, 3, 3 (the note
  // scrolls above), then 4 with the second port
  const std::vector<std::string> ups = {"\033[3A", "\033[3A", "\033[3A", "\033[3A", "\033[4A"};
  size_t at = 0;
  for (const std::string& up : ups) {
    at = text.find(up, at);
    ASSERT_NE(at, std::string::npos) << up;
    at += up.size();
  }
  const std::string last = text.substr(text.rfind("\r\033[J"));
  EXPECT_NE(last.find("passed 0   failed 1"), std::string::npos) << last;
  EXPECT_NE(last.find("failed: Can't write ROM code into the chip."), std::string::npos) << last;
  EXPECT_NE(last.find("2-1.5          -              /dev/sg4     updating\n"), std::string::npos)
      << last;
  EXPECT_NE(text.find("A1\\x1b"), std::string::npos) << "a serial's controls shown escaped";
  EXPECT_EQ(text.find("A1\x1b"), std::string::npos);
}

TEST(PlugSchedule, ReadsTheTimetableAndRefusesWhatCannotHappen) {
  struct Row {
    const char* text;
    bool good;
    const char* problem;  // part of it
  };
  const std::vector<Row> rows = {
      {"1@0,2@1.5,1-@3,1@4", true, ""},
      {"2@1,1@0.25", true, ""},
      {"1@0,1@1", false, "bridge 1 is plugged in at 1000 ms while it is plugged in"},
      {"1-@1", false, "pulled out at 1000 ms while it is out"},
      {"9@0", false, "'9@0' is not"},
      {"0@0", false, "'0@0' is not"},
      {"1@", false, "is not"},
      {"1@0.1234", false, "is not"},
      {"1@-1", false, "is not"},
      {"1@0,", false, "'' is not"},
      {"1", false, "is not"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    std::vector<PlugChange> changes;
    std::string problem;
    EXPECT_EQ(ParsePlugSchedule(row.text, 8, changes, problem), row.good);
    EXPECT_NE(problem.find(row.problem), std::string::npos) << problem;
  }
  std::vector<PlugChange> changes;
  std::string problem;
  ASSERT_TRUE(ParsePlugSchedule("1@0,2@1.5,1-@3,1@4", 8, changes, problem));
  uint64_t now = 0;
  const PlugSchedule schedule(changes, [&now] { return now; });
  const auto plugged = [&](size_t index, uint64_t at) {
    now = at;
    uint32_t plugs = 0;
    return schedule.Plugged(index, plugs) ? static_cast<int>(plugs) : -1;
  };
  // bridge 1: in (first plug), out, in again (second plug); bridge 2 from 1.5 s
  EXPECT_EQ(plugged(0, 0), 1);
  EXPECT_EQ(plugged(0, 3000), -1);
  EXPECT_EQ(plugged(0, 4000), 2);
  EXPECT_EQ(plugged(1, 1499), -1);
  EXPECT_EQ(plugged(1, 1500), 1);
  EXPECT_EQ(schedule.NextChangeAfter(1500), 3000u);
  EXPECT_FALSE(schedule.NextChangeAfter(4000).has_value());
}

TEST(DeviceEvents, PollingTellsEachLookAndAWakeEndsTheWaitAtOnce) {
  using Clock = std::chrono::steady_clock;
  const std::unique_ptr<DeviceEvents> events = MakePollingEvents(200);
  auto start = Clock::now();
  EXPECT_FALSE(events->Wait(50)) << "told before its interval";
  EXPECT_TRUE(events->Wait(1000));
  const auto looked = Clock::now() - start;
  EXPECT_GE(looked, std::chrono::milliseconds(190));
  EXPECT_LT(looked, std::chrono::milliseconds(400));
  // a wake before the wait ends it at once, and is taken once
  events->Wake();
  start = Clock::now();
  EXPECT_FALSE(events->Wait(5000));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));
  // from another thread while it waits
  std::thread waker([&events] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    events->Wake();
  });
  start = Clock::now();
  const bool told = events->Wait(5000);
  waker.join();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(150));
  (void)told;  // a look may fall due first
}

}  // namespace
}  // namespace zq::cli
