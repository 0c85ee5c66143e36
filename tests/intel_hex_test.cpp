#include "image/intel_hex.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "support/memory_files.h"

namespace zq {
namespace {

using test::MemoryFilePort;

const char* const PATH = "fw.hex";
constexpr uint8_t SENTINEL = 0xA5;  // the spare byte past the ROM must keep it

// One record with a correct checksum.
std::string Record(uint32_t address, uint8_t type, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> fields = {static_cast<uint8_t>(bytes.size()),
                                 static_cast<uint8_t>(address >> 8),
                                 static_cast<uint8_t>(address & 0xFF), type};
  fields.insert(fields.end(), bytes.begin(), bytes.end());
  uint8_t sum = 0;
  for (uint8_t b : fields) sum = static_cast<uint8_t>(sum + b);
  fields.push_back(static_cast<uint8_t>(0x100 - sum));
  std::string text = ":";
  char digits[3];
  for (uint8_t b : fields) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    text += digits;
  }
  return text;
}

const std::string EOF_RECORD = ":00000001FF";
const std::string BASIC = ":0400000001020304F2";

struct Placed {
  uint32_t address;
  std::vector<uint8_t> bytes;
};

struct DecodeCase {
  const char* what;
  std::string text;
  bool ok;
  uint32_t codeSize;           // on success
  const char* error;           // on failure
  std::vector<Placed> placed;  // bytes expected in the image either way
};

struct Decoded {
  bool ok;
  uint32_t codeSize;
  std::string error;
  std::array<uint8_t, IMAGE_BUFFER_SIZE> data;
};

Decoded Decode(MemoryFilePort& files) {
  Decoded out{};
  out.data.fill(0);
  out.data[ROM_SPACE] = SENTINEL;
  out.codeSize = 0xDEAD;
  auto file = files.OpenForRead(PATH);
  EXPECT_NE(file, nullptr);
  if (!file) return out;
  out.ok = DecodeIntelHex(*file, out.data, out.codeSize, out.error);
  return out;
}

Decoded Decode(const std::string& text) {
  MemoryFilePort files;
  files.AddFile(PATH, text);
  return Decode(files);
}

std::vector<DecodeCase> DecodeCases() {
  const std::vector<Placed> basicBytes = {{0, {1, 2, 3, 4}}};
  std::vector<uint8_t> full(255);
  for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i * 7 + 3);
  return {
      // line ends and letter case
      {"lf", BASIC + "\n" + EOF_RECORD + "\n", true, 4, "", basicBytes},
      {"no line ends", BASIC + EOF_RECORD, true, 4, "", basicBytes},
      {"lower case",
       ":04000000a1b2c3d412\n:00000001ff\n",
       true,
       4,
       "",
       {{0, {0xA1, 0xB2, 0xC3, 0xD4}}}},
      {"anything before the first colon",
       "\xEF\xBB\xBFheader\t line \x1A\x01 \r\n" + BASIC + EOF_RECORD, true, 4, "", basicBytes},
      {"extra digits after the checksum", BASIC + "ABCD\n" + EOF_RECORD, true, 4, "", basicBytes},

      // stray characters
      {"blank inside a record",
       ":04000000 01020304F2\n" + EOF_RECORD,
       false,
       0,
       "Invalid file format[unknown data byte].",
       {}},
      // a record is placed only when the next one begins
      {"tab between records",
       BASIC + "\t" + EOF_RECORD,
       false,
       0,
       "Invalid file format[unknown data byte].",
       {}},
      {"ctrl-z after the end record", BASIC + "\n" + EOF_RECORD + "\n\x1A", false, 0,
       "Invalid file format[unknown data byte].", basicBytes},

      // the end-of-file record
      {"only an end record", EOF_RECORD, true, 0, "", {}},
      {"text after the end record is not read", BASIC + EOF_RECORD + "\n:zz junk \x1A", true, 4, "",
       basicBytes},
      {"digits straight after the end record",
       EOF_RECORD + "00",
       false,
       0,
       "Invalid file format(3).",
       {}},
      {"end record with wrong checksum", ":00000001FE", false, 0, "Invalid file format(2).", {}},
      {"end record with an address", ":00010001FE", false, 0, "Invalid file format(2).", {}},
      {"end record with a byte count", ":0100000100FE", false, 0, "Invalid file format(2).", {}},

      // short and empty records
      {"nine digits", ":040000000\n" + EOF_RECORD, false, 0, "Invalid file format(1).", {}},
      {"two colons in a row", "::00000001FF", false, 0, "Invalid file format(1).", {}},
      {"no colon at all", "just some text\r\n", false, 0, "Invalid file format(1).", {}},
      {"truncated last record", BASIC + "\n:000000", false, 0, "Invalid file format(1).",
       basicBytes},
      {"no end record", BASIC + "\n", false, 0, "Invalid file format[no end record].", basicBytes},
      {"no end record, no line end", BASIC, false, 0, "Invalid file format[no end record].",
       basicBytes},

      // types and checksums
      {"unknown type", ":00000006FA", false, 0, "Invalid file format[unknown type].", {}},
      {"type tested before checksum",
       ":0000000700",
       false,
       0,
       "Invalid file format[unknown type].",
       {}},
      {"data checksum", ":0400000001020304F3\n" + EOF_RECORD, false, 0, "Check sum error", {}},
      {"data checksum counts the address",
       ":0400010001020304F2\n" + EOF_RECORD,
       false,
       0,
       "Check sum error",
       {}},
      {"start records ignore checksum and length",
       ":0400000300001234AA\n:04000005AABB00\n" + BASIC + EOF_RECORD, true, 4, "", basicBytes},
      {"start record with byte count 0 and 11 digits",
       ":00000003FD0\n" + EOF_RECORD,
       false,
       0,
       "Invalid file format(3).",
       {}},
      {"segment record with byte count 1",
       ":0100000201FC\n" + EOF_RECORD,
       false,
       0,
       "Invalid file format[Type:0x04].",
       {}},
      {"linear record with an address",
       ":020001040000F9\n" + EOF_RECORD,
       false,
       0,
       "Invalid file format[Type:0x04].",
       {}},
      {"linear record with extra digits",
       ":020000040000FA00\n" + EOF_RECORD,
       false,
       0,
       "Invalid file format[Type:0x04].",
       {}},
      {"linear record checksum", ":020000040000FB\n" + EOF_RECORD, false, 0, "Check sum error", {}},

      // addresses
      {"last byte of the ROM",
       Record(0xFFFF, 0, {0x5A}) + EOF_RECORD,
       true,
       ROM_SPACE,
       "",
       {{0xFFFF, {0x5A}}}},
      {"two bytes past the ROM",
       Record(0xFFFF, 0, {0x5A, 0x5B}) + EOF_RECORD,
       false,
       0,
       "Tha code size is larger than ROM size.",
       {}},
      {"segment base",
       ":020000020100FB\n" + Record(0x0010, 0, {7, 8}) + EOF_RECORD,
       true,
       0x1012,
       "",
       {{0x1010, {7, 8}}, {0x0010, {0, 0}}}},
      {"segment base past the ROM",
       ":020000021000EC\n" + Record(0, 0, {7}) + EOF_RECORD,
       false,
       0,
       "Tha code size is larger than ROM size.",
       {}},
      {"linear base 0", ":020000040000FA\n" + BASIC + EOF_RECORD, true, 4, "", basicBytes},
      {"linear base 1",
       ":020000040001F9\n" + BASIC + EOF_RECORD,
       false,
       0,
       "Tha code size is larger than ROM size.",
       {}},
      // a 32-bit end would wrap to 1 here and the bytes would land far outside the buffer
      {"highest linear base",
       ":02000004FFFFFC\n" + Record(0xFFFF, 0, {1, 2}) + EOF_RECORD,
       false,
       0,
       "Tha code size is larger than ROM size.",
       {}},
      {"linear base lasts until replaced",
       ":020000040001F9\n:020000040000FA\n" + BASIC + EOF_RECORD, true, 4, "", basicBytes},

      // placing data
      {"later record overwrites",
       Record(0, 0, {1, 2, 3, 4}) + Record(2, 0, {9, 9}) + EOF_RECORD,
       true,
       4,
       "",
       {{0, {1, 2, 9, 9}}}},
      {"code size is the highest end",
       Record(0x100, 0, {5, 6}) + Record(0, 0, {1}) + EOF_RECORD,
       true,
       0x102,
       "",
       {{0, {1}}, {0x100, {5, 6}}}},
      {"empty data record raises the code size",
       Record(0, 0, {1}) + Record(0x200, 0, {}) + EOF_RECORD,
       true,
       0x200,
       "",
       {{0, {1}}}},
      {"data before a failure stays",
       Record(0, 0, {1, 2}) + ":0400100001020304F3",
       false,
       0,
       "Check sum error",
       {{0, {1, 2}}}},
      // a record shorter than its count reads the missing bytes as 0x00, not as what the
      // previous record left there
      {"short record sees no stale data",
       Record(0, 0, {0x11, 0x22, 0x33, 0x44}) + ":04001000EC\n" + EOF_RECORD,
       true,
       0x14,
       "",
       {{0, {0x11, 0x22, 0x33, 0x44}}, {0x10, {0xEC, 0, 0, 0}}}},
      {"full 255-byte record",
       Record(0x1000, 0, full) + EOF_RECORD,
       true,
       0x10FF,
       "",
       {{0x1000, full}}},
      // excess digits never reach past the record's storage, and the count never wraps
      {"many digits after the checksum",
       Record(0x10, 0, {1, 2}) + std::string(2000, 'F') + "\n" + EOF_RECORD,
       true,
       0x12,
       "",
       {{0x10, {1, 2}}}},
      {"digit count past 65535",
       Record(0x1000, 0, full) + std::string(70000, '0') + "\n" + EOF_RECORD,
       true,
       0x10FF,
       "",
       {{0x1000, full}}},
  };
}

TEST(IntelHexTest, DecodesTextsToImagesOrErrors) {
  for (const DecodeCase& c : DecodeCases()) {
    SCOPED_TRACE(c.what);
    const Decoded d = Decode(c.text);
    EXPECT_EQ(d.ok, c.ok);
    if (c.ok) {
      EXPECT_EQ(d.codeSize, c.codeSize);
      EXPECT_EQ(d.error, "");
    } else {
      EXPECT_EQ(d.error, c.error);
      EXPECT_EQ(d.codeSize, 0u);  // set to 0 before the scan, never raised on failure
    }
    size_t placedTotal = 0;
    for (const Placed& p : c.placed) {
      for (size_t i = 0; i < p.bytes.size(); ++i) {
        EXPECT_EQ(d.data[p.address + i], p.bytes[i]) << "at " << p.address + i;
        if (p.bytes[i] != 0) ++placedTotal;
      }
    }
    // nothing else in the image was touched
    size_t nonzero = 0;
    for (uint32_t a = 0; a < ROM_SPACE; ++a) nonzero += d.data[a] != 0;
    EXPECT_EQ(nonzero, placedTotal);
    EXPECT_EQ(d.data[ROM_SPACE], SENTINEL);
  }
}

// A line end may fall anywhere inside a record: wherever it falls, the image is the same.
TEST(IntelHexTest, LineEndAnywhereInsideRecordsChangesNothing) {
  std::vector<uint8_t> bytes(16);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0xF0 - i * 9);
  const std::string records[] = {":020000040000FA", Record(0x0123, 0, bytes),
                                 Record(0x0200, 0, {0xAB}), EOF_RECORD};
  std::string whole;
  for (const std::string& r : records) whole += r;
  const Decoded reference = Decode(whole);
  ASSERT_TRUE(reference.ok) << reference.error;
  ASSERT_EQ(reference.codeSize, 0x201u);
  for (size_t at = 1; at < whole.size(); ++at) {
    for (const char* lineEnd : {"\n", "\r\n\r\n"}) {
      const std::string text = whole.substr(0, at) + lineEnd + whole.substr(at);
      const Decoded d = Decode(text);
      ASSERT_TRUE(d.ok) << "line end at " << at << ": " << d.error;
      EXPECT_EQ(d.codeSize, reference.codeSize) << "line end at " << at;
      EXPECT_TRUE(d.data == reference.data) << "line end at " << at;
    }
  }
}

class CountingAllocator : public TextBlockAllocator {
 public:
  uint8_t* Allocate(uint32_t size) override {
    sizes.push_back(size);
    if (fails) return nullptr;
    ++live;
    return new uint8_t[size];
  }
  void Release(uint8_t* block) override {
    --live;
    delete[] block;
  }
  bool fails = false;
  int live = 0;
  std::vector<uint32_t> sizes;
};

struct FileCase {
  const char* what;
  std::string text;
  void (*setUp)(MemoryFilePort&, CountingAllocator&);
  bool ok;
  const char* error;
  bool allocates;
  bool reads;
};

TEST(IntelHexTest, ReadsTheFileOnceAndReportsFileFailures) {
  const std::string good = BASIC + "\n" + EOF_RECORD + "\n";
  const FileCase cases[] = {
      {"good file", good, [](MemoryFilePort&, CountingAllocator&) {}, true, "", true, true},
      {"scan failure", BASIC, [](MemoryFilePort&, CountingAllocator&) {}, false,
       "Invalid file format[no end record].", true, true},
      {"empty", "", [](MemoryFilePort&, CountingAllocator&) {}, false, "An empty file", false,
       false},
      {"size query fails", good,
       [](MemoryFilePort& f, CountingAllocator&) { f.faults.sizeFails = true; }, false,
       "An error file", false, false},
      {"size reads as the failure value", good,
       [](MemoryFilePort& f, CountingAllocator&) { f.faults.reportedSize = 0xFFFFFFFFu; }, false,
       "An error file", false, false},
      {"no memory", good, [](MemoryFilePort&, CountingAllocator& a) { a.fails = true; }, false,
       "access error", true, false},
      {"read fails", good, [](MemoryFilePort& f, CountingAllocator&) { f.faults.readFails = true; },
       false, "Read file failed.", true, true},
      // the file lost its trailing newline after the size was taken: still refused
      {"read comes up short", good,
       [](MemoryFilePort& f, CountingAllocator&) { f.faults.readShortfall = 1; }, false,
       "Read file failed.", true, true},
  };
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryFilePort files;
    files.AddFile(PATH, c.text);
    CountingAllocator allocator;
    c.setUp(files, allocator);
    std::array<uint8_t, IMAGE_BUFFER_SIZE> data{};
    uint32_t codeSize = 0;
    std::string error;
    auto file = files.OpenForRead(PATH);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(DecodeIntelHex(*file, data, codeSize, error, allocator), c.ok);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(files.sizeQueries, 1u);
    const uint32_t size = static_cast<uint32_t>(c.text.size());
    EXPECT_EQ(allocator.sizes, c.allocates ? std::vector<uint32_t>{size} : std::vector<uint32_t>{});
    EXPECT_EQ(files.readRequests, c.reads ? std::vector<uint32_t>{size} : std::vector<uint32_t>{});
    EXPECT_EQ(allocator.live, 0) << "the text block must be released on every way out";
    if (c.ok) {
      EXPECT_EQ(codeSize, 4u);
    }
  }
}

}  // namespace
}  // namespace zq
