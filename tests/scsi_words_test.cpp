// What a failure report or a --verbose log says of a SCSI answer: each family
// of codes in words, and sense data in both layouts, cut short or malformed.
#include "transport/scsi_words.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zq {
namespace {

TEST(ScsiWords, SenseInBothLayoutsAndWhatIsNoSense) {
  struct Row {
    const char* name;
    std::vector<uint8_t> sense;
    bool codes;
    uint8_t key, asc, ascq;
    std::string words;
  };
  const std::vector<Row> rows = {
      {"fixed, current",
       {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x29, 0x00},
       true,
       6,
       0x29,
       0,
       "UNIT ATTENTION, ASC/ASCQ 29/00 (power on or reset)"},
      {"fixed, deferred, valid bit set",
       {0xF1, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00},
       true,
       5,
       0x20,
       0,
       "ILLEGAL REQUEST, ASC/ASCQ 20/00 (invalid command operation code)"},
      {"fixed, flag bits around the key",
       {0x70, 0, 0xE3, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x11, 0x04},
       true,
       3,
       0x11,
       4,
       "MEDIUM ERROR, ASC/ASCQ 11/04"},
      {"fixed, cut before the codes",
       {0x70, 0, 0x02},
       true,
       2,
       0,
       0,
       "NOT READY, ASC/ASCQ 00/00 (no additional sense information)"},
      {"fixed, ASC without ASCQ",
       {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A},
       true,
       2,
       0x3A,
       0,
       "NOT READY, ASC/ASCQ 3A/00 (medium not present)"},
      {"descriptor",
       {0x72, 0x0B, 0x47, 0x03},
       true,
       0x0B,
       0x47,
       3,
       "ABORTED COMMAND, ASC/ASCQ 47/03 (SCSI parity error)"},
      {"descriptor, deferred, highest key",
       {0x73, 0x0F, 0x00, 0x00},
       true,
       0x0F,
       0,
       0,
       "COMPLETED, ASC/ASCQ 00/00 (no additional sense information)"},
      {"fixed, too short for a key", {0x70, 0}, false, 0, 0, 0, ""},
      {"descriptor, too short", {0x72, 0x05, 0x24}, false, 0, 0, 0, ""},
      {"unknown layout", {0x7F, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0}, false, 0, 0, 0, ""},
      {"nothing", {}, false, 0, 0, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    uint8_t key = 0, asc = 0, ascq = 0;
    EXPECT_EQ(SenseCodes(row.sense, key, asc, ascq), row.codes);
    EXPECT_EQ(key, row.key);
    EXPECT_EQ(asc, row.asc);
    EXPECT_EQ(ascq, row.ascq);
    EXPECT_EQ(SenseWords(row.sense.data(), row.sense.size()), row.words);
  }
  EXPECT_EQ(SenseWords(nullptr, 18), "");
}

TEST(ScsiWords, StatusesOfTheDeviceTheAdapterAndTheDriver) {
  struct Row {
    std::string words;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {ScsiStatusWords(0x00), "good (0x00)"},
      {ScsiStatusWords(0x02), "check condition (0x02)"},
      {ScsiStatusWords(0x08), "busy (0x08)"},
      {ScsiStatusWords(0x18), "reservation conflict (0x18)"},
      {ScsiStatusWords(0x28), "task set full (0x28)"},
      {ScsiStatusWords(0x40), "task aborted (0x40)"},
      {ScsiStatusWords(0x01), "status (0x01)"},
      {HostStatusWords(0), "host status 0 (ok)"},
      {HostStatusWords(1), "host status 1 (no connection (unplugged))"},
      {HostStatusWords(3), "host status 3 (timed out)"},
      {HostStatusWords(7), "host status 7 (host error)"},
      {HostStatusWords(15), "host status 15 (transport failfast)"},
      {HostStatusWords(16), "host status 16"},
      {HostStatusWords(255), "host status 255"},
      {DriverStatusWords(0x06), "driver status 6 (timeout)"},
      {DriverStatusWords(0x08), "driver status 8 (sense)"},
      // the high bits are suggestions; the low four say what happened
      {DriverStatusWords(0x26), "driver status 38 (timeout)"},
      {DriverStatusWords(0x09), "driver status 9"},
      {DriverStatusWords(0x0F), "driver status 15"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.words, row.expected);
}

}  // namespace
}  // namespace zq
