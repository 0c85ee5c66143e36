// Turning a chip-information record into the window's four label texts.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "protocol/vendor_commands.h"

namespace zq {

struct FlashPart {
  uint8_t deviceCode;
  const char* name;
};

struct FlashMaker {
  uint8_t makerCode;
  const char* name;
  std::span<const FlashPart> parts;
};

std::span<const FlashMaker> FlashPartTable();

// True when the maker is known and the device is listed under it. A known
// maker with an unlisted device still sets `makerName` before returning false.
bool LookupFlashPart(uint8_t makerCode, uint8_t deviceCode, std::string& makerName,
                     std::string& partName);

// The record as people read it; the labels and the command line's JSON both
// come from it.
struct ChipDescription {
  std::string maker;  // "SST", or the raw code as "0X1F"
  std::string part;   // "VF040", or the raw code
  int32_t romSizeKb = 0;
  std::string firmware;  // "2004.05.28.007"
};

ChipDescription DescribeChip(const ChipInfo& info);

struct ChipLabels {
  std::string vendor;     // label 1009
  std::string chip;       // label 1007
  std::string romSize;    // label 1003
  std::string fwVersion;  // label 1006
};

ChipLabels FormatChipLabels(const ChipInfo& info);

}  // namespace zq
