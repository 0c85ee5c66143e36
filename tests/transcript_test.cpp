// A good update held command by command against a transcript kept as text,
// and the replay's own faults: every kind of deviation must fail it, naming
// the command with what was expected and what came instead.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/dialog_host.h"
#include "support/transcript.h"

namespace zq::test {
namespace {

std::string TranscriptPath(const std::string& name) {
  return std::string(ZQ_SOURCE_DIR) + "/tests/transcripts/" + name;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

const char* TranscriptFile(Path path) {
  return path == Path::PassThrough ? "update_1000_verified_pass_through.txt"
                                   : "update_1000_verified_aspi.txt";
}

std::vector<TranscriptLine> LoadTranscript(Path path) {
  std::vector<TranscriptLine> lines;
  std::string error;
  const std::string text = ReadText(TranscriptPath(TranscriptFile(path)));
  EXPECT_FALSE(text.empty()) << TranscriptPath(TranscriptFile(path));
  EXPECT_TRUE(ParseTranscript(text, lines, error)) << error;
  return lines;
}

struct Outcome {
  bool followed = false;
  std::string mismatch;
  std::string box;
  std::string sent;  // the transcript of what the run sent, for diagnosis
};

// A 1 000-byte update with verification and two busy polls, held to `lines`.
Outcome RunUpdate(Path path, const std::vector<TranscriptLine>& lines) {
  DialogHost host;
  EXPECT_TRUE(host.StartWithBridge(path));
  host.chip.SetBusyAnswers(2);
  EXPECT_TRUE(host.Load(Pattern(1000)));
  host.window.checked[IDC_VERIFY] = true;
  TranscriptReplay replay(lines);
  host.chip.SetObserver(&replay);
  host.dialog->OnUpdate();
  host.chip.SetObserver(nullptr);
  Outcome outcome;
  outcome.followed = replay.Finish();
  outcome.mismatch = replay.Mismatch();
  outcome.box = host.window.boxes.empty() ? "" : host.window.boxes.back().text;
  outcome.sent = FormatTranscript(host.chip.Log());
  return outcome;
}

class Transcript : public ::testing::TestWithParam<Path> {};

TEST_P(Transcript, GoodUpdateFollowsItExactly) {
  const std::vector<TranscriptLine> lines = LoadTranscript(GetParam());
  EXPECT_EQ(lines.size(), 9u);
  const Outcome outcome = RunUpdate(GetParam(), lines);
  EXPECT_TRUE(outcome.followed) << outcome.mismatch << "\nthe run sent:\n" << outcome.sent;
  EXPECT_EQ(outcome.box, "Updated OK!");
}

TEST_P(Transcript, ReorderedTranscriptFailsAtTheFirstDifference) {
  std::vector<TranscriptLine> lines = LoadTranscript(GetParam());
  ASSERT_EQ(lines.size(), 9u);
  std::swap(lines[5], lines[6]);
  const Outcome outcome = RunUpdate(GetParam(), lines);
  EXPECT_FALSE(outcome.followed);
  EXPECT_EQ(outcome.mismatch.rfind("command 6: expected 'E2 0200 01E8 out 488 ", 0), 0u)
      << outcome.mismatch;
  EXPECT_NE(outcome.box, "Updated OK!") << "the strict device refuses what it did not expect";
}

INSTANTIATE_TEST_SUITE_P(BothPaths, Transcript, ::testing::Values(Path::PassThrough, Path::Aspi),
                         [](const auto& param) { return PathName(param.param); });

struct Alteration {
  const char* what;
  std::function<void(std::vector<TranscriptLine>&)> alter;
  const char* mismatch;
};

TEST(TranscriptReplay, EveryAlterationFailsWithExpectedAndActual) {
  using Lines = std::vector<TranscriptLine>;
  const Alteration alterations[] = {
      {"a busy poll missing", [](Lines& l) { l.erase(l.begin() + 3); },
       "command 4: expected 'F7 0000 0000 in 1 6 good ready' but got "
       "'F7 0000 0000 in 1 6 good busy'"},
      {"a write twice", [](Lines& l) { l.insert(l.begin() + 6, l[5]); },
       "command 7: expected 'E2 0000 0200 out 512 6 good' but got 'E2 0200 01E8 out 488 6'"},
      {"read-backs swapped", [](Lines& l) { std::swap(l[7], l[8]); },
       "command 8: expected 'E3 0200 01E8 in 488 6 good' but got 'E3 0000 0200 in 512 6'"},
      {"the last read-back missing", [](Lines& l) { l.pop_back(); },
       "command 9: expected no more commands but got 'E3 0200 01E8 in 488 6'"},
      {"one read-back too many", [](Lines& l) { l.push_back(l.back()); },
       "command 10: expected 'E3 0200 01E8 in 488 6 good' but the tool sent nothing more"},
      {"a write that should fail", [](Lines& l) { l[6].answer = DeviceAnswer::CheckCondition; },
       "command 7: expected 'E2 0200 01E8 out 488 6 check' but got "
       "'E2 0200 01E8 out 488 6 good'"},
      {"another address", [](Lines& l) { l[5].address = 0x0100; },
       "command 6: expected 'E2 0100 0200 out 512 6 good' but got 'E2 0000 0200 out 512 6'"},
      {"a longer CDB", [](Lines& l) { l[0].cdbLength = 11; },
       "command 1: expected 'E0 0000 0000 in 12 11 good' but got 'E0 0000 0000 in 12 6'"},
      {"no erase", [](Lines& l) { l.erase(l.begin() + 1); },
       "command 2: expected 'F7 0000 0000 in 1 6 good busy' but got 'E1 0000 0000 none 0 6'"},
  };
  const Lines good = LoadTranscript(Path::PassThrough);
  ASSERT_EQ(good.size(), 9u);
  for (const Alteration& a : alterations) {
    Lines lines = good;
    a.alter(lines);
    const Outcome outcome = RunUpdate(Path::PassThrough, lines);
    EXPECT_FALSE(outcome.followed) << a.what;
    EXPECT_EQ(outcome.mismatch, a.mismatch) << a.what;
  }
}

TEST(TranscriptReplay, ADeviceThatVanishesIsCheckedInFull) {
  // a gone device never asks whether to admit; its answers still count
  std::vector<TranscriptLine> lines = LoadTranscript(Path::PassThrough);
  DialogHost host;
  ASSERT_TRUE(host.StartWithBridge(Path::PassThrough));
  ASSERT_TRUE(host.Load(Pattern(1000)));
  host.chip.Faults().vanishAfter = 0;
  TranscriptReplay replay(lines);
  host.chip.SetObserver(&replay);
  host.dialog->OnUpdate();
  host.chip.SetObserver(nullptr);
  EXPECT_FALSE(replay.Finish());
  EXPECT_EQ(replay.Mismatch(),
            "command 1: expected 'E0 0000 0000 in 12 6 good' but got 'E0 0000 0000 in 12 6 gone'");
}

TEST(TranscriptFormat, ParsesWhatItWritesAndNamesBadLines) {
  DialogHost host;
  ASSERT_TRUE(host.StartWithBridge(Path::Aspi));
  ASSERT_TRUE(host.Load(Pattern(700)));
  host.chip.Faults().failRead = 2;
  host.window.checked[IDC_VERIFY] = true;
  host.dialog->OnUpdate();
  std::vector<TranscriptLine> parsed;
  std::string error;
  ASSERT_TRUE(ParseTranscript(FormatTranscript(host.chip.Log()), parsed, error)) << error;
  ASSERT_EQ(parsed.size(), host.chip.Log().size());
  for (size_t i = 0; i < parsed.size(); ++i) {
    EXPECT_EQ(parsed[i], LineOf(host.chip.Log()[i])) << "line " << i + 1;
  }
  EXPECT_EQ(parsed.back().answer, DeviceAnswer::CheckCondition) << "the failed read is kept";

  struct Bad {
    const char* text;
    const char* error;
  };
  const Bad bad[] = {
      {"E0 0000 0000 in 12 6", "line 1: wants 7 or 8 fields, has 6"},
      {"G0 0000 0000 in 12 6 good", "line 1: opcode is not two hex digits"},
      {"E0 000 0000 in 12 6 good", "line 1: address is not four hex digits"},
      {"E2 0000 02X0 out 512 6 good", "line 1: length is not four hex digits"},
      {"E0 0000 0000 up 12 6 good", "line 1: data direction is not in, out or none"},
      {"E0 0000 0000 in 12 17 good", "line 1: cdb length is not 0 to 16"},
      {"E0 0000 0000 in 12 6 fine", "line 1: answer is not good, check or gone"},
      {"F7 0000 0000 in 1 6 good idle",
       "line 1: status reply is not ready, busy or two hex digits"},
      {"# comment\n\nE0 0000 0000 in 12 6 good # note\nE0 0000 0000 in 1x 6 good",
       "line 4: data bytes is not a number up to 65536"},
  };
  for (const Bad& b : bad) {
    std::vector<TranscriptLine> kept(1);
    std::string why;
    EXPECT_FALSE(ParseTranscript(b.text, kept, why)) << b.text;
    EXPECT_EQ(why, b.error) << b.text;
    EXPECT_EQ(kept.size(), 1u) << "lines are untouched on failure";
  }
  std::vector<TranscriptLine> reply;
  ASSERT_TRUE(ParseTranscript("F7 0000 0000 in 1 6 good 02\n", reply, error)) << error;
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_EQ(reply[0].statusReply, std::optional<uint8_t>(2));
}

}  // namespace
}  // namespace zq::test
