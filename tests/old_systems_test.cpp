#include <gtest/gtest.h>

#include "app/old_systems.h"
#include "app/platform.h"

namespace zq {
namespace {

TEST(FileDialogStruct, FullSizeOnlyFromWindows2000) {
  struct Row {
    const char* system;
    PlatformFamily family;
    uint32_t major;
    bool full;
  };
  const Row rows[] = {
      {"Windows 98 (4.10)", PlatformFamily::Consumer, 4, false},
      {"Windows Me (4.90)", PlatformFamily::Consumer, 4, false},
      {"NT 4.0", PlatformFamily::Nt, 4, false},
      {"2000 (5.0)", PlatformFamily::Nt, 5, true},
      {"Vista (6.0)", PlatformFamily::Nt, 6, true},
      {"Windows 10", PlatformFamily::Nt, 10, true},
      // a consumer version number that looks new changes nothing
      {"consumer 5", PlatformFamily::Consumer, 5, false},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(FileDialogTakesFullStruct(r.family, r.major), r.full) << r.system;
  }
}

TEST(MessageWait, RawInputOnlyFromXp) {
  struct Row {
    const char* system;
    PlatformFamily family;
    uint32_t major, minor;
    uint32_t mask;
  };
  const Row rows[] = {
      {"Windows 98", PlatformFamily::Consumer, 4, 10, 0x00FF},
      {"Windows Me", PlatformFamily::Consumer, 4, 90, 0x00FF},
      {"2000", PlatformFamily::Nt, 5, 0, 0x00FF},
      {"XP", PlatformFamily::Nt, 5, 1, 0x04FF},
      {"XP x64", PlatformFamily::Nt, 5, 2, 0x04FF},
      {"Vista", PlatformFamily::Nt, 6, 0, 0x04FF},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(AnyMessageWakeMask(r.family, r.major, r.minor), r.mask) << r.system;
  }
}

}  // namespace
}  // namespace zq
