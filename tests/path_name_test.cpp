// The file name of a path written in a double-byte code page: a trail byte
// 0x5C is part of a character, not a folder separator.
#include <gtest/gtest.h>

#include "app/path_name.h"
#include "app/window_port.h"

namespace zq {
namespace {

// lead bytes of code page 950 (Big5) and 932 (Shift-JIS), as the system's
// tables give them
bool Big5Lead(uint8_t b) {
  return b >= 0x81 && b <= 0xFE;
}
bool ShiftJisLead(uint8_t b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

TEST(ChoiceForPath, NameEndsAtSeparatorsThatAreCharactersOfTheirOwn) {
  struct Case {
    const char* what;
    LeadByteTest lead;
    std::string path;
    std::string name;
    std::string extension;
  };
  const Case cases[] = {
      // 許 in Big5 is B3 5C
      {"Big5 name", Big5Lead, "C:\\fw\\\xB3\x5C.bin", "\xB3\x5C.bin", "bin"},
      {"Big5 with slashes", Big5Lead, "C:/fw/\xB3\x5C.hex", "\xB3\x5C.hex", "hex"},
      // 表 in Shift-JIS is 95 5C, ソ is 83 5C
      {"Shift-JIS name", ShiftJisLead, "C:\\fw\\\x95\x5C.bin", "\x95\x5C.bin", "bin"},
      {"Shift-JIS folder", ShiftJisLead, "C:\\\x83\x5C\\a.bin", "a.bin", "bin"},
      // half-width katakana (A1-DF) are single bytes in Shift-JIS
      {"Shift-JIS single byte", ShiftJisLead, "C:\\\xB1\\\xB2.bin", "\xB2.bin", "bin"},
      {"lead byte at the end", Big5Lead, "C:\\fw\\a\xB3", "a\xB3", ""},
      // in a single-byte code page B3 is a character and 5C a separator
      {"single-byte", NoLeadBytes, "C:\\fw\\\xB3\\x.bin", "x.bin", "bin"},
      {"no folder", Big5Lead, "\xB3\x5C.bin", "\xB3\x5C.bin", "bin"},
      {"folder only", Big5Lead, "C:\\fw\\", "", ""},
  };
  for (const Case& c : cases) {
    const FileChoice choice = ChoiceForPath(c.path, c.lead);
    EXPECT_EQ(choice.path, c.path) << c.what;
    EXPECT_EQ(choice.name, c.name) << c.what;
    EXPECT_EQ(choice.extension, c.extension) << c.what;
  }
}

}  // namespace
}  // namespace zq
