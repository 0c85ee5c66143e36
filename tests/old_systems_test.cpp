#include <gtest/gtest.h>

#include "app/old_systems.h"
#include "app/platform.h"

namespace zq {
namespace {

TEST(FileDialogStruct, FullSizeOnlyFromWindows2000) {
  struct Row {
    const char* system;
    uint32_t platformId;
    uint32_t major;
    bool full;
  };
  const Row rows[] = {
      {"Windows 98 (4.10)", VER_PLATFORM_WIN32_WINDOWS, 4, false},
      {"Windows Me (4.90)", VER_PLATFORM_WIN32_WINDOWS, 4, false},
      {"NT 4.0", VER_PLATFORM_WIN32_NT, 4, false},
      {"2000 (5.0)", VER_PLATFORM_WIN32_NT, 5, true},
      {"Vista (6.0)", VER_PLATFORM_WIN32_NT, 6, true},
      {"Windows 10", VER_PLATFORM_WIN32_NT, 10, true},
      // a consumer version number that looks new changes nothing
      {"consumer 5", VER_PLATFORM_WIN32_WINDOWS, 5, false},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(FileDialogTakesFullStruct(r.platformId, r.major), r.full) << r.system;
  }
}

TEST(MessageWait, RawInputOnlyFromXp) {
  struct Row {
    const char* system;
    uint32_t platformId, major, minor;
    uint32_t mask;
  };
  const Row rows[] = {
      {"Windows 98", VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x00FF},
      {"Windows Me", VER_PLATFORM_WIN32_WINDOWS, 4, 90, 0x00FF},
      {"2000", VER_PLATFORM_WIN32_NT, 5, 0, 0x00FF},
      {"XP", VER_PLATFORM_WIN32_NT, 5, 1, 0x04FF},
      {"XP x64", VER_PLATFORM_WIN32_NT, 5, 2, 0x04FF},
      {"Vista", VER_PLATFORM_WIN32_NT, 6, 0, 0x04FF},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(AnyMessageWakeMask(r.platformId, r.major, r.minor), r.mask) << r.system;
  }
}

}  // namespace
}  // namespace zq
