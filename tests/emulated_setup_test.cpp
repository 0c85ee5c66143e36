#include "emulator/emulated_setup.h"
#include "emulator/flash_file.h"

#include "platform/posix/posix_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace zq {
namespace {

namespace fs = std::filesystem;

TEST(ParseRecordHex, AcceptsExactlyTwentyFourHexDigitsOfEitherCase) {
  std::array<uint8_t, CHIP_INFO_RECORD_SIZE> record{};
  ASSERT_TRUE(ParseRecordHex("3F1D5210aBbFd70104051C07", record));
  const std::array<uint8_t, CHIP_INFO_RECORD_SIZE> expected = {0x3F, 0x1D, 0x52, 0x10, 0xAB, 0xBF,
                                                               0xD7, 0x01, 0x04, 0x05, 0x1C, 0x07};
  EXPECT_EQ(record, expected);

  const char* rejected[] = {
      "",
      "3F1D5210ABBFD70104051C0",      // 23 digits
      "3F1D5210ABBFD70104051C070",    // 25 digits
      "3F1D5210ABBFD70104051C0G",     // not a digit
      "3F1D5210ABBFD70104051C 7",     // blank inside
      " 3F1D5210ABBFD70104051C07",    // blank in front
      "0x3F1D5210ABBFD70104051C",     // prefix
      "3F:1D:52:10:AB:BF:D7:01:04:",  // separators
  };
  for (const char* text : rejected) {
    std::array<uint8_t, CHIP_INFO_RECORD_SIZE> untouched = expected;
    EXPECT_FALSE(ParseRecordHex(text, untouched)) << '"' << text << '"';
    EXPECT_EQ(untouched, expected) << '"' << text << "\" changed the record";
  }
}

TEST(ParseFault, EachFormSetsItsOwnFault) {
  struct Case {
    const char* text;
    bool (*check)(const BridgeFaults&);
  };
  const Case cases[] = {
      {"write:3", [](const BridgeFaults& f) { return f.failWrite == 3u; }},
      {"read:1", [](const BridgeFaults& f) { return f.failRead == 1u; }},
      {"lie-write:17", [](const BridgeFaults& f) { return f.lyingWrite == 17u; }},
      {"vanish:4294967295", [](const BridgeFaults& f) { return f.vanishAfter == 4294967295u; }},
      {"write:007", [](const BridgeFaults& f) { return f.failWrite == 7u; }},
      {"flip:0", [](const BridgeFaults& f) { return f.flipAddress == 0; }},
      {"flip:65535", [](const BridgeFaults& f) { return f.flipAddress == 0xFFFF; }},
      {"flip:0x1aB", [](const BridgeFaults& f) { return f.flipAddress == 0x01AB; }},
      {"flip:0XFFFF", [](const BridgeFaults& f) { return f.flipAddress == 0xFFFF; }},
      {"erase", [](const BridgeFaults& f) { return f.eraseFails; }},
      {"stuck", [](const BridgeFaults& f) { return f.stuckBusy; }},
      {"status", [](const BridgeFaults& f) { return f.statusFails; }},
      {"info", [](const BridgeFaults& f) { return f.infoFails; }},
  };
  for (const Case& c : cases) {
    BridgeFaults faults;
    ASSERT_TRUE(ParseFault(c.text, faults)) << c.text;
    EXPECT_TRUE(c.check(faults)) << c.text;
    // exactly one fault is set
    const int set = faults.failWrite.has_value() + faults.failRead.has_value() +
                    faults.lyingWrite.has_value() + faults.flipAddress.has_value() +
                    faults.vanishAfter.has_value() + faults.eraseFails + faults.stuckBusy +
                    faults.statusFails + faults.infoFails;
    EXPECT_EQ(set, 1) << c.text;
  }
}

TEST(ParseFault, FaultsAccumulate) {
  BridgeFaults faults;
  ASSERT_TRUE(ParseFault("write:2", faults));
  ASSERT_TRUE(ParseFault("flip:0x10", faults));
  ASSERT_TRUE(ParseFault("stuck", faults));
  EXPECT_EQ(faults.failWrite, 2u);
  EXPECT_EQ(faults.flipAddress, 0x10);
  EXPECT_TRUE(faults.stuckBusy);
}

TEST(ParseFault, RejectsAnythingElseAndLeavesFaultsAlone) {
  const char* rejected[] = {
      "",
      "write",
      "write:",
      "write:0",
      "write:-1",
      "write:+1",
      "write: 1",
      "write:1 ",
      "write:1x",
      "write:0x10",
      "read:0",
      "vanish:0",
      "lie-write:",
      "lie_write:1",
      "WRITE:1",
      "write:4294967296",
      "vanish:99999999999999999999",
      "flip:",
      "flip:65536",
      "flip:0x10000",
      "flip:0x",
      "flip:-1",
      "flip:0xG1",
      "flip:1.5",
      "erase:1",
      "Stuck",
      "stuck ",
      "status:",
      "infos",
      "write:1:2",
  };
  for (const char* text : rejected) {
    BridgeFaults faults;
    faults.failRead = 9;
    EXPECT_FALSE(ParseFault(text, faults)) << '"' << text << '"';
    EXPECT_EQ(faults.failRead, 9u) << text;
    EXPECT_FALSE(faults.failWrite.has_value() || faults.lyingWrite.has_value() ||
                 faults.flipAddress.has_value() || faults.vanishAfter.has_value() ||
                 faults.eraseFails || faults.stuckBusy || faults.statusFails || faults.infoFails)
        << '"' << text << "\" set a fault";
  }
}

class EmulatedFlashFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("zq-flash-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string PathOf(const char* name) const { return (dir_ / name).string(); }

  static void WriteBytes(const std::string& path, size_t size, uint8_t value) {
    std::ofstream out(path, std::ios::binary);
    const std::vector<char> bytes(size, static_cast<char>(value));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  static std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  fs::path dir_;
  PosixFilePort files_;
};

TEST_F(EmulatedFlashFileTest, MissingFileIsCreatedErased) {
  const std::string path = PathOf("flash.bin");
  std::array<uint8_t, EMULATED_FLASH_SIZE> flash;
  flash.fill(0x12);
  ASSERT_TRUE(LoadFlashFile(files_, path, flash));
  EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
  const std::vector<uint8_t> onDisk = ReadBytes(path);
  ASSERT_EQ(onDisk.size(), EMULATED_FLASH_SIZE);
  EXPECT_TRUE(std::all_of(onDisk.begin(), onDisk.end(), [](uint8_t b) { return b == 0xFF; }));
}

TEST_F(EmulatedFlashFileTest, SaveThenLoadKeepsEveryByte) {
  const std::string path = PathOf("flash.bin");
  std::array<uint8_t, EMULATED_FLASH_SIZE> saved;
  for (size_t i = 0; i < saved.size(); ++i) saved[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
  WriteBytes(path, EMULATED_FLASH_SIZE, 0x00);  // replaced, not appended to
  ASSERT_TRUE(SaveFlashFile(files_, path, saved));
  std::array<uint8_t, EMULATED_FLASH_SIZE> loaded{};
  ASSERT_TRUE(LoadFlashFile(files_, path, loaded));
  EXPECT_TRUE(loaded == saved);
  // nothing is left beside it
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(EmulatedFlashFileTest, WrongSizesAndNonFilesAreErrors) {
  struct Case {
    const char* name;
    size_t size;
  };
  const Case cases[] = {{"empty.bin", 0}, {"short.bin", 65535}, {"long.bin", 65537}};
  for (const Case& c : cases) {
    const std::string path = PathOf(c.name);
    WriteBytes(path, c.size, 0x5A);
    std::array<uint8_t, EMULATED_FLASH_SIZE> flash;
    flash.fill(0x12);
    EXPECT_FALSE(LoadFlashFile(files_, path, flash)) << c.name;
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0x12; }))
        << c.name << " changed the flash";
    EXPECT_EQ(ReadBytes(path).size(), c.size) << c.name << " was rewritten";
  }
  std::array<uint8_t, EMULATED_FLASH_SIZE> flash{};
  EXPECT_FALSE(LoadFlashFile(files_, dir_.string(), flash));  // a folder
  EXPECT_FALSE(LoadFlashFile(files_, PathOf("no-such-dir/flash.bin"), flash));
  EXPECT_FALSE(SaveFlashFile(files_, PathOf("no-such-dir/flash.bin"), flash));
}

TEST_F(EmulatedFlashFileTest, FailedRenameLeavesNoTemporaryBehind) {
  const std::string target = PathOf("taken");
  fs::create_directories(dir_ / "taken" / "inside");  // a non-empty folder cannot be replaced
  std::array<uint8_t, EMULATED_FLASH_SIZE> flash{};
  EXPECT_FALSE(SaveFlashFile(files_, target, flash));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
  EXPECT_TRUE(fs::is_directory(target));
}

}  // namespace
}  // namespace zq
