// Read ROM on both paths: the read length rule, the sequences, the save
// dialog and what happens to the file on every outcome.
#include <gtest/gtest.h>

#include "emulator/emulated_setup.h"
#include "support/dialog_host.h"

namespace zq::test {
namespace {

ChipInfo Firmware(uint8_t year, uint8_t month, uint8_t day, uint8_t romSizeCode) {
  ChipInfo info;
  info.fwYear = year;
  info.fwMonth = month;
  info.fwDay = day;
  info.romSizeCode = romSizeCode;
  return info;
}

TEST(RomReadLength, FollowsFirmwareDateAndRomSizeCode) {
  struct Case {
    ChipInfo info;
    uint32_t length;
  };
  const Case cases[] = {
      {Firmware(3, 4, 8, 2), 32768},    // on the threshold: the old default
      {Firmware(3, 4, 9, 2), 65536},    // after it: the size code
      {Firmware(4, 1, 1, 1), 32768},    //
      {Firmware(4, 1, 1, 0), 32768},    // code 0 reads 32 KB, not 16 KB
      {Firmware(2, 12, 31, 2), 32768},  //
      {Firmware(3, 13, 0, 1), 32768},   // no date check: 31 300 is above the threshold
      {Firmware(4, 1, 1, 3), 65536},    // 128 KB asked; 16-bit addresses stop at 64 KB
      {Firmware(4, 1, 1, 31), 65536},   //
      {Firmware(255, 255, 255, 2), 65536},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RomReadLength(c.info), c.length)
        << int{c.info.fwYear} << "." << int{c.info.fwMonth} << "." << int{c.info.fwDay} << " code "
        << int{c.info.romSizeCode};
  }
}

class ReadRom : public ::testing::TestWithParam<Path> {
 protected:
  void SetUp() override {
    for (size_t i = 0; i < host.chip.Flash().size(); ++i) {
      host.chip.Flash()[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    }
    ASSERT_TRUE(host.StartWithBridge(GetParam()));
  }

  void SetFirmware(uint8_t year, uint8_t month, uint8_t day, uint8_t code) {
    host.chip.Record()[8] = year;
    host.chip.Record()[9] = month;
    host.chip.Record()[10] = day;
    host.chip.Record()[4] = code;
  }

  std::vector<uint8_t> FlashPrefix(size_t length) {
    return std::vector<uint8_t>(host.chip.Flash().begin(),
                                host.chip.Flash().begin() + static_cast<long>(length));
  }

  void ExpectClosedAndReset() {
    EXPECT_TRUE(host.passThrough.OpenPaths().empty());
    const std::vector<std::string> tail(host.window.events.end() - 3, host.window.events.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"text IDC_STATUS ", "pos 0", "show IDC_PROGRESS 0"}));
  }

  // ASPI cannot tell a short read: a dump reads each block twice there
  size_t ReadsPerBlock() const { return GetParam() == Path::Aspi ? 2 : 1; }

  DialogHost host;
};

TEST_P(ReadRom, ReadsAndSavesThirtyTwoKilobytes) {
  SetFirmware(3, 4, 8, 2);
  host.window.AnswerSave("C:\\dump\\output.bin");
  host.dialog->OnReadRom();

  ASSERT_EQ(host.window.boxes.size(), 1u);
  const RecordedBox& box = host.window.boxes[0];
  EXPECT_EQ(box.text, "Finished read! (Save As...)");
  EXPECT_EQ(box.caption, "Status");
  EXPECT_EQ(box.kind, BoxKind::Notice);
  // the bar ends at 64 blocks, from 0 or from 5
  EXPECT_EQ(box.progress, GetParam() == Path::PassThrough ? 64 : 69);
  EXPECT_EQ(box.status, GetParam() == Path::PassThrough ? "Reading code from ROM..."
                                                        : "Getting the chip information...");
  EXPECT_EQ(host.window.Text(IDC_ROM_SIZE), " ROM size: 64(KB)");
  EXPECT_EQ(host.window.Text(IDC_FW_VERSION), " FW ver.2003.04.08.007");

  ASSERT_EQ(host.window.saveRequests.size(), 1u);
  EXPECT_EQ(host.window.saveRequests[0].filter, "ROM Code Files (*.bin)|*.bin||");
  EXPECT_EQ(host.window.saveRequests[0].defaultName, "output.bin");
  EXPECT_EQ(host.window.saveRequests[0].defaultExtension, "");
  EXPECT_TRUE(host.window.saveRequests[0].overwritePrompt);
  EXPECT_FALSE(host.window.saveRequests[0].fileMustExist);

  ASSERT_EQ(host.files.commits.size(), 1u);
  EXPECT_EQ(host.files.commits[0].path, "C:\\dump\\output.bin");
  EXPECT_EQ(host.files.commits[0].bytes, FlashPrefix(32768));

  const std::vector<int> trail = host.window.ProgressTrail();
  EXPECT_EQ(trail[trail.size() - 2], 100) << "the file written shows 100 before the reset";
  ExpectClosedAndReset();

  const std::vector<std::string> commands = host.Commands();
  ASSERT_EQ(commands.size(), 1 + 64 * ReadsPerBlock());
  EXPECT_EQ(commands[0], "E0");
  EXPECT_EQ(commands.back(), "E3 7E00 0200");
  EXPECT_EQ(host.window.StatusTexts().front(), "Getting the chip information...");
}

TEST_P(ReadRom, NewerFirmwareReadsTheWholeSixtyFourKilobytes) {
  SetFirmware(3, 4, 9, 2);
  host.window.AnswerSave("C:\\dump\\all.bin");
  host.dialog->OnReadRom();
  const std::vector<std::string> commands = host.Commands();
  ASSERT_EQ(commands.size(), 1 + 128 * ReadsPerBlock());
  EXPECT_EQ(commands.back(), "E3 FE00 0200") << "the last block at 65 024";
  ASSERT_EQ(host.files.commits.size(), 1u);
  EXPECT_EQ(host.files.commits[0].bytes, FlashPrefix(65536));
  EXPECT_EQ(host.window.boxes[0].progress, 95);
}

TEST_P(ReadRom, OversizedChipsReadWhatAddressesReach) {
  SetFirmware(5, 1, 1, 4);  // asks for 256 KB
  host.window.AnswerSave("C:\\dump\\big.bin");
  host.dialog->OnReadRom();
  EXPECT_EQ(host.window.Text(IDC_ROM_SIZE), " ROM size: 256(KB)");
  ASSERT_EQ(host.files.commits.size(), 1u);
  EXPECT_EQ(host.files.commits[0].bytes, FlashPrefix(65536));
}

TEST_P(ReadRom, RefusedChipIsReadLikeAnyOther) {
  host.chip.Record()[7] = 0;
  host.window.AnswerSave("C:\\dump\\output.bin");
  host.dialog->OnReadRom();
  EXPECT_EQ(host.files.commits.size(), 1u);
}

TEST_P(ReadRom, CancelledSaveWritesNothingAndSaysNothing) {
  host.window.CancelNextDialog(false);
  host.dialog->OnReadRom();
  EXPECT_EQ(host.window.boxes.size(), 1u) << "only the read notice";
  EXPECT_TRUE(host.files.commits.empty());
  EXPECT_EQ(host.files.abandoned, 0u);
  ExpectClosedAndReset();
}

TEST_P(ReadRom, FailedReadSavesNothing) {
  ASSERT_TRUE(ParseFault("read:3", host.chip.Faults()));
  host.window.AnswerSave("C:\\dump\\output.bin");
  host.dialog->OnReadRom();
  ASSERT_EQ(host.window.boxes.size(), 1u);
  EXPECT_EQ(host.window.boxes[0].text, "Can't read ROM code from the chip.");
  EXPECT_TRUE(host.window.saveRequests.empty()) << "no save dialog";
  ExpectClosedAndReset();
}

TEST_P(ReadRom, UncreatableFileNamesItWithoutItsFolder) {
  host.files.faults.createFails = true;
  host.window.AnswerSave("C:\\dump\\locked.bin");
  host.dialog->OnReadRom();
  ASSERT_EQ(host.window.boxes.size(), 2u);
  EXPECT_EQ(host.window.boxes[1].text, "Could not create locked.bin");
  EXPECT_EQ(host.window.boxes[1].caption, "ERROR");
  ExpectClosedAndReset();
}

TEST_P(ReadRom, FailedWriteKeepsTheExistingFile) {
  const std::vector<uint8_t> old = Pattern(100);
  host.files.AddFile("C:\\dump\\output.bin", old);
  // bytes that never reach the disk are a write error; an old file that will
  // not make way for them is one that could not be created
  const std::pair<bool MemoryFileFaults::*, const char*> faults[] = {
      {&MemoryFileFaults::writeFails, "Write file error"},
      {&MemoryFileFaults::flushFails, "Write file error"},
      {&MemoryFileFaults::commitFails, "Could not create output.bin"}};
  for (const auto& [fault, text] : faults) {
    host.files.faults = {};
    host.files.faults.*fault = true;
    host.window.AnswerSave("C:\\dump\\output.bin");
    host.window.ClearTrail();
    host.dialog->OnReadRom();
    ASSERT_EQ(host.window.boxes.size(), 2u);
    EXPECT_EQ(host.window.boxes[1].text, text);
    EXPECT_EQ(host.window.boxes[1].caption, "ERROR");
    EXPECT_EQ(host.files.files["C:\\dump\\output.bin"], old);
    ExpectClosedAndReset();
  }
  // a short write is a failed write too
  host.files.faults = {};
  host.files.faults.writeCapacity = 1000;
  host.window.AnswerSave("C:\\dump\\output.bin");
  host.window.ClearTrail();
  host.dialog->OnReadRom();
  ASSERT_EQ(host.window.boxes.size(), 2u);
  EXPECT_EQ(host.window.boxes[1].text, "Write file error");
  EXPECT_EQ(host.files.files["C:\\dump\\output.bin"], old);
  EXPECT_TRUE(host.files.commits.empty());
}

TEST_P(ReadRom, NoBridgeShowsTheErrorAndReadsNothing) {
  DialogHost empty;
  ASSERT_TRUE(
      empty.Start(GetParam() == Path::PassThrough ? PlatformFamily::Nt : PlatformFamily::Consumer));
  empty.dialog->OnReadRom();
  ASSERT_EQ(empty.window.boxes.size(), 1u);
  EXPECT_EQ(empty.window.boxes[0].text, "Can't find or connect to the device.");
  EXPECT_EQ(empty.window.boxes[0].progress, 0);
  EXPECT_TRUE(empty.window.saveRequests.empty());
}

INSTANTIATE_TEST_SUITE_P(BothPaths, ReadRom, ::testing::Values(Path::PassThrough, Path::Aspi),
                         [](const auto& param) { return PathName(param.param); });

}  // namespace
}  // namespace zq::test
