#include "protocol/chip_info_display.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace zq {
namespace {

TEST(FlashPartTable, HoldsFourMakersWithUniqueCodesAndNineteenParts) {
  std::set<uint8_t> makerCodes;
  size_t parts = 0;
  for (const FlashMaker& maker : FlashPartTable()) {
    EXPECT_TRUE(makerCodes.insert(maker.makerCode).second) << "maker listed twice";
    ASSERT_NE(maker.name, nullptr);
    EXPECT_FALSE(std::string(maker.name).empty());
    std::set<uint8_t> deviceCodes;
    for (const FlashPart& part : maker.parts) {
      EXPECT_TRUE(deviceCodes.insert(part.deviceCode).second)
          << maker.name << " lists device " << int{part.deviceCode} << " twice";
      ASSERT_NE(part.name, nullptr);
      // every listed part must be found again under its own maker
      std::string makerName;
      std::string partName;
      EXPECT_TRUE(LookupFlashPart(maker.makerCode, part.deviceCode, makerName, partName));
      EXPECT_EQ(makerName, maker.name);
      EXPECT_EQ(partName, part.name);
      ++parts;
    }
  }
  EXPECT_EQ(makerCodes, (std::set<uint8_t>{0x1C, 0x1F, 0x9D, 0xBF}));
  EXPECT_EQ(parts, 19u);
}

TEST(FlashPartTable, LookupKeepsNamesAsStoredAndCodesPerMaker) {
  struct Case {
    uint8_t maker;
    uint8_t device;
    bool found;
    const char* makerName;  // what the maker string holds afterwards
    const char* partName;
  };
  const Case cases[] = {
      {0xBF, 0xD7, true, "SST", "VF040"},
      {0x1C, 0x6F, true, "EON", "en29lv512"},  // lower case as stored
      {0x9D, 0x1C, true, "PMC", "PM39LV010"},  // 0x1C as a device, not EON
      {0x1F, 0x04, true, "ATMEL", "49LV001NT"},
      {0x1F, 0x17, true, "ATMEL", "BV010"},
      {0xBF, 0xD8, false, "SST", "untouched"},        // known maker, unknown part
      {0x1F, 0xD4, false, "ATMEL", "untouched"},      // SST's device under ATMEL
      {0x1C, 0x1C, false, "EON", "untouched"},        // a maker code is no device code
      {0x00, 0x0A, false, "untouched", "untouched"},  // unknown maker touches nothing
      {0xC2, 0xFF, false, "untouched", "untouched"},
  };
  for (const Case& c : cases) {
    std::string makerName = "untouched";
    std::string partName = "untouched";
    EXPECT_EQ(LookupFlashPart(c.maker, c.device, makerName, partName), c.found)
        << int{c.maker} << "/" << int{c.device};
    EXPECT_EQ(makerName, c.makerName) << int{c.maker} << "/" << int{c.device};
    EXPECT_EQ(partName, c.partName) << int{c.maker} << "/" << int{c.device};
  }
}

ChipInfo WithFlash(uint8_t maker, uint8_t device) {
  ChipInfo info;
  info.flashMaker = maker;
  info.flashDevice = device;
  return info;
}

TEST(ChipLabels, MakerAndPartNamesOrBothRawCodes) {
  struct Case {
    uint8_t maker;
    uint8_t device;
    const char* vendor;
    const char* chip;
  };
  const Case cases[] = {
      {0xBF, 0xD7, " Vendor ID: SST", " Chip ID: VF040"},
      {0x1C, 0x6F, " Vendor ID: EON", " Chip ID: en29lv512"},
      {0x9D, 0x1C, " Vendor ID: PMC", " Chip ID: PM39LV010"},
      // never a maker name beside a raw device code
      {0xBF, 0xD8, " Vendor ID: 0XBF", " Chip ID: 0XD8"},
      {0x1F, 0xD4, " Vendor ID: 0X1F", " Chip ID: 0XD4"},
      // two upper-case digits, leading zero kept
      {0x00, 0x0A, " Vendor ID: 0X00", " Chip ID: 0X0A"},
      {0xC2, 0xFF, " Vendor ID: 0XC2", " Chip ID: 0XFF"},
      {0x0B, 0xab, " Vendor ID: 0X0B", " Chip ID: 0XAB"},
  };
  for (const Case& c : cases) {
    const ChipLabels labels = FormatChipLabels(WithFlash(c.maker, c.device));
    EXPECT_EQ(labels.vendor, c.vendor);
    EXPECT_EQ(labels.chip, c.chip);
  }
}

TEST(ChipLabels, RomSizeIsSixteenKilobytesShiftedByTheCode) {
  struct Case {
    uint8_t code;
    const char* text;
  };
  const Case cases[] = {
      {0, " ROM size: 16(KB)"},
      {1, " ROM size: 32(KB)"},
      {2, " ROM size: 64(KB)"},
      {3, " ROM size: 128(KB)"},
      {5, " ROM size: 512(KB)"},
      {26, " ROM size: 1073741824(KB)"},
      // past 26 the 32-bit product wraps, shown as a signed number
      {27, " ROM size: -2147483648(KB)"},
      {28, " ROM size: 0(KB)"},
      {31, " ROM size: 0(KB)"},
      {32, " ROM size: 16(KB)"},
      {34, " ROM size: 64(KB)"},
      {255, " ROM size: 0(KB)"},
  };
  for (const Case& c : cases) {
    ChipInfo info;
    info.romSizeCode = c.code;
    EXPECT_EQ(FormatChipLabels(info).romSize, c.text) << int{c.code};
  }
}

TEST(ChipLabels, FirmwareVersionPadsButNeverClamps) {
  struct Case {
    uint8_t year, month, day, build;
    const char* text;
  };
  const Case cases[] = {
      {3, 3, 3, 0, " FW ver.2003.03.03.000"},
      {4, 12, 25, 7, " FW ver.2004.12.25.007"},
      {4, 5, 28, 7, " FW ver.2004.05.28.007"},  // fields in the order year, month, day, build
      {104, 1, 2, 3, " FW ver.20104.01.02.003"},
      {0, 0, 0, 255, " FW ver.2000.00.00.255"},
      {255, 255, 255, 255, " FW ver.20255.255.255.255"},
  };
  for (const Case& c : cases) {
    ChipInfo info;
    info.fwYear = c.year;
    info.fwMonth = c.month;
    info.fwDay = c.day;
    info.fwBuild = c.build;
    EXPECT_EQ(FormatChipLabels(info).fwVersion, c.text);
  }
}

TEST(ChipLabels, FormattedFromTheDecodedRecord) {
  const uint8_t record[CHIP_INFO_RECORD_SIZE] = {0x3F, 0x1D, 0x52, 0x10, 0x02, 0xBF,
                                                 0xD7, 0x00, 0x04, 0x05, 0x1C, 0x07};
  // an access flag of 0 changes none of the labels
  const ChipLabels labels = FormatChipLabels(DecodeChipInfo(record));
  EXPECT_EQ(labels.vendor, " Vendor ID: SST");
  EXPECT_EQ(labels.chip, " Chip ID: VF040");
  EXPECT_EQ(labels.romSize, " ROM size: 64(KB)");
  EXPECT_EQ(labels.fwVersion, " FW ver.2004.05.28.007");
}

}  // namespace
}  // namespace zq
