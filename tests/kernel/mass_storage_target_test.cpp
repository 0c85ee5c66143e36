#include "tests/kernel/mass_storage_target.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

#include "emulator/emulated_setup.h"
#include "protocol/vendor_commands.h"

namespace zq::kernel {
namespace {

TargetOptions Options(uint32_t luns, bool answerInfo = true) {
  TargetOptions options;
  options.luns = luns;
  options.diskBlocks = 16;
  options.answerInfo = answerInfo;
  return options;
}

CommandBlock Block(std::initializer_list<uint8_t> cdb, uint32_t length, bool in, uint8_t lun = 0) {
  CommandBlock block;
  block.dataLength = length;
  block.dataIn = in;
  block.lun = lun;
  block.cdbLength = static_cast<uint8_t>(cdb.size());
  std::copy(cdb.begin(), cdb.end(), block.cdb.begin());
  return block;
}

// The sense a REQUEST SENSE returns now: key, ASC.
std::pair<uint8_t, uint8_t> SenseOf(MassStorageTarget& target, uint8_t lun = 0) {
  const CommandResult sense = target.Execute(Block({0x03, 0, 0, 0, 18, 0}, 18, true, lun), {});
  return {sense.dataIn.at(2), sense.dataIn.at(12)};
}

TEST(MassStorageTarget, WrapperRoundTripAndMalformedWrappersRefused) {
  uint8_t bytes[COMMAND_BLOCK_SIZE] = {'U', 'S', 'B', 'C', 7,    0, 0, 0,
                                       12,  0,   0,   0,   0x80, 1, 6, 0xE0};
  CommandBlock block;
  ASSERT_TRUE(DecodeCommandBlock(bytes, sizeof bytes, block));
  EXPECT_EQ(block.tag, 7u);
  EXPECT_EQ(block.dataLength, 12u);
  EXPECT_TRUE(block.dataIn);
  EXPECT_EQ(block.lun, 1);
  EXPECT_EQ(block.cdb[0], CMD_GET_INFO);
  EXPECT_FALSE(DecodeCommandBlock(bytes, sizeof bytes - 1, block));  // short
  bytes[14] = 0;                                                     // no CDB
  EXPECT_FALSE(DecodeCommandBlock(bytes, sizeof bytes, block));
  bytes[14] = 6;
  bytes[3] = 'S';  // a status wrapper's signature
  EXPECT_FALSE(DecodeCommandBlock(bytes, sizeof bytes, block));
  const auto csw = EncodeCommandStatus(7, 3, CSW_FAILED);
  EXPECT_EQ(0, std::memcmp(csw.data(), "USBS\x07\0\0\0\x03\0\0\0\x01", csw.size()));
}

// What usb-storage and sd send, and anything else refused with its sense.
TEST(MassStorageTarget, StandardCommandsAndTheirSense) {
  MassStorageTarget target(Options(2));
  const CommandResult inquiry = target.Execute(Block({0x12, 0, 0, 0, 36, 0}, 36, true), {});
  ASSERT_EQ(inquiry.dataIn.size(), 36u);
  EXPECT_EQ(inquiry.dataIn[0], 0x00);  // a disk
  const CommandResult capacity =
      target.Execute(Block({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, true), {});
  EXPECT_EQ(capacity.dataIn, (std::vector<uint8_t>{0, 0, 0, 15, 0, 0, 2, 0}));

  std::vector<uint8_t> written(1024, 0x5A);
  EXPECT_EQ(
      target.Execute(Block({0x2A, 0, 0, 0, 0, 14, 0, 0, 2, 0}, 1024, false, 1), written).status,
      CSW_PASSED);
  EXPECT_EQ(target.Execute(Block({0x28, 0, 0, 0, 0, 14, 0, 0, 2, 0}, 1024, true, 1), {}).dataIn,
            written);
  // each LUN is a disk of its own
  EXPECT_NE(target.Execute(Block({0x28, 0, 0, 0, 0, 14, 0, 0, 2, 0}, 1024, true, 0), {}).dataIn,
            written);

  struct Refused {
    CommandBlock block;
    uint8_t key, asc;
  } refused[] = {
      {Block({0x28, 0, 0, 0, 0, 15, 0, 0, 2, 0}, 1024, true), 0x05, 0x21},  // past the end
      {Block({0x4D, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, false), 0x05, 0x20},     // unknown opcode
      {Block({0x12, 1, 0x80, 0, 36, 0}, 36, true), 0x05, 0x24},             // a VPD page
      {Block({0x00, 0, 0, 0, 0, 0}, 0, false, 5), 0x05, 0x25},              // no such LUN
  };
  for (const Refused& r : refused) {
    SCOPED_TRACE(r.block.cdb[0]);
    const CommandResult result = target.Execute(r.block, {});
    EXPECT_EQ(result.status, CSW_FAILED);
    EXPECT_EQ(result.residue, r.block.dataLength);
    if (r.block.lun < 2) {
      EXPECT_EQ(SenseOf(target), std::make_pair(r.key, r.asc));
    }
  }
}

// Vendor commands reach the bridge model with its faults, and the test
// options change how they are answered.
TEST(MassStorageTarget, VendorCommandsAndTheOptionsForFaultsOfTheHost) {
  const CommandBlock info = Block({CMD_GET_INFO, 0, 0, 0, 0, 0}, 12, true);
  const CommandBlock status = Block({CMD_STATUS, 0, 0, 0, 0, 0}, 1, true);
  const CommandBlock read = Block({CMD_READ, 0, 0, 0x10, 2, 0}, 512, true);

  MassStorageTarget plain(Options(1));
  const CommandResult record = plain.Execute(info, {});
  EXPECT_TRUE(std::equal(record.dataIn.begin(), record.dataIn.end(),
                         BridgeDevice::DEFAULT_RECORD.begin(), BridgeDevice::DEFAULT_RECORD.end()));
  ASSERT_TRUE(ParseFault("short-read:1", plain.Bridge().Faults()));
  const CommandResult half = plain.Execute(read, {});
  EXPECT_EQ(half.status, CSW_PASSED);
  EXPECT_EQ(half.dataIn.size(), 256u);
  EXPECT_EQ(half.residue, 256u);
  ASSERT_TRUE(ParseFault("vanish:2", plain.Bridge().Faults()));
  EXPECT_TRUE(plain.Execute(status, {}).vanish);

  MassStorageTarget silent(Options(1, false));
  EXPECT_EQ(silent.Execute(info, {}).status, CSW_FAILED);
  EXPECT_EQ(SenseOf(silent), std::make_pair(uint8_t{0x05}, uint8_t{0x20}));
  EXPECT_TRUE(silent.Bridge().Log().empty());

  TargetOptions options = Options(1);
  options.unitAttention = {{CMD_STATUS, 1, 0}};
  options.bogusResidue = {{CMD_READ, 2, 100}};
  MassStorageTarget attention(options);
  EXPECT_EQ(attention.Execute(status, {}).status, CSW_FAILED);
  EXPECT_EQ(SenseOf(attention), std::make_pair(uint8_t{0x06}, uint8_t{0x29}));
  EXPECT_EQ(attention.Execute(status, {}).status, CSW_PASSED);  // only the first
  EXPECT_EQ(attention.Bridge().Log().size(), 1u);               // the bridge never saw it
  EXPECT_EQ(attention.Execute(read, {}).residue, 0u);
  EXPECT_EQ(attention.Execute(read, {}).residue, 100u);
}

}  // namespace
}  // namespace zq::kernel
