// The operations on a bridge with no window at all: what they show on a
// view, what they send to the chip, and how their choices, given as values
// or asked late, decide it.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "app/bridge_operations.h"
#include "emulator/bridge_device.h"
#include "emulator/emulated_pass_through.h"
#include "support/dialog_host.h"
#include "support/memory_files.h"
#include "support/recording_host.h"
#include "transport/pass_through.h"

namespace zq::test {
namespace {

const std::string SST_CHIP =
    "chip Vendor ID: SST / Chip ID: VF040 / ROM size: 64(KB) / FW ver.2004.05.28.007";
const std::vector<std::string> RESET = {"status ", "progress 0", "progress hidden"};

// One emulated bridge on a pass-through port, found as a host finds it.
struct Bench {
  BridgeDevice chip;
  EmulatedPassThroughPort port;
  RecordingView view;
  MemoryFilePort files;
  BridgeOperations operations{view, files};

  std::unique_ptr<Bridge> Find(bool present) {
    if (!present) return nullptr;
    port.AddBridge(InterfaceClass::Disk, chip);
    PassThroughTransport transport(port);
    std::vector<std::unique_ptr<Bridge>> found =
        transport.FindBridges(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID);
    EXPECT_EQ(found.size(), 1u);
    chip.ClearLog();
    return found.empty() ? nullptr : std::move(found[0]);
  }
  size_t Sent(uint8_t opcode) const {
    const auto& log = chip.Log();
    return static_cast<size_t>(std::count_if(
        log.begin(), log.end(), [&](const CommandLogEntry& e) { return e.opcode == opcode; }));
  }
  bool Shown(const std::string& event) const {
    return std::find(view.events.begin(), view.events.end(), event) != view.events.end();
  }
};

TEST(BridgeOperations, AnUpdateShowsEveryStepOnTheView) {
  Bench bench;
  bench.chip.SetBusyAnswers(3);
  std::unique_ptr<Bridge> bridge = bench.Find(true);
  ImageBuffer image{};
  const std::vector<uint8_t> code = Pattern(1000);
  std::copy(code.begin(), code.end(), image.data.begin());
  image.codeSize = 1000;
  EXPECT_EQ(bench.operations.Update(bridge.get(), image, UpdateOptions{}), UpdateResult::Updated);
  const std::vector<std::string> expected = {"progress begun",
                                             "status Getting the chip information...",
                                             "progress 5",
                                             SST_CHIP,
                                             "status Erasing...",
                                             "progress 10",
                                             "progress 15",
                                             "progress 20",
                                             "progress 40",
                                             "status Writing ROM code...",
                                             "progress 41",
                                             "progress 42",
                                             "status Reading code from ROM...",
                                             "progress 43",
                                             "progress 44",
                                             "progress 100",
                                             "notice Updated OK!",
                                             "status ",
                                             "progress 0",
                                             "progress hidden"};
  EXPECT_EQ(bench.view.events, expected);
  EXPECT_TRUE(std::equal(code.begin(), code.end(), bench.chip.Flash().begin()));
}

TEST(BridgeOperations, AnUpdateTakesItsChoices) {
  struct Case {
    const char* name;
    bool present;
    uint32_t codeSize;
    bool verify;
    std::optional<bool> askedLate;  // the answer of a late question, when one is asked
    UpdateResult result;
    size_t reads;        // blocks read back
    const char* box;     // the last error or notice
    uint32_t sizeAfter;  // the image's code size once done
  };
  const Case cases[] = {
      {"verified", true, 1000, true, std::nullopt, UpdateResult::Updated, 2, "notice Updated OK!",
       1000},
      {"not verified", true, 1000, false, std::nullopt, UpdateResult::Updated, 0,
       "notice Updated OK!", 1000},
      {"late answer wins over the value", true, 1000, true, false, UpdateResult::Updated, 0,
       "notice Updated OK!", 1000},
      {"late answer verifies", true, 512, false, true, UpdateResult::Updated, 1,
       "notice Updated OK!", 512},
      {"longer than the flash takes", true, 40000, true, std::nullopt, UpdateResult::Updated, 64,
       "notice Updated OK!", LARGEST_WRITE},
      {"no code", true, 0, true, true, UpdateResult::NoCode, 0, "error No ROM code to write.", 0},
      {"no bridge", false, 1000, true, true, UpdateResult::NoDevice, 0,
       "error Can't find or connect to the device.", 1000},
  };
  for (const Case& c : cases) {
    Bench bench;
    std::unique_ptr<Bridge> bridge = bench.Find(c.present);
    auto image = std::make_unique<ImageBuffer>();
    image->data.fill(0x5A);
    image->codeSize = c.codeSize;
    UpdateOptions options;
    options.verify = c.verify;
    int asked = 0;
    if (c.askedLate) {
      options.verifyOnceWritten = [&] {
        ++asked;
        // asked once the writing is done, before anything is read back
        EXPECT_EQ(bench.view.events.back(), "status Reading code from ROM...") << c.name;
        return *c.askedLate;
      };
    }
    EXPECT_EQ(bench.operations.Update(bridge.get(), *image, options), c.result) << c.name;
    EXPECT_EQ(bench.Sent(CMD_READ), c.reads) << c.name;
    EXPECT_EQ(asked, c.askedLate && c.result == UpdateResult::Updated ? 1 : 0) << c.name;
    EXPECT_EQ(image->codeSize, c.sizeAfter) << c.name;
    ASSERT_GE(bench.view.events.size(), 4u) << c.name;
    const std::vector<std::string> tail(bench.view.events.end() - 4, bench.view.events.end());
    EXPECT_EQ(tail[0], c.box) << c.name;
    EXPECT_EQ(std::vector<std::string>(tail.begin() + 1, tail.end()), RESET) << c.name;
  }
}

TEST(BridgeOperations, AReadSavesWhereItIsTold) {
  struct Case {
    const char* name;
    bool present;
    bool target;                        // a target given as a value
    std::optional<std::string> chosen;  // a late choice: its path, or declined
    bool sayReading;
    bool ok;
    const char* savedAt;  // empty: nothing saved
  };
  const Case cases[] = {
      {"target as a value", true, true, std::nullopt, true, true, "C:\\out\\given.bin"},
      {"chosen late", true, false, std::string("C:\\out\\chosen.bin"), false, true,
       "C:\\out\\chosen.bin"},
      {"choice declined", true, false, std::nullopt, true, true, ""},
      {"no bridge", false, true, std::nullopt, true, false, ""},
  };
  for (const Case& c : cases) {
    Bench bench;
    std::unique_ptr<Bridge> bridge = bench.Find(c.present);
    const std::vector<uint8_t> flash = Pattern(ROM_SPACE, 0x33);
    std::copy(flash.begin(), flash.end(), bench.chip.Flash().begin());
    ReadRomOptions options;
    options.sayReading = c.sayReading;
    if (c.target) options.target = ChoiceForPath("C:\\out\\given.bin");
    options.chooseTarget = [&](FileChoice& choice) {
      if (!c.chosen) return false;
      choice = ChoiceForPath(*c.chosen);
      return true;
    };
    EXPECT_EQ(bench.operations.ReadRom(bridge.get(), options), c.ok) << c.name;
    if (std::string(c.savedAt).empty()) {
      EXPECT_TRUE(bench.files.commits.empty()) << c.name;
    } else {
      ASSERT_EQ(bench.files.commits.size(), 1u) << c.name;
      EXPECT_EQ(bench.files.commits[0].path, c.savedAt) << c.name;
      // firmware of 2004 with size code 2 reads the whole 64 KB
      EXPECT_EQ(bench.files.commits[0].bytes, flash) << c.name;
      EXPECT_TRUE(bench.Shown("progress 100")) << c.name;
    }
    EXPECT_EQ(bench.Shown("status Reading code from ROM..."), c.present && c.sayReading) << c.name;
    EXPECT_EQ(bench.Shown("notice Finished read! (Save As...)"), c.present) << c.name;
    EXPECT_EQ(bench.Shown("error Can't find or connect to the device."), !c.present) << c.name;
  }
}

TEST(BridgeOperations, ChipInformationOrNotFound) {
  for (const bool present : {true, false}) {
    Bench bench;
    std::unique_ptr<Bridge> bridge = bench.Find(present);
    EXPECT_EQ(bench.operations.ShowChipInfo(bridge.get()), present);
    std::vector<std::string> expected = {
        "progress begun", "status Getting the chip information...",
        present ? SST_CHIP : "error Can't find or connect to the device."};
    expected.insert(expected.end(), RESET.begin(), RESET.end());
    EXPECT_EQ(bench.view.events, expected);
    EXPECT_TRUE(bench.chip.Log().empty()) << "the record from the search is all it shows";
  }
}

}  // namespace
}  // namespace zq::test
