// The emulated flash kept in a file: what opening finds, two runs racing to
// make a new one, and a file that stops taking the chip's changes.
#include "emulator/flash_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "app/updater_dialog.h"
#include "emulator/emulated_bridges.h"
#include "support/memory_files.h"
#include "support/recording_host.h"

namespace zq {
namespace {

namespace fs = std::filesystem;
using Flash = std::array<uint8_t, EMULATED_FLASH_SIZE>;

class FlashFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zq-flash-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }
  static void WriteBytes(const std::string& path, size_t size, char value) {
    std::ofstream(path, std::ios::binary) << std::string(size, value);
  }

  fs::path dir_;
  std::unique_ptr<FileLocks> locks_ = MakeFileLocks();
};

TEST_F(FlashFileTest, OpeningTellsNewWrongAndHeldFilesApart) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> prepare;
    FlashFileState state;
    uint8_t firstByte;  // of the flash handed back, when open
    const char* problem;
  };
  const Case cases[] = {
      {"missing", [](const std::string&) {}, FlashFileState::Open, 0xFF, ""},
      {"empty", [](const std::string& p) { WriteBytes(p, 0, 0); }, FlashFileState::Open, 0xFF, ""},
      {"whole", [](const std::string& p) { WriteBytes(p, EMULATED_FLASH_SIZE, 0x5A); },
       FlashFileState::Open, 0x5A, ""},
      {"short", [](const std::string& p) { WriteBytes(p, 100, 0x5A); }, FlashFileState::Unusable, 0,
       "not a flash file of 65536 bytes"},
      {"folder", [](const std::string& p) { fs::create_directory(p); }, FlashFileState::Unusable, 0,
       "'"},
  };
  for (const Case& c : cases) {
    const std::string path = PathOf(c.name);
    c.prepare(path);
    Flash flash{};
    FlashFileState state = FlashFileState::Open;
    std::string problem;
    std::unique_ptr<FlashFile> file = FlashFile::Open(*locks_, path, flash, state, problem);
    EXPECT_EQ(state, c.state) << c.name;
    EXPECT_NE(problem.find(c.problem), std::string::npos) << c.name << ": " << problem;
    if (c.state != FlashFileState::Open) continue;
    ASSERT_TRUE(file) << c.name;
    EXPECT_EQ(flash[0], c.firstByte) << c.name;
    EXPECT_EQ(fs::file_size(path), EMULATED_FLASH_SIZE) << c.name << ": made whole";
    // while held, a second run is told the bridge is in use
    Flash other{};
    EXPECT_FALSE(FlashFile::Open(*locks_, path, other, state, problem)) << c.name;
    EXPECT_EQ(state, FlashFileState::InUse) << c.name;
  }
}

// Two runs that both find no file must not both end up with a flash of their own.
TEST_F(FlashFileTest, RunsRacingForANewFileGetOneFlashBetweenThem) {
  for (int round = 0; round < 40; ++round) {
    const std::string path = PathOf("race" + std::to_string(round));
    std::atomic<int> opened{0};
    std::atomic<bool> go{false};
    std::vector<std::unique_ptr<FlashFile>> held(4);
    std::vector<std::thread> runs;
    for (auto& slot : held) {
      runs.emplace_back([&, slot = &slot] {
        while (!go.load()) std::this_thread::yield();
        Flash flash{};
        FlashFileState state = FlashFileState::Unusable;
        std::string problem;
        *slot = FlashFile::Open(*locks_, path, flash, state, problem);
        if (*slot) opened.fetch_add(1);
      });
    }
    go.store(true);
    for (std::thread& run : runs) run.join();
    ASSERT_EQ(opened.load(), 1) << "round " << round;
  }
}

// Holds a flash in memory and fails every write from the Nth on.
class FailingLocks final : public FileLocks {
 public:
  int writes = 0;
  int failFrom = 0;
  std::unique_ptr<LockedFile> OpenLocked(const std::string&, LockOutcome& outcome,
                                         std::string&) override {
    outcome = LockOutcome::Locked;
    return std::make_unique<File>(*this);
  }

 private:
  class File final : public LockedFile {
   public:
    explicit File(FailingLocks& locks) : locks_(locks) {}
    bool Size(uint64_t& size) override {
      size = bytes_.size();
      return true;
    }
    bool ReadAt(uint32_t offset, uint8_t* out, uint32_t length) override {
      std::copy_n(bytes_.begin() + offset, length, out);
      return true;
    }
    bool WriteAt(uint32_t offset, const uint8_t* in, uint32_t length) override {
      if (++locks_.writes >= locks_.failFrom) return false;
      if (bytes_.size() < offset + length) bytes_.resize(offset + length);
      std::copy_n(in, length, bytes_.begin() + offset);
      return true;
    }
    bool Sync() override { return true; }

   private:
    FailingLocks& locks_;
    std::vector<uint8_t> bytes_;
  };
};

// A flash file that stops taking changes (a full disk) fails the update
// instead of leaving it reported done over a file that does not hold it: here
// the last block, with nothing read back after it.
TEST(EmulatedFlashFile, AChangeThatCannotBeKeptFailsTheUpdate) {
  FailingLocks locks;
  locks.failFrom = 4;  // made erased, erased, first block; not the second
  EmulatedBridges bridges;
  EmulationOptions options;
  options.flashFiles = {"flash.bin"};
  std::string problem;
  bool usage = false;
  ASSERT_TRUE(bridges.Prepare(options, locks, problem, usage)) << problem;

  test::RecordingWindow window;
  window.checked[IDC_VERIFY] = false;
  test::MemoryFilePort files;
  UpdaterDialog dialog(window, files, bridges);
  ImageBuffer image{};
  image.data.fill(0x42);
  image.codeSize = 1024;
  dialog.UseLoadedImage(image, FileChoice{"image.bin", "image.bin", "bin"});
  PassThroughTransport transport(bridges.PassThrough());
  auto found = transport.FindBridges(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID);
  ASSERT_EQ(found.size(), 1u);
  dialog.UpdateBridge(std::move(found[0]), WindowUpdateSteps());
  EXPECT_EQ(dialog.LastUpdate(), UpdateResult::WriteFailed);
  EXPECT_NE(bridges.StorageProblem(0).find("flash.bin"), std::string::npos);
}

}  // namespace
}  // namespace zq
