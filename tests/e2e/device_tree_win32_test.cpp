// The Win32 device tree, volume locks and console check against the real
// platform: what holds on any system, whatever disks it has.
#include <gtest/gtest.h>

#include "platform/win32/win32_headers.h"

#include <string>
#include <vector>

#include "platform/win32/device_tree_win32.h"
#include "platform/win32/standard_streams_win32.h"
#include "platform/win32/system_library.h"

namespace zq {
namespace {

TEST(Win32DeviceTree, ListsInterfacesWithPathsAndWalkableInstances) {
  Win32DeviceTree tree;
  for (InterfaceClass cls : {InterfaceClass::Disk, InterfaceClass::CdRom}) {
    std::vector<nt::StorageInterface> found;
    ASSERT_TRUE(tree.Interfaces(cls, found));
    for (const nt::StorageInterface& entry : found) {
      EXPECT_EQ(entry.path.rfind("\\\\?\\", 0), 0u) << entry.path;
      std::string id;
      EXPECT_TRUE(tree.DeviceId(entry.instance, id)) << entry.path;
      EXPECT_FALSE(id.empty());
    }
  }
  nt::StorageNumber number;
  EXPECT_FALSE(tree.Number("\\\\.\\NoSuchDevice", number));
}

TEST(Win32DeviceTree, TheSystemDriveIsAMountPointOfSomeVolume) {
  Win32DeviceTree tree;
  std::vector<std::string> volumes;
  ASSERT_TRUE(tree.Volumes(volumes));
  bool found = false;
  for (const std::string& volume : volumes) {
    std::vector<std::string> points;
    if (!tree.MountPoints(volume, points)) continue;
    for (const std::string& point : points) found = found || nt::SameText(point, "C:\\");
  }
  EXPECT_TRUE(found);
}

// A floppy drive (e2e.sh makes A: one) lies on no disk, whatever number
// its driver gives: it never blocks an update nor lends a disk its letter.
TEST(Win32DeviceTree, AFloppyLiesOnNoDisk) {
  if (GetDriveTypeA("A:\\") != DRIVE_REMOVABLE) GTEST_SKIP() << "no floppy drive A:";
  Win32DeviceTree tree;
  std::vector<nt::StorageNumber> disks = {{nt::StorageType::Disk, 0}};
  EXPECT_TRUE(tree.VolumeDisks("\\\\.\\A:", disks));
  EXPECT_TRUE(disks.empty());
}

// Whatever lies beside the program, a system DLL is the system folder's.
TEST(SystemLibraries, ComeFromTheSystemFolderOnly) {
  char folder[MAX_PATH + 1] = {};
  ASSERT_NE(GetSystemDirectoryA(folder, MAX_PATH), 0u);
  const std::string path = SystemLibraryPath("SETUPAPI.DLL");
  EXPECT_TRUE(nt::SameText(path, std::string(folder) + "\\SETUPAPI.DLL")) << path;
  const HMODULE module = LoadSystemLibrary("SETUPAPI.DLL");
  ASSERT_NE(module, nullptr);
  char loaded[MAX_PATH + 1] = {};
  ASSERT_NE(GetModuleFileNameA(module, loaded, MAX_PATH), 0u);
  EXPECT_TRUE(nt::SameText(loaded, path)) << loaded;
  FreeLibrary(module);
  EXPECT_EQ(LoadSystemLibrary("ZQ-NO-SUCH-LIBRARY.DLL"), nullptr);
  EXPECT_NE(SetupApi::Get(), nullptr);
  EXPECT_NE(ConfigManager::Get(), nullptr);
}

TEST(Win32VolumeLocker, AVolumeThatIsNotThereIsNotHeld) {
  Win32VolumeLocker locker;
  nt::VolumeLocker::Handle handle = 0;
  std::string problem;
  EXPECT_FALSE(locker.LockAndDismount("\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\",
                                      handle, problem));
  EXPECT_FALSE(problem.empty());
}

TEST(ConsoleEscapes, AFileTakesNone) {
  char folder[MAX_PATH] = {};
  char path[MAX_PATH] = {};
  ASSERT_NE(GetTempPathA(MAX_PATH, folder), 0u);
  ASSERT_NE(GetTempFileNameA(folder, "zq", 0, path), 0u);
  const HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const HANDLE saved = GetStdHandle(STD_ERROR_HANDLE);
  SetStdHandle(STD_ERROR_HANDLE, file);
  const bool takes = StandardErrorTakesEscapes();
  SetStdHandle(STD_ERROR_HANDLE, saved);
  CloseHandle(file);
  EXPECT_FALSE(takes);
}

}  // namespace
}  // namespace zq
