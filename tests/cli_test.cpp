// The command line's own pieces: its table of commands, its exit statuses,
// how stop requests meet the hold an update takes, and its terminal view.
#include <gtest/gtest.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/sha256.h"
#include "cli/stop_requests.h"
#include "cli/terminal_window.h"

namespace zq::cli {
namespace {

// The usage text, the unknown-command check and the parser all come from
// one table: each command is in the usage once, and every command builds.
TEST(CommandTable, UsageAndLookUpCoverEveryCommandOnce) {
  const std::string usage = UsageText();
  for (const Command& command : Commands()) {
    const std::string line = std::string("zq5210 ") + command.name + " ";
    EXPECT_NE(usage.find(line), std::string::npos) << command.name;
    EXPECT_EQ(usage.find(line), usage.rfind(line)) << command.name;
    EXPECT_EQ(FindCommand(command.name), &command);
    std::unique_ptr<CommandRun> run = command.make();
    CLI::App app;
    EXPECT_NO_THROW(run->AddOptions(*app.add_subcommand(command.name)));
  }
  for (const char* word : {"", "updat", "Update", "read_rom", "--json"}) {
    EXPECT_EQ(FindCommand(word), nullptr) << word;
  }
}

// Several bridges end with the worst of them: a bridge that may hold no
// firmware outweighs a stop, a stop outweighs a failure before the erase.
TEST(ExitStatus, WorstOfSeveralAndOfEachResult) {
  struct Case {
    UpdateResult result;
    int status;
  };
  const Case results[] = {
      {UpdateResult::Updated, EXIT_OK},
      {UpdateResult::Unchanged, EXIT_OK},
      {UpdateResult::NoDevice, EXIT_FAILED},
      {UpdateResult::Declined, EXIT_FAILED},
      {UpdateResult::EraseFailed, EXIT_AFTER_ERASE},
      {UpdateResult::VerifyFailed, EXIT_AFTER_ERASE},
      {UpdateResult::StoppedAfterWrite, EXIT_STOPPED},
  };
  for (const Case& c : results) {
    EXPECT_EQ(ExitStatusOf(c.result), c.status) << static_cast<int>(c.result);
  }
  const int order[] = {EXIT_OK, EXIT_FAILED, EXIT_STOPPED, EXIT_AFTER_ERASE};
  for (size_t worse = 0; worse < std::size(order); ++worse) {
    for (size_t better = 0; better <= worse; ++better) {
      EXPECT_EQ(Worst(order[better], order[worse]), order[worse]);
      EXPECT_EQ(Worst(order[worse], order[better]), order[worse]);
    }
  }
}

// What each stop request leads to, after the holds and failures before it.
TEST(StopRequests, EachRequestTakenAsTheHoldsAndFailuresSay) {
  enum Step { Hold, Release, Damage, Stop, Refuse };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<StopTiming> timings;  // of each Stop, in order
    bool lastHoldTaken;               // whether the last Hold was granted
  };
  const Case cases[] = {
      {"nothing held", {Stop}, {StopTiming::AtOnce}, true},
      {"held: waits, said once",
       {Hold, Stop, Stop},
       {StopTiming::Waits, StopTiming::WaitsAgain},
       true},
      {"a stop first refuses the hold", {Stop, Hold}, {StopTiming::AtOnce}, false},
      {"a waiting stop refuses another bridge's hold",
       {Hold, Stop, Hold},
       {StopTiming::Waits},
       false},
      {"released after waiting: the next ends at once",
       {Hold, Stop, Release, Stop},
       {StopTiming::Waits, StopTiming::AtOnce},
       true},
      {"failed after its erase: never stopped, however often asked",
       {Hold, Damage, Release, Stop, Stop},
       {StopTiming::AfterDamage, StopTiming::AfterDamage},
       true},
      {"failed, another bridge still writing: waits for it",
       {Hold, Hold, Damage, Release, Stop},
       {StopTiming::Waits},
       true},
      {"holds refused: no further erase, and no stop asked", {Refuse, Hold}, {}, false},
      {"holds refused: a write under way keeps its hold",
       {Hold, Refuse, Stop},
       {StopTiming::Waits},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StopRequests stops;
    std::vector<StopTiming> timings;
    bool taken = true;
    for (Step step : c.steps) {
      if (step == Hold) taken = stops.Hold();
      if (step == Release) stops.Release();
      if (step == Damage) stops.FailedAfterErase();
      if (step == Stop) timings.push_back(stops.Note());
      if (step == Refuse) stops.RefuseHolds();
    }
    EXPECT_EQ(timings, c.timings);
    EXPECT_EQ(taken, c.lastHoldTaken);
    EXPECT_EQ(stops.Requested(), !timings.empty()) << c.name;
  }
}

// The standard's test messages, fed whole and in pieces that straddle the
// 64-byte blocks; the hash starts afresh after each digest.
TEST(Sha256, StandardTestMessagesInAnyPieces) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  Sha256 sha;
  for (const Case& c : cases) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.message.data());
    for (size_t piece : {c.message.size() + 1, size_t{1}, size_t{55}, size_t{64}, size_t{65}}) {
      for (size_t at = 0; at < c.message.size(); at += piece) {
        sha.Add(bytes + at, std::min(piece, c.message.size() - at));
      }
      EXPECT_EQ(sha.HexDigest(), c.digest) << c.message.substr(0, 8) << ", pieces of " << piece;
    }
  }
}

// A stop on one thread and a hold on another: never both "end now" and an
// erase begun.
TEST(StopRequests, AStopAndAHoldNeverBothWin) {
  for (int round = 0; round < 500; ++round) {
    StopRequests stops;
    std::atomic<bool> go{false};
    StopTiming timing = StopTiming::Waits;
    bool held = false;
    std::thread stopper([&] {
      while (!go.load()) {
      }
      timing = stops.Note();
    });
    std::thread updater([&] {
      while (!go.load()) {
      }
      held = stops.Hold();
    });
    go.store(true);
    stopper.join();
    updater.join();
    ASSERT_NE(timing == StopTiming::AtOnce, held) << "round " << round;
  }
}

// What an operation shows lands on the terminal's streams: chip labels on
// the stream chosen for them, status and errors for people, notices held
// until the command has succeeded.
TEST(TerminalView, EachKindOfTextOnItsStream) {
  struct Streams {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::FILE* chip = std::tmpfile();
    ~Streams() {
      for (std::FILE* f : {out, err, chip}) std::fclose(f);
    }
    static std::string Text(std::FILE* f) {
      std::string text;
      std::rewind(f);
      for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) text += static_cast<char>(c);
      return text;
    }
  };
  struct FailingFiles final : FilePort {
    std::unique_ptr<InputFile> OpenForRead(const std::string&) override { return nullptr; }
    std::unique_ptr<OutputFile> CreateForWrite(const std::string&) override { return nullptr; }
    std::string LastFailure() const override { return failure; }
    std::string failure;
  };
  ChipInfo info;
  info.flashMaker = 0xBF;
  info.romSizeCode = 2;
  struct Case {
    bool chipStream;
    const char* prefix;
    const char *out, *err, *chip;
  };
  const Case cases[] = {
      {true, "", "Updated OK!\n", "Erasing...\nNo ROM code to write.\nzq5210: disk full\n",
       "Vendor ID: 0XBF\nChip ID: 0X00\nROM size: 64(KB)\nFW ver.2000.00.00.000\n"},
      {false, "emulated1: ", "Updated OK!\n",
       "emulated1: Erasing...\nemulated1: No ROM code to write.\nemulated1: zq5210: disk full\n",
       ""},
  };
  for (const Case& c : cases) {
    Streams streams;
    FailingFiles files;
    TerminalView view(streams.out, streams.err, false, c.prefix,
                      c.chipStream ? streams.chip : nullptr);
    view.WatchFileFailures(&files);
    view.BeginProgress();
    view.ShowStatus("Erasing...");
    view.ShowStatus("");
    view.ShowProgress(40);
    view.ShowChipInfo(info);
    view.ShowNotice("Updated OK!");
    EXPECT_EQ(Streams::Text(streams.out), "") << "notices wait";
    files.failure = "disk full";
    view.ShowError("No ROM code to write.");
    view.HideProgress();
    view.FlushNotices();
    EXPECT_EQ(Streams::Text(streams.out), c.out);
    EXPECT_EQ(Streams::Text(streams.err), c.err);
    EXPECT_EQ(Streams::Text(streams.chip), c.chip);
    EXPECT_EQ(view.LastError(), "No ROM code to write.");
    EXPECT_EQ(view.LastNotice(), "Updated OK!");
  }
}

}  // namespace
}  // namespace zq::cli
