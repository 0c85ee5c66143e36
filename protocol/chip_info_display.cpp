#include "protocol/chip_info_display.h"

#include <cstdio>

namespace zq {
namespace {

constexpr FlashPart EON_PARTS[] = {
    {0x4F, "en29lv040"},
    {0x6E, "en29lv010"},
    {0x6F, "en29lv512"},
};
constexpr FlashPart ATMEL_PARTS[] = {
    {0x03, "BV512"},     {0x04, "49LV001NT"}, {0x05, "49LV001N"}, {0x07, "49LV002N"},
    {0x08, "49LV002NT"}, {0x0B, "BV020"},     {0x13, "BV040"},    {0x17, "BV010"},
};
constexpr FlashPart PMC_PARTS[] = {
    {0x1B, "PM39LV512"},
    {0x1C, "PM39LV010"},
    {0x3D, "PM39LV020"},
    {0x3E, "PM39LV040"},
};
constexpr FlashPart SST_PARTS[] = {
    {0xD4, "VF512"},
    {0xD5, "VF010"},
    {0xD6, "VF020"},
    {0xD7, "VF040"},
};

constexpr FlashMaker FLASH_MAKERS[] = {
    {0x1C, "EON", EON_PARTS},
    {0x1F, "ATMEL", ATMEL_PARTS},
    {0x9D, "PMC", PMC_PARTS},
    {0xBF, "SST", SST_PARTS},
};

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[64];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

}  // namespace

std::span<const FlashMaker> FlashPartTable() {
  return FLASH_MAKERS;
}

bool LookupFlashPart(uint8_t makerCode, uint8_t deviceCode, std::string& makerName,
                     std::string& partName) {
  for (const FlashMaker& maker : FLASH_MAKERS) {
    if (maker.makerCode != makerCode) continue;
    makerName = maker.name;
    // a device code counts only under its own maker
    for (const FlashPart& part : maker.parts) {
      if (part.deviceCode == deviceCode) {
        partName = part.name;
        return true;
      }
    }
    return false;
  }
  return false;
}

ChipDescription DescribeChip(const ChipInfo& info) {
  ChipDescription chip;
  if (!LookupFlashPart(info.flashMaker, info.flashDevice, chip.maker, chip.part)) {
    // never a maker name beside a raw device code
    chip.maker = Format("0X%02X", static_cast<unsigned>(info.flashMaker));
    chip.part = Format("0X%02X", static_cast<unsigned>(info.flashDevice));
  }
  // 16 KB shifted by the code on 32 bits; codes of 27 and up wrap as they
  // always have (shift modulo 32, printed signed).
  chip.romSizeKb = static_cast<int32_t>(uint32_t{16} << (info.romSizeCode % 32));
  chip.firmware =
      Format("20%02d.%02d.%02d.%03d", static_cast<int>(info.fwYear), static_cast<int>(info.fwMonth),
             static_cast<int>(info.fwDay), static_cast<int>(info.fwBuild));
  return chip;
}

ChipLabels FormatChipLabels(const ChipInfo& info) {
  const ChipDescription chip = DescribeChip(info);
  ChipLabels labels;
  labels.vendor = " Vendor ID: " + chip.maker;
  labels.chip = " Chip ID: " + chip.part;
  labels.romSize = Format(" ROM size: %d(KB)", static_cast<int>(chip.romSizeKb));
  labels.fwVersion = " FW ver." + chip.firmware;
  return labels;
}

}  // namespace zq
