// Every command sent to a bridge can be logged, one line each.
#include "cli/verbose_port.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace zq::cli {
namespace {

PassThroughBuffer Command(uint8_t opcode, uint8_t dataIn, uint32_t length) {
  PassThroughBuffer buffer;
  std::memset(&buffer, 0, sizeof buffer);
  buffer.header.CdbLength = 6;
  buffer.header.Cdb[0] = opcode;
  buffer.header.Cdb[4] = static_cast<uint8_t>(length >> 8);
  buffer.header.DataIn = dataIn;
  buffer.header.DataTransferLength = length;
  buffer.header.SenseInfoLength = PASS_THROUGH_SENSE_SIZE;
  return buffer;
}

TEST(VerboseLog, OneLinePerCommandWithWhatCameBack) {
  struct Row {
    const char* name;
    PassThroughBuffer before;
    bool called;
    uint8_t status;
    uint32_t moved;
    std::vector<uint8_t> sense;
    std::string failure;
    std::string line;
  };
  const std::vector<Row> rows = {
      {"write",
       Command(0xE2, SCSI_IOCTL_DATA_OUT, 512),
       true,
       0,
       512,
       {},
       "",
       "/dev/sg2: E2 00 00 00 02 00, out 512 bytes: good (0x00), residue 0, 12 ms"},
      {"short read",
       Command(0xE3, SCSI_IOCTL_DATA_IN, 512),
       true,
       0,
       500,
       {},
       "",
       "/dev/sg2: E3 00 00 00 02 00, in 512 bytes: good (0x00), residue 12, 12 ms"},
      {"unit attention",
       Command(0xF7, SCSI_IOCTL_DATA_IN, 1),
       true,
       2,
       0,
       {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x29, 0x00},
       "",
       "/dev/sg2: F7 00 00 00 00 00, in 1 bytes: check condition (0x02), sense UNIT ATTENTION, "
       "ASC/ASCQ 29/00 (power on or reset), residue 1, 12 ms"},
      {"erase lost",
       Command(0xE1, SCSI_IOCTL_DATA_OUT, 0),
       false,
       0,
       0,
       {},
       "host status 3 (timed out)",
       "/dev/sg2: E1 00 00 00 00 00, no data: control call failed (host status 3 (timed out)), "
       "12 ms"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PassThroughBuffer after = row.before;
    after.header.ScsiStatus = row.status;
    after.header.DataTransferLength = row.moved;
    if (!row.sense.empty()) std::memcpy(after.sense, row.sense.data(), row.sense.size());
    EXPECT_EQ(VerboseLine("/dev/sg2", row.before.header, after, row.called, row.failure, 12.2),
              row.line);
  }
}

}  // namespace
}  // namespace zq::cli
