// Breaks a whole update and a whole ROM read at every device command in turn,
// on both paths, and holds each outcome to the same rules: one message box
// with the text of the step that failed, the status line and bar reset, the
// device handle closed, nothing sent after the failure, files untouched, and
// "Updated OK!" only over a flash that really holds the image.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "support/dialog_host.h"

namespace zq::test {
namespace {

constexpr size_t IMAGE_SIZE = 32768;
constexpr uint32_t BUSY_ANSWERS = 2;

const char* const TEXT_NO_DEVICE = "Can't find or connect to the device.";
const char* const TEXT_ERASE = "Can't erase the chip's ROM.";
const char* const TEXT_WRITE = "Can't write ROM code into the chip.";
const char* const TEXT_READ = "Can't read ROM code from the chip.";
const char* const TEXT_VERIFY = "ROM code verification error.";
const char* const TEXT_UPDATED = "Updated OK!";

// How the Nth command is broken.
enum class Break {
  Vanish,  // nothing answers from this command on
  Refuse,  // this one command is answered with a check condition
};

const char* BreakName(Break how) {
  return how == Break::Vanish ? "vanish" : "refuse";
}

void Inject(BridgeDevice& chip, Break how, uint32_t nth) {
  if (how == Break::Vanish) {
    chip.Faults().vanishAfter = nth - 1;
  } else {
    chip.Faults().failCommand = nth;
  }
}

// The first broken rule, or empty when the outcome is sound.
class Verdict {
 public:
  void Require(bool holds, const std::string& what) {
    if (!holds && first_.empty()) first_ = what;
  }
  const std::string& First() const { return first_; }

 private:
  std::string first_;
};

// What every operation owes its user whatever went wrong.
void RequireCleanEnd(DialogHost& host, Path path, Verdict& verdict) {
  verdict.Require(host.window.boxes.size() == 1,
                  "boxes shown: " + std::to_string(host.window.boxes.size()));
  verdict.Require(host.window.Text(IDC_STATUS).empty(), "status line not cleared");
  verdict.Require(!host.window.visible[IDC_PROGRESS], "progress bar still shown");
  verdict.Require(host.window.progressPos == 0 && host.dialog->ProgressPos() == 0,
                  "progress not back at 0");
  if (path == Path::PassThrough) {
    verdict.Require(host.passThrough.OpenPaths().empty(), "device handle left open");
    verdict.Require(host.passThrough.BadCloses() == 0, "a handle closed that was not open");
  } else {
    verdict.Require(host.aspi.PendingRequests() == 0, "an ASPI request left pending");
    verdict.Require(host.aspi.OpenEvents() == 0, "an ASPI event left open");
  }
}

std::vector<uint8_t> TheImage() {
  return Pattern(IMAGE_SIZE, 0x3C);
}

bool FlashHolds(DialogHost& host, const std::vector<uint8_t>& image) {
  return std::equal(image.begin(), image.end(), host.chip.Flash().begin());
}

// A host with the image loaded and verification ticked or not, nothing sent yet.
void PrepareUpdate(DialogHost& host, Path path, bool verify = true,
                   const std::vector<uint8_t>& image = TheImage()) {
  ASSERT_TRUE(host.StartWithBridge(path));
  host.chip.SetBusyAnswers(BUSY_ANSWERS);
  ASSERT_TRUE(host.Load(image));
  host.window.checked[IDC_VERIFY] = verify;
  ASSERT_TRUE(host.chip.Log().empty());
}

// The commands of an undisturbed update, to break one by one.
std::vector<uint8_t> GoodUpdateOpcodes(Path path, bool verify) {
  DialogHost host;
  PrepareUpdate(host, path, verify);
  host.dialog->OnUpdate();
  EXPECT_EQ(host.window.boxes.size(), 1u);
  if (!host.window.boxes.empty()) {
    EXPECT_EQ(host.window.boxes[0].text, TEXT_UPDATED);
  }
  EXPECT_TRUE(FlashHolds(host, TheImage()));
  std::vector<uint8_t> opcodes;
  for (const CommandLogEntry& entry : host.chip.Log()) opcodes.push_back(entry.opcode);
  return opcodes;
}

// The box an update must end with when command `opcode` is the one broken.
std::string UpdateTextFor(uint8_t opcode) {
  switch (opcode) {
    case CMD_GET_INFO:
      return TEXT_NO_DEVICE;
    case CMD_ERASE:
    case CMD_STATUS:
      return TEXT_ERASE;
    case CMD_WRITE:
      return TEXT_WRITE;
    case CMD_READ:
      return TEXT_READ;
    default:
      return "?";
  }
}

std::string Describe(const DialogHost& host) {
  std::ostringstream out;
  out << "box '" << (host.window.boxes.empty() ? "" : host.window.boxes.back().text) << "' after "
      << host.chip.Log().size() << " commands";
  return out.str();
}

class FaultSweep : public ::testing::TestWithParam<Path> {};

TEST_P(FaultSweep, UpdateBrokenAtEveryCommand) {
  const Path path = GetParam();
  const std::vector<uint8_t> image = TheImage();
  for (bool verify : {true, false}) {
    const std::vector<uint8_t> good = GoodUpdateOpcodes(path, verify);
    // info, erase, the polls, 64 writes and 64 reads when verifying
    ASSERT_EQ(good.size(), 2 + (BUSY_ANSWERS + 1) + 64 + (verify ? 64u : 0u));

    for (Break how : {Break::Vanish, Break::Refuse}) {
      for (uint32_t nth = 1; nth <= good.size(); ++nth) {
        DialogHost host;
        PrepareUpdate(host, path, verify);
        Inject(host.chip, how, nth);
        host.dialog->OnUpdate();

        const uint8_t opcode = good[nth - 1];
        Verdict verdict;
        RequireCleanEnd(host, path, verdict);
        if (!host.window.boxes.empty()) {
          const RecordedBox& box = host.window.boxes.back();
          verdict.Require(box.text == UpdateTextFor(opcode), "wrong text");
          verdict.Require(box.caption == "ERROR", "not an error box");
        }
        // the erase's own answer is looked past: a gone device shows at the
        // poll that follows; a refused one is seen when the idle chip answers
        // ready and the first block still reads unerased
        if (opcode == CMD_ERASE) {
          verdict.Require(host.chip.Log().size() == nth + (how == Break::Vanish ? 1 : 2),
                          "not stopped at the first poll or the first look");
        } else {
          verdict.Require(host.chip.Log().size() == nth, "commands sent after the failing one");
        }
        if (!host.window.boxes.empty() && host.window.boxes.back().text == TEXT_UPDATED) {
          verdict.Require(FlashHolds(host, image), "success reported over a wrong flash");
        }
        EXPECT_EQ(verdict.First(), "")
            << BreakName(how) << " at command " << nth << " (opcode " << std::hex << int{opcode}
            << std::dec << ", verify " << verify << "): " << Describe(host);
      }
    }
  }
}

// A read that moves fewer bytes than asked, with good status, at every
// block: never "Updated OK!" over a flash that does not hold the image. Also
// under a lying write of the same block, with an image of erased bytes then
// zeros there: what a zero-filled buffer would fake.
TEST_P(FaultSweep, ShortReadAtEveryVerifiedBlock) {
  const Path path = GetParam();
  for (bool lying : {false, true}) {
    for (uint32_t block = 1; block <= IMAGE_SIZE / BLOCK_SIZE; ++block) {
      std::vector<uint8_t> image = TheImage();
      if (lying) {
        const auto at = image.begin() + (block - 1) * BLOCK_SIZE;
        std::fill(at, at + BLOCK_SIZE / 2, 0xFF);
        std::fill(at + BLOCK_SIZE / 2, at + BLOCK_SIZE, 0x00);
      }
      DialogHost host;
      PrepareUpdate(host, path, true, image);
      host.chip.Faults().shortRead = block;
      if (lying) host.chip.Faults().lyingWrite = block;
      host.dialog->OnUpdate();
      Verdict verdict;
      RequireCleanEnd(host, path, verdict);
      if (!host.window.boxes.empty()) {
        // only the pass-through driver says how much moved; over ASPI the
        // comparison finds the bytes that never came
        const char* expected = path == Path::PassThrough ? TEXT_READ : TEXT_VERIFY;
        verdict.Require(host.window.boxes.back().text == expected, "wrong text");
      }
      EXPECT_EQ(verdict.First(), "") << "short read at block " << block
                                     << (lying ? " (lying write)" : "") << ": " << Describe(host);
    }
  }
}

TEST_P(FaultSweep, UpdateWithALyingWriteOrAFlippedReadAtEveryBlock) {
  const Path path = GetParam();
  const std::vector<uint8_t> image = TheImage();
  const uint32_t blocks = IMAGE_SIZE / BLOCK_SIZE;
  const size_t fullRun = 2 + (BUSY_ANSWERS + 1) + 2 * blocks;

  enum class Fault { LyingWrite, FlippedRead };
  for (Fault fault : {Fault::LyingWrite, Fault::FlippedRead}) {
    for (uint32_t block = 0; block < blocks; ++block) {
      DialogHost host;
      PrepareUpdate(host, path);
      if (fault == Fault::LyingWrite) {
        host.chip.Faults().lyingWrite = block + 1;
      } else {
        // a different byte in each block, the block's first and last among them
        const uint32_t within = block == 0 ? 0 : block == 1 ? 511 : (block * 97) % BLOCK_SIZE;
        host.chip.Faults().flipAddress = static_cast<uint16_t>(block * BLOCK_SIZE + within);
      }
      host.dialog->OnUpdate();

      Verdict verdict;
      RequireCleanEnd(host, path, verdict);
      if (!host.window.boxes.empty()) {
        verdict.Require(host.window.boxes.back().text == TEXT_VERIFY, "wrong text");
      }
      // the mismatch shows only once every block is back
      verdict.Require(host.chip.Log().size() == fullRun, "the read-back stopped early");
      verdict.Require(FlashHolds(host, image) == (fault == Fault::FlippedRead),
                      "the flash does not hold what the device did");
      EXPECT_EQ(verdict.First(), "")
          << (fault == Fault::LyingWrite ? "lying write" : "flipped read") << " at block " << block
          << ": " << Describe(host);
    }
  }
}

TEST_P(FaultSweep, FlipPastTheImageStillUpdates) {
  DialogHost host;
  PrepareUpdate(host, GetParam());
  host.chip.Faults().flipAddress = static_cast<uint16_t>(IMAGE_SIZE);
  host.dialog->OnUpdate();
  Verdict verdict;
  RequireCleanEnd(host, GetParam(), verdict);
  EXPECT_EQ(verdict.First(), "");
  ASSERT_EQ(host.window.boxes.size(), 1u);
  EXPECT_EQ(host.window.boxes[0].text, TEXT_UPDATED);
  EXPECT_TRUE(FlashHolds(host, TheImage()));
}

constexpr const char* DUMP_PATH = "C:\\dump\\output.bin";

// A ROM read whose save would replace an earlier dump.
void PrepareReadRom(DialogHost& host, Path path) {
  ASSERT_TRUE(host.StartWithBridge(path));
  for (size_t i = 0; i < host.chip.Flash().size(); ++i) {
    host.chip.Flash()[i] = static_cast<uint8_t>(i ^ (i >> 9));
  }
  host.files.AddFile(DUMP_PATH, std::vector<uint8_t>{'o', 'l', 'd'});
  host.window.AnswerSave(DUMP_PATH);
  ASSERT_TRUE(host.chip.Log().empty());
}

// Reads per block of a dump: ASPI cannot tell a short read, so it reads
// each block twice.
size_t DumpReadsPerBlock(Path path) {
  return path == Path::Aspi ? 2 : 1;
}

TEST_P(FaultSweep, ReadRomBrokenAtEveryCommand) {
  const Path path = GetParam();
  // the default chip's firmware is recent and its ROM 64 KB: 128 blocks
  const size_t commands = 1 + 128 * DumpReadsPerBlock(path);
  {
    DialogHost good;
    PrepareReadRom(good, path);
    good.dialog->OnReadRom();
    ASSERT_EQ(good.chip.Log().size(), commands);
    ASSERT_EQ(good.files.commits.size(), 1u);
  }
  const std::vector<uint8_t> earlier = {'o', 'l', 'd'};

  for (Break how : {Break::Vanish, Break::Refuse}) {
    for (uint32_t nth = 1; nth <= commands; ++nth) {
      DialogHost host;
      PrepareReadRom(host, path);
      Inject(host.chip, how, nth);
      host.dialog->OnReadRom();

      Verdict verdict;
      RequireCleanEnd(host, path, verdict);
      if (!host.window.boxes.empty()) {
        const RecordedBox& box = host.window.boxes.back();
        verdict.Require(box.text == (nth == 1 ? TEXT_NO_DEVICE : TEXT_READ), "wrong text");
        verdict.Require(box.caption == "ERROR", "not an error box");
      }
      verdict.Require(host.chip.Log().size() == nth, "commands sent after the failing one");
      verdict.Require(host.window.saveRequests.empty(), "save dialog offered after a failure");
      verdict.Require(host.files.commits.empty() && host.files.abandoned == 0,
                      "a file was written");
      verdict.Require(host.files.files.size() == 1 && host.files.files[DUMP_PATH] == earlier,
                      "the earlier dump changed");
      EXPECT_EQ(verdict.First(), "")
          << BreakName(how) << " at command " << nth << ": " << Describe(host);
    }
  }
}

// A read that moves half its bytes, with good status, at every read of a
// dump: never "Finished read!" and never a file.
TEST_P(FaultSweep, ReadRomShortReadAtEveryRead) {
  const Path path = GetParam();
  const uint32_t reads = 128 * static_cast<uint32_t>(DumpReadsPerBlock(path));
  const std::vector<uint8_t> earlier = {'o', 'l', 'd'};
  for (uint32_t nth = 1; nth <= reads; ++nth) {
    DialogHost host;
    PrepareReadRom(host, path);
    host.chip.Faults().shortRead = nth;
    host.dialog->OnReadRom();

    Verdict verdict;
    RequireCleanEnd(host, path, verdict);
    if (!host.window.boxes.empty()) {
      verdict.Require(host.window.boxes.back().text == TEXT_READ, "wrong text");
    }
    verdict.Require(host.window.saveRequests.empty(), "save dialog offered after a short read");
    verdict.Require(host.files.files[DUMP_PATH] == earlier, "the earlier dump changed");
    EXPECT_EQ(verdict.First(), "") << "short read " << nth << ": " << Describe(host);
  }
}

INSTANTIATE_TEST_SUITE_P(BothPaths, FaultSweep, ::testing::Values(Path::PassThrough, Path::Aspi),
                         [](const auto& param) { return PathName(param.param); });

}  // namespace
}  // namespace zq::test
