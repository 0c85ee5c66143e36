// Update on both paths: whole sequences of texts, positions, boxes and
// device commands, and one failure per step.
#include <gtest/gtest.h>

#include <algorithm>

#include "emulator/emulated_setup.h"
#include "support/dialog_host.h"

namespace zq::test {
namespace {

const std::vector<std::string> SST_LABELS = {
    "text IDC_VENDOR_ID  Vendor ID: SST", "text IDC_CHIP_ID  Chip ID: VF040",
    "text IDC_ROM_SIZE  ROM size: 64(KB)", "text IDC_FW_VERSION  FW ver.2004.05.28.007"};

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<std::string> FindPrefix(Path path) {
  std::vector<std::string> events = {"range 0 100", "pos 0", "show IDC_PROGRESS 1",
                                     "text IDC_STATUS Getting the chip information..."};
  if (path == Path::PassThrough) {
    events.push_back("pos 2");
    events.push_back("pos 5");
  } else {
    events.push_back("pos 5");
  }
  return events;
}

const std::vector<std::string> RESET = {"text IDC_STATUS ", "pos 0", "show IDC_PROGRESS 0"};

size_t Count(const std::vector<std::string>& commands, const std::string& prefix) {
  return static_cast<size_t>(std::count_if(commands.begin(), commands.end(),
                                           [&](auto& c) { return c.rfind(prefix, 0) == 0; }));
}

class Update : public ::testing::TestWithParam<Path> {
 protected:
  void SetUp() override { ASSERT_TRUE(host.StartWithBridge(GetParam())); }

  // Loads, updates and returns the one message box's text.
  std::string Run(const std::vector<uint8_t>& image, bool verify) {
    EXPECT_TRUE(host.Load(image));
    host.chip.ClearLog();
    host.window.checked[IDC_VERIFY] = verify;
    host.dialog->OnUpdate();
    EXPECT_EQ(host.window.boxes.size(), 1u);
    EXPECT_TRUE(host.passThrough.OpenPaths().empty()) << "the device handle is closed";
    const std::vector<std::string> tail(host.window.events.end() - 3, host.window.events.end());
    EXPECT_EQ(tail, RESET) << "every update ends with the status reset";
    return host.window.boxes.empty() ? "" : host.window.boxes.back().text;
  }

  bool FlashHolds(const std::vector<uint8_t>& image, size_t length) {
    return std::equal(image.begin(), image.begin() + static_cast<long>(length),
                      host.chip.Flash().begin());
  }

  DialogHost host;
};

TEST_P(Update, TwoBlocksWithVerificationInFull) {
  host.chip.SetBusyAnswers(3);
  const std::vector<uint8_t> image = Pattern(1000);
  EXPECT_EQ(Run(image, true), "Updated OK!");

  const std::vector<std::string> expected = Concat({
      FindPrefix(GetParam()),
      SST_LABELS,
      {"text IDC_STATUS Erasing...", "pos 10", "pos 15", "pos 20", "pos 40",
       "text IDC_STATUS Writing ROM code...", "pos 41", "pos 42",
       "text IDC_STATUS Reading code from ROM...", "check? IDC_VERIFY", "pos 43", "pos 44",
       "pos 100", "box Status: Updated OK!"},
      RESET,
  });
  EXPECT_EQ(host.window.events, expected);
  EXPECT_EQ(host.window.boxes[0].kind, BoxKind::Notice);
  EXPECT_EQ(host.window.boxes[0].status, "Reading code from ROM...");
  EXPECT_EQ(host.window.boxes[0].progress, 100);

  const std::vector<std::string> commands = {
      "E0", "E1",           "F7",           "F7",           "F7",
      "F7", "E2 0000 0200", "E2 0200 01E8", "E3 0000 0200", "E3 0200 01E8",
  };
  EXPECT_EQ(host.Commands(), commands);
  EXPECT_TRUE(FlashHolds(image, image.size()));
  EXPECT_EQ(host.chip.Flash()[1000], 0xFF) << "nothing written past the code";
}

TEST_P(Update, OneBlockWithoutVerification) {
  EXPECT_EQ(Run(Pattern(512), false), "Updated OK!");
  const std::vector<std::string> commands = {"E0", "E1", "F7", "F7", "F7", "E2 0000 0200"};
  EXPECT_EQ(host.Commands(), commands);
  // one step past the write position, then done
  const std::vector<int> trail = host.window.ProgressTrail();
  EXPECT_EQ(std::vector<int>(trail.end() - 4, trail.end() - 1), (std::vector<int>{41, 42, 100}));
  EXPECT_EQ(host.window.boxes[0].status, "Reading code from ROM...");
}

TEST_P(Update, FullWriteLengthCapsTheBarAt75And95) {
  const std::vector<uint8_t> image = Pattern(32768);
  EXPECT_EQ(Run(image, true), "Updated OK!");
  const std::vector<std::string> commands = host.Commands();
  EXPECT_EQ(Count(commands, "E2"), 64u);
  EXPECT_EQ(Count(commands, "E3"), 64u);
  EXPECT_EQ(commands[commands.size() - 1], "E3 7E00 0200");

  const std::vector<int> trail = host.window.ProgressTrail();
  const auto at40 = std::find(trail.begin(), trail.end(), 40);
  ASSERT_NE(at40, trail.end());
  const std::vector<int> writes(at40 + 1, at40 + 65);
  EXPECT_EQ(writes[34], 75) << "75 after 35 blocks";
  EXPECT_EQ(writes[63], 75);
  const std::vector<int> reads(at40 + 65, at40 + 129);
  EXPECT_EQ(reads[19], 95) << "95 after 20 blocks read back";
  EXPECT_EQ(reads[18], 94);
  EXPECT_TRUE(FlashHolds(image, image.size()));
}

TEST_P(Update, ImagesAbove32KWriteOnlyTheFirst32K) {
  const std::vector<uint8_t> image = Pattern(40000);
  EXPECT_EQ(Run(image, true), "Updated OK!");
  EXPECT_EQ(Count(host.Commands(), "E2"), 64u);
  EXPECT_EQ(host.dialog->Image().codeSize, 32768u) << "the stored code size is lowered";
  EXPECT_TRUE(FlashHolds(image, 32768));
  EXPECT_EQ(host.chip.Flash()[32768], 0xFF);
}

TEST_P(Update, RefusedChipShowsItsLabelsAndErasesNothing) {
  host.chip.Record()[7] = 0;  // access flag
  EXPECT_EQ(Run(Pattern(100), true), "Can't access the chip.(Be rejected!)");
  EXPECT_EQ(host.Commands(), std::vector<std::string>{"E0"});
  EXPECT_EQ(host.window.Text(IDC_VENDOR_ID), " Vendor ID: SST");
  EXPECT_EQ(host.window.boxes[0].caption, "ERROR");
  EXPECT_EQ(host.window.boxes[0].kind, BoxKind::Error);
}

TEST_P(Update, EmptyImageIsRefusedBeforeErasing) {
  host.files.AddFile("C:\\fw\\end.hex", ":00000001FF\n");
  host.window.AnswerOpen("C:\\fw\\end.hex");
  host.dialog->OnLoadFile();
  ASSERT_TRUE(host.window.boxes.empty());
  host.chip.ClearLog();
  const std::array<uint8_t, EMULATED_FLASH_SIZE> before = host.chip.Flash();
  host.dialog->OnUpdate();
  ASSERT_EQ(host.window.boxes.size(), 1u);
  EXPECT_EQ(host.window.boxes[0].text, "No ROM code to write.");
  EXPECT_EQ(host.Commands(), std::vector<std::string>{"E0"});
  EXPECT_EQ(host.chip.Flash(), before);
}

struct StepFailure {
  const char* fault;
  const char* text;
};

TEST_P(Update, EachFailingStepGivesItsOwnText) {
  const StepFailure cases[] = {
      {"info", "Can't find or connect to the device."},
      {"erase", "Can't erase the chip's ROM."},
      {"status", "Can't erase the chip's ROM."},
      {"stuck", "Can't erase the chip's ROM."},
      {"write:1", "Can't write ROM code into the chip."},
      {"write:3", "Can't write ROM code into the chip."},
      {"read:2", "Can't read ROM code from the chip."},
      {"lie-write:2", "ROM code verification error."},
      {"flip:1499", "ROM code verification error."},
      {"vanish:4", "Can't erase the chip's ROM."},
      {"vanish:6", "Can't write ROM code into the chip."},
  };
  for (const StepFailure& c : cases) {
    DialogHost fresh;
    ASSERT_TRUE(fresh.StartWithBridge(GetParam()));
    ASSERT_TRUE(ParseFault(c.fault, fresh.chip.Faults())) << c.fault;
    ASSERT_TRUE(fresh.Load(Pattern(1500)));
    fresh.window.checked[IDC_VERIFY] = true;
    fresh.dialog->OnUpdate();
    ASSERT_EQ(fresh.window.boxes.size(), 1u) << c.fault;
    EXPECT_EQ(fresh.window.boxes[0].text, c.text) << c.fault;
    EXPECT_EQ(fresh.window.boxes[0].caption, "ERROR") << c.fault;
    EXPECT_FALSE(fresh.window.visible[IDC_PROGRESS]) << c.fault;
    EXPECT_EQ(fresh.dialog->ProgressPos(), 0) << c.fault;
    EXPECT_TRUE(fresh.passThrough.OpenPaths().empty()) << c.fault;
  }
}

TEST_P(Update, FlipBeyondTheCodeIsNotLookedAt) {
  ASSERT_TRUE(ParseFault("flip:1000", host.chip.Faults()));
  EXPECT_EQ(Run(Pattern(1000), true), "Updated OK!");
}

TEST_P(Update, NoBridgeLeavesTheBarWhereTheSearchLeftIt) {
  DialogHost empty;
  ASSERT_TRUE(
      empty.Start(GetParam() == Path::PassThrough ? PlatformFamily::Nt : PlatformFamily::Consumer));
  if (GetParam() == Path::Aspi) empty.aspi.SetHostAdapterCount(1);
  ASSERT_TRUE(empty.Load(Pattern(10)));
  empty.window.texts[IDC_VENDOR_ID] = " Vendor ID: EON";
  empty.dialog->OnUpdate();
  ASSERT_EQ(empty.window.boxes.size(), 1u);
  EXPECT_EQ(empty.window.boxes[0].text, "Can't find or connect to the device.");
  EXPECT_EQ(empty.window.boxes[0].progress, GetParam() == Path::PassThrough ? 5 : 0);
  EXPECT_EQ(empty.window.Text(IDC_VENDOR_ID), " Vendor ID: EON") << "labels untouched";
}

INSTANTIATE_TEST_SUITE_P(BothPaths, Update, ::testing::Values(Path::PassThrough, Path::Aspi),
                         [](const auto& param) { return PathName(param.param); });

TEST(UpdatePassThrough, BridgeSeenOnlyAsCdRomIsFoundBySecondSearch) {
  DialogHost host;
  host.passThrough.AddOrdinaryDisk(InterfaceClass::Disk);
  host.passThrough.AddBridge(InterfaceClass::CdRom, host.chip);
  ASSERT_TRUE(host.Start(PlatformFamily::Nt));
  ASSERT_TRUE(host.Load(Pattern(600)));
  host.dialog->OnUpdate();
  ASSERT_EQ(host.window.boxes.size(), 1u);
  EXPECT_EQ(host.window.boxes[0].text, "Updated OK!");
  const std::vector<std::string> expected = Concat({FindPrefix(Path::PassThrough), SST_LABELS});
  EXPECT_EQ(
      std::vector<std::string>(host.window.events.begin(),
                               host.window.events.begin() + static_cast<long>(expected.size())),
      expected);
  EXPECT_TRUE(host.passThrough.OpenPaths().empty());
}

}  // namespace
}  // namespace zq::test
