#include "protocol/vendor_commands.h"

namespace zq {
namespace {

Cdb EncodeBare(uint8_t opcode) {
  Cdb cdb{};  // every command buffer starts zeroed
  cdb[0] = opcode;
  return cdb;
}

Cdb EncodeBlock(uint8_t opcode, uint32_t address, uint32_t length) {
  Cdb cdb{};
  cdb[0] = opcode;
  cdb[1] = 0;
  cdb[2] = static_cast<uint8_t>((address >> 8) & 0xFF);  // address, high byte
  cdb[3] = static_cast<uint8_t>(address & 0xFF);         // address, low byte
  cdb[4] = static_cast<uint8_t>((length >> 8) & 0xFF);   // length, high byte
  cdb[5] = static_cast<uint8_t>(length & 0xFF);          // length, low byte
  return cdb;
}

}  // namespace

Cdb EncodeGetInfo() {
  return EncodeBare(CMD_GET_INFO);
}
Cdb EncodeErase() {
  return EncodeBare(CMD_ERASE);
}
Cdb EncodeStatus() {
  return EncodeBare(CMD_STATUS);
}
Cdb EncodeWrite(uint32_t address, uint32_t length) {
  return EncodeBlock(CMD_WRITE, address, length);
}
Cdb EncodeRead(uint32_t address, uint32_t length) {
  return EncodeBlock(CMD_READ, address, length);
}

ChipInfo DecodeChipInfo(const uint8_t (&record)[CHIP_INFO_RECORD_SIZE]) {
  ChipInfo info;
  info.vendorId = static_cast<uint16_t>(record[0] << 8 | record[1]);
  info.productId = static_cast<uint16_t>(record[2] << 8 | record[3]);
  info.fwYear = record[8];
  info.fwMonth = record[9];
  info.fwDay = record[10];
  info.fwBuild = record[11];
  info.romSizeCode = record[4];
  info.flashMaker = record[5];
  info.flashDevice = record[6];
  info.accessFlag = record[7];
  return info;
}

std::array<uint8_t, CHIP_INFO_RECORD_SIZE> EncodeChipInfo(const ChipInfo& info) {
  return {static_cast<uint8_t>(info.vendorId >> 8),
          static_cast<uint8_t>(info.vendorId & 0xFF),
          static_cast<uint8_t>(info.productId >> 8),
          static_cast<uint8_t>(info.productId & 0xFF),
          info.romSizeCode,
          info.flashMaker,
          info.flashDevice,
          info.accessFlag,
          info.fwYear,
          info.fwMonth,
          info.fwDay,
          info.fwBuild};
}

bool MatchesIdentity(const ChipInfo& info, uint16_t vendorId, uint16_t productId) {
  return info.vendorId == vendorId && info.productId == productId;
}

bool PassThroughCommandSucceeded(bool controlCallSucceeded, uint8_t scsiStatus) {
  // 1 is accepted alongside GOOD: the bridge answers some commands that way.
  return controlCallSucceeded && scsiStatus <= 1;
}

bool AspiCommandSucceeded(uint8_t srbStatus) {
  return srbStatus == 1;  // SS_COMP
}

}  // namespace zq
