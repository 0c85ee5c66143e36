#include "image/image_buffer.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/memory_files.h"

namespace zq {
namespace {

using test::MemoryFilePort;

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = 12345;
  for (auto& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

struct LoadCase {
  const char* name;
  std::vector<uint8_t> contents;
  void (*setUp)(MemoryFilePort&);
  bool ok;
  uint32_t codeSize;  // on success
  std::string error;  // on failure
};

void NoFaults(MemoryFilePort&) {}

TEST(ImageBufferTest, LoadsRawAndHexFilesOrSaysWhyNot) {
  const std::string hexText = ":0400000001020304F2\n:00000001FF\n";
  const std::vector<uint8_t> hex(hexText.begin(), hexText.end());
  const std::string badHexText = ":0400000001020304F3\n:00000001FF\n";
  const std::vector<uint8_t> badHex(badHexText.begin(), badHexText.end());
  const std::string onlyEnd = ":00000001FF";
  const LoadCase cases[] = {
      {"one.bin", {0x7E}, NoFaults, true, 1, ""},
      {"full.bin", Pattern(ROM_SPACE), NoFaults, true, ROM_SPACE, ""},
      {"over.bin", Pattern(ROM_SPACE + 1), NoFaults, false, 0,
       "over.bin file size is larger than ROM size."},
      {"far_over.bin", Pattern(200000), NoFaults, false, 0,
       "far_over.bin file size is larger than ROM size."},
      {"empty.bin", {}, NoFaults, false, 0, "empty.bin is an empty file."},
      {"FIRMWARE.BIN", Pattern(300), NoFaults, true, 300, ""},
      {"Image.Hex", hex, NoFaults, true, 4, ""},
      {"end_only.hex", std::vector<uint8_t>(onlyEnd.begin(), onlyEnd.end()), NoFaults, true, 0, ""},
      {"bad.hex", badHex, NoFaults, false, 0, "Read file failed.(Check sum error)"},
      {"empty.hex", {}, NoFaults, false, 0, "Read file failed.(An empty file)"},
      {"image.bin.bak", Pattern(10), NoFaults, false, 0,
       "The extension of the file name must be .hex or .bin."},
      {"noextension", Pattern(10), NoFaults, false, 0,
       "The extension of the file name must be .hex or .bin."},
      {"hexagon.hexx", hex, NoFaults, false, 0,
       "The extension of the file name must be .hex or .bin."},
      {"locked.bin", Pattern(10),
       [](MemoryFilePort& f) { f.unopenable.insert("C:/fw/locked.bin"); }, false, 0,
       "Could not open locked.bin"},
      // opening comes first: a refused extension on an unopenable file says it cannot be opened
      {"locked.txt", Pattern(10),
       [](MemoryFilePort& f) { f.unopenable.insert("C:/fw/locked.txt"); }, false, 0,
       "Could not open locked.txt"},
      {"broken.bin", Pattern(10), [](MemoryFilePort& f) { f.faults.readFails = true; }, false, 0,
       "Read file failed."},
      {"shrunk.hex", hex, [](MemoryFilePort& f) { f.faults.readShortfall = 1; }, false, 0,
       "Read file failed.(Read file failed.)"},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryFilePort files;
    const std::string path = std::string("C:/fw/") + c.name;
    files.AddFile(path, c.contents);
    c.setUp(files);
    ImageBuffer image;
    image.data.fill(0xCC);  // stale bytes from an earlier load must not survive
    image.codeSize = 12345;
    std::string error;
    const bool ok = LoadImageFile(files, path, c.name, FileExtension(c.name), image, error);
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(error, c.ok ? "" : c.error);
    if (c.ok) {
      EXPECT_EQ(image.codeSize, c.codeSize);
    }

    // a raw read keeps what it read, up to the spare byte; everything else starts cleared
    const std::string extension = FileExtension(c.name);
    const bool rawRead = (extension == "bin" || extension == "BIN") &&
                         !files.readRequests.empty() && !files.faults.readFails;
    const size_t kept = rawRead ? std::min<size_t>(c.contents.size(), IMAGE_BUFFER_SIZE) : 0;
    const size_t clearFrom = c.ok ? std::max<size_t>(kept, image.codeSize) : kept;
    size_t wrong = 0;
    for (size_t i = 0; i < kept; ++i) wrong += image.data[i] != c.contents[i];
    for (size_t i = clearFrom; i < IMAGE_BUFFER_SIZE; ++i) wrong += image.data[i] != 0;
    EXPECT_EQ(wrong, 0u);
  }
}

TEST(ImageBufferTest, RawLoadIsOneReadOfOneByteMoreThanTheRom) {
  MemoryFilePort files;
  files.AddFile("a.bin", Pattern(5000));
  ImageBuffer image{};
  std::string error;
  ASSERT_TRUE(LoadImageFile(files, "a.bin", "a.bin", "bin", image, error));
  EXPECT_EQ(files.readRequests, std::vector<uint32_t>{IMAGE_BUFFER_SIZE});
  EXPECT_EQ(files.sizeQueries, 0u);
  EXPECT_EQ(files.opened, std::vector<std::string>{"a.bin"});
}

TEST(ImageBufferTest, FailedLoadsLeaveNoCodeSize) {
  // a raw read that hit the limit must not leave 65 537 as the code size
  MemoryFilePort files;
  files.AddFile("big.bin", Pattern(ROM_SPACE + 1));
  ImageBuffer image{};
  std::string error;
  EXPECT_FALSE(LoadImageFile(files, "big.bin", "big.bin", "bin", image, error));
  EXPECT_EQ(image.codeSize, 0u);
}

TEST(ImageBufferTest, FileExtensionIsThePartAfterTheLastDot) {
  const struct {
    const char* name;
    const char* extension;
  } cases[] = {
      {"a.bin", "bin"},        {"Image.Hex", "Hex"},      {"image.bin.bak", "bak"},
      {"noextension", ""},     {"trailing.", ""},         {".hex", "hex"},
      {"C:\\dir.d\\file", ""}, {"dir.d/file.hex", "hex"}, {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileExtension(c.name), c.extension) << c.name;
  }
}

}  // namespace
}  // namespace zq
