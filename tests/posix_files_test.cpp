#include "platform/posix/posix_files.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "image/image_buffer.h"

// The kernel's 1 KB BLOCK_SIZE macro would stand in for the bridge's 512-byte
// block in every test built after this one in the same compilation.
#undef BLOCK_SIZE
#undef BLOCK_SIZE_BITS

namespace zq {
namespace {

namespace fs = std::filesystem;

class PosixFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zq-files-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string PathOf(const std::string& name) const { return (folder_ / name).string(); }

  void Put(const std::string& name, const std::string& content) const {
    std::ofstream(PathOf(name), std::ios::binary) << content;
  }

  std::string Get(const std::string& name) const {
    std::ifstream in(PathOf(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  static bool WriteAll(OutputFile& file, const std::string& content) {
    uint32_t written = 0;
    const bool ok = file.Write(reinterpret_cast<const uint8_t*>(content.data()),
                               static_cast<uint32_t>(content.size()), written);
    return ok && written == content.size();
  }

  fs::path folder_;
  PosixFilePort port_;
};

TEST_F(PosixFilesTest, ReadsSizeAndWholeContent) {
  std::string content(70000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31 + 7);
  Put("a.bin", content);
  auto file = port_.OpenForRead(PathOf("a.bin"));
  ASSERT_NE(file, nullptr);
  uint32_t size = 0;
  ASSERT_TRUE(file->GetSize(size));
  EXPECT_EQ(size, content.size());
  std::vector<uint8_t> buffer(IMAGE_BUFFER_SIZE);
  uint32_t got = 0;
  ASSERT_TRUE(file->Read(buffer.data(), IMAGE_BUFFER_SIZE, got));
  EXPECT_EQ(got, IMAGE_BUFFER_SIZE);  // as much as asked, not what one read() happened to give
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), content.substr(0, IMAGE_BUFFER_SIZE));
  // the rest, then the end
  ASSERT_TRUE(file->Read(buffer.data(), IMAGE_BUFFER_SIZE, got));
  EXPECT_EQ(got, content.size() - IMAGE_BUFFER_SIZE);
  ASSERT_TRUE(file->Read(buffer.data(), IMAGE_BUFFER_SIZE, got));
  EXPECT_EQ(got, 0u);
}

TEST_F(PosixFilesTest, MissingFilesAndFoldersGiveNull) {
  EXPECT_EQ(port_.OpenForRead(PathOf("missing.bin")), nullptr);
  EXPECT_EQ(port_.CreateForWrite(PathOf("no-such-folder/out.bin")), nullptr);
  EXPECT_EQ(port_.CreateForWrite(PathOf("")), nullptr);
}

TEST_F(PosixFilesTest, CommitCreatesOrReplacesTheDestinationAndLeavesNoTemporary) {
  for (const bool existed : {false, true}) {
    SCOPED_TRACE(existed ? "replacing" : "creating");
    if (existed) Put("output.bin", "old content that is longer than the new one");
    auto file = port_.CreateForWrite(PathOf("output.bin"));
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(WriteAll(*file, "new "));
    ASSERT_TRUE(WriteAll(*file, "bytes"));
    // nothing is visible under the destination's name before the commit
    EXPECT_EQ(Get("output.bin"), existed ? "old content that is longer than the new one" : "");
    ASSERT_TRUE(file->Commit());
    EXPECT_EQ(Get("output.bin"), "new bytes");
    EXPECT_EQ(Entries(), std::vector<std::string>{"output.bin"});
    EXPECT_FALSE(file->Commit());
    uint32_t written = 1;
    EXPECT_FALSE(file->Write(reinterpret_cast<const uint8_t*>("x"), 1, written));
    EXPECT_EQ(written, 0u);
    file.reset();
    EXPECT_EQ(Get("output.bin"), "new bytes");
    fs::remove(PathOf("output.bin"));
  }
}

TEST_F(PosixFilesTest, UncommittedFileLeavesTheOldOneAndNoTemporary) {
  for (const bool existed : {false, true}) {
    SCOPED_TRACE(existed ? "existing destination" : "no destination");
    if (existed) Put("output.bin", "keep me");
    {
      auto file = port_.CreateForWrite(PathOf("output.bin"));
      ASSERT_NE(file, nullptr);
      ASSERT_TRUE(WriteAll(*file, "half a dump"));
      EXPECT_EQ(Entries().size(), existed ? 2u : 1u);  // the temporary sits beside it
    }
    EXPECT_EQ(Entries(),
              existed ? std::vector<std::string>{"output.bin"} : std::vector<std::string>{});
    if (existed) {
      EXPECT_EQ(Get("output.bin"), "keep me");
    }
    fs::remove(PathOf("output.bin"));
  }
}

TEST_F(PosixFilesTest, FailedCommitKeepsTheDestinationAndRemovesTheTemporary) {
  {
    auto file = port_.CreateForWrite(PathOf("output.bin"));
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(WriteAll(*file, "dump"));
    // a folder appears in the way: the rename cannot replace it
    fs::create_directory(PathOf("output.bin"));
    Put("output.bin/inside", "x");
    EXPECT_FALSE(file->Commit());
    EXPECT_NE(port_.LastFailure().find("output.bin"), std::string::npos);
  }
  EXPECT_EQ(Entries(), std::vector<std::string>{"output.bin"});
  EXPECT_TRUE(fs::is_directory(PathOf("output.bin")));
}

// What each kind of existing output becomes once saved over.
TEST_F(PosixFilesTest, OutputsOfEveryKind) {
  struct Row {
    const char* name;
    std::function<std::string()> setUp;  // returns the path to save to
    bool saved;
    std::function<bool()> holds;  // what must be true afterwards
  };
  const auto mode = [](const std::string& path) { return fs::status(path).permissions(); };
  const std::vector<Row> rows = {
      {"regular file keeps its mode",
       [&] {
         Put("kept.bin", "old");
         fs::permissions(PathOf("kept.bin"),
                         fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
         return PathOf("kept.bin");
       },
       true,
       [&] {
         return Get("kept.bin") == "new" &&
                mode(PathOf("kept.bin")) ==
                    (fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
       }},
      {"symlink: its target is replaced, the link stays",
       [&] {
         Put("target.bin", "old");
         fs::create_symlink("target.bin", PathOf("link.bin"));
         return PathOf("link.bin");
       },
       true, [&] { return fs::is_symlink(PathOf("link.bin")) && Get("target.bin") == "new"; }},
      {"hard link: both names see the new bytes",
       [&] {
         Put("one.bin", "old");
         fs::create_hard_link(PathOf("one.bin"), PathOf("two.bin"));
         return PathOf("one.bin");
       },
       true, [&] { return Get("one.bin") == "new" && Get("two.bin") == "new"; }},
      {"character device", [] { return std::string("/dev/null"); }, true,
       [] { return fs::is_character_file("/dev/null"); }},
      {"a full device fails", [] { return std::string("/dev/full"); }, false,
       [] { return fs::is_character_file("/dev/full"); }},
      {"folder refused",
       [&] {
         fs::create_directory(PathOf("dir.bin"));
         return PathOf("dir.bin");
       },
       false, [&] { return fs::is_directory(PathOf("dir.bin")); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = row.setUp();
    bool saved = false;
    if (auto file = port_.CreateForWrite(path)) saved = WriteAll(*file, "new") && file->Commit();
    EXPECT_EQ(saved, row.saved);
    if (!row.saved) {
      EXPECT_NE(port_.LastFailure(), "");
    }
    EXPECT_TRUE(row.holds());
  }
  EXPECT_EQ(Entries().size(), 6u) << "a temporary was left behind";
}

// What a signal handler calls: a save under way leaves no temporary behind.
TEST_F(PosixFilesTest, PendingTemporariesCanBeRemovedAtOnce) {
  auto file = port_.CreateForWrite(PathOf("dump.bin"));
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(WriteAll(*file, "half"));
  ASSERT_EQ(Entries().size(), 1u);  // the temporary
  RemovePendingTemporaries();
  EXPECT_TRUE(Entries().empty());
}

TEST_F(PosixFilesTest, OnlyRegularFilesAreReadAsImages) {
  ASSERT_EQ(mkfifo(PathOf("pipe.bin").c_str(), 0600), 0);
  fs::create_directory(PathOf("dir.bin"));
  for (const std::string name : {"pipe.bin", "dir.bin", "missing.bin"}) {
    EXPECT_EQ(port_.OpenForRead(PathOf(name)), nullptr) << name;  // at once, no hang
    EXPECT_NE(port_.LastFailure().find(name), std::string::npos) << port_.LastFailure();
  }
}

TEST_F(PosixFilesTest, ReadOnlyFileAndALockedFolderAreRefusedWithoutHarm) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  Put("read-only.bin", "keep");
  fs::permissions(PathOf("read-only.bin"), fs::perms::owner_read);
  EXPECT_EQ(port_.CreateForWrite(PathOf("read-only.bin")), nullptr);
  EXPECT_EQ(Get("read-only.bin"), "keep");

  // a writable file in a folder that takes no new files is not written in
  // place: a failure half-way would destroy it
  Put("writable.bin", "old content");
  fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
  auto file = port_.CreateForWrite(PathOf("writable.bin"));
  const std::string why = port_.LastFailure();
  fs::permissions(folder_, fs::perms::owner_all);
  EXPECT_EQ(file, nullptr);
  EXPECT_NE(why.find("writable.bin': Permission denied"), std::string::npos) << why;
  EXPECT_EQ(Get("writable.bin"), "old content");
}

// Chains of symlinks are followed to their last name, as far as the kernel
// follows them, and a loop changes nothing.
TEST_F(PosixFilesTest, SymlinkChainsAndLoops) {
  struct Row {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // name, what it points at
    std::string saveTo;
    std::string holder;  // the file that must end up holding the bytes; empty: refused
  };
  std::vector<Row> rows = {
      {"loop", {{"l1", "l2"}, {"l2", "l1"}}, "l1", ""},
      {"dangling chain creates its last name",
       {{"e1", "e2"}, {"e2", "missing.bin"}},
       "e1",
       "missing.bin"},
      {"relative links are relative to their own folder",
       {{"c1", "sub/c2"}, {"sub/c2", "../sub/c3"}, {"sub/c3", "../target.bin"}},
       "c1",
       "target.bin"},
  };
  Row longest{"forty links are followed", {}, "n0", "end.bin"};
  Row tooLong{"forty-one are a loop", {}, "m0", ""};
  for (int i = 0; i < 40; ++i) {
    longest.links.push_back(
        {"n" + std::to_string(i), i == 39 ? "end.bin" : "n" + std::to_string(i + 1)});
  }
  for (int i = 0; i < 41; ++i) {
    tooLong.links.push_back(
        {"m" + std::to_string(i), i == 40 ? "end2.bin" : "m" + std::to_string(i + 1)});
  }
  rows.push_back(longest);
  rows.push_back(tooLong);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "sub");
    for (const auto& [name, to] : row.links) fs::create_symlink(to, PathOf(name));
    if (!row.holder.empty() && row.holder != "missing.bin" && row.holder != "end.bin") {
      Put(row.holder, "old");
    }
    const std::vector<std::string> before = Entries();
    auto file = port_.CreateForWrite(PathOf(row.saveTo));
    if (row.holder.empty()) {
      EXPECT_EQ(file, nullptr);
      EXPECT_EQ(port_.LastFailure(),
                "'" + PathOf(row.saveTo) + "': Too many levels of symbolic links");
    } else {
      ASSERT_NE(file, nullptr);
      ASSERT_TRUE(WriteAll(*file, "new"));
      ASSERT_TRUE(file->Commit());
      EXPECT_EQ(Get(row.holder), "new");
    }
    for (const auto& link : row.links) {
      EXPECT_TRUE(fs::is_symlink(PathOf(link.first))) << link.first << " is no longer a link";
    }
    std::vector<std::string> expected = before;
    if (row.holder == "missing.bin" || row.holder == "end.bin") {
      expected.push_back(row.holder);
      std::sort(expected.begin(), expected.end());
    }
    EXPECT_EQ(Entries(), expected);
  }
}

// A small file system of our own that can be filled: mounted for the test,
// skipped where mounting is not allowed.
class FullFileSystemTest : public PosixFilesTest {
 protected:
  void TearDown() override {
    if (mounted_) umount2(disk_.c_str(), MNT_DETACH);
    PosixFilesTest::TearDown();
  }

  // Mounts a tmpfs at folder_/disk with these options; false (and skipped) if
  // it cannot be done here.
  bool Mount(const std::string& options) {
    disk_ = PathOf("disk");
    fs::create_directory(disk_);
    mounted_ = mount("zq-test", disk_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    return mounted_;
  }

  std::string OnDisk(const std::string& name) const { return "disk/" + name; }

  std::vector<std::string> DiskEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(disk_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string disk_;
  bool mounted_ = false;
};

#define MOUNT_OR_SKIP(options) \
  if (!Mount(options)) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno)

// No temporary can be made beside the destination (no inode left): the old
// file is never written in place, whatever room its own blocks have.
TEST_F(FullFileSystemTest, NoNewFileBesideTheDestinationLeavesItAsItWas) {
  MOUNT_OR_SKIP("size=64k,nr_inodes=2");  // the root folder and one file
  const std::string old(4096, 'o');
  Put(OnDisk("dump.bin"), old);
  ASSERT_TRUE(Get(OnDisk("dump.bin")) == old) << "the file system is already full";
  auto file = port_.CreateForWrite(PathOf(OnDisk("dump.bin")));
  EXPECT_EQ(file, nullptr);
  if (file) {
    WriteAll(*file, std::string(65536, 'n'));
    file->Commit();
  }
  EXPECT_EQ(port_.LastFailure(), "'" + PathOf(OnDisk("dump.bin")) +
                                     "': No space left on device (no new file can be made "
                                     "beside it); it was left as it was");
  EXPECT_TRUE(Get(OnDisk("dump.bin")) == old) << "the old file was written";
  EXPECT_EQ(DiskEntries(), std::vector<std::string>{"dump.bin"});
}

// A hard-linked destination gets the bytes copied in; when the disk has no
// room for them it is left whole and the complete copy is named.
TEST_F(FullFileSystemTest, HardLinkedFileOnAFullDiskKeepsItsBytes) {
  MOUNT_OR_SKIP("size=64k");  // sixteen pages
  const std::string old(4096, 'o');
  const std::string fresh(32768, 'n');
  Put(OnDisk("one.bin"), old);
  fs::create_hard_link(PathOf(OnDisk("one.bin")), PathOf(OnDisk("two.bin")));
  Put(OnDisk("filler"), std::string(28672, 'f'));  // leaves room for the temporary only
  auto file = port_.CreateForWrite(PathOf(OnDisk("one.bin")));
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(WriteAll(*file, fresh));
  EXPECT_FALSE(file->Flush() && file->Commit());
  file.reset();
  EXPECT_TRUE(Get(OnDisk("one.bin")) == old) << "the old file was written";
  EXPECT_TRUE(Get(OnDisk("two.bin")) == old) << "its other name sees other bytes";
  const std::vector<std::string> names = DiskEntries();
  ASSERT_EQ(names.size(), 4u);
  const std::string copy = names[0];  // the dot sorts first
  EXPECT_TRUE(Get(OnDisk(copy)) == fresh) << "the copy named is not whole";
  EXPECT_EQ(port_.LastFailure(), "'" + PathOf(OnDisk("one.bin")) +
                                     "': No space left on device; it was left as it was; the "
                                     "complete copy is in '" +
                                     PathOf(OnDisk(copy)) + "'");
}

TEST_F(PosixFilesTest, TwoWritersOfOneDestinationGetTheirOwnTemporaries) {
  auto first = port_.CreateForWrite(PathOf("output.bin"));
  auto second = port_.CreateForWrite(PathOf("output.bin"));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  ASSERT_TRUE(WriteAll(*first, "first"));
  ASSERT_TRUE(WriteAll(*second, "second"));
  ASSERT_TRUE(second->Commit());
  first.reset();
  EXPECT_EQ(Get("output.bin"), "second");
  EXPECT_EQ(Entries(), std::vector<std::string>{"output.bin"});
}

TEST_F(PosixFilesTest, NewFilesFollowTheUmaskLikeAnyOtherFile) {
  const mode_t old = umask(022);
  auto file = port_.CreateForWrite(PathOf("output.bin"));
  umask(old);
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(file->Commit());
  struct stat info;
  ASSERT_EQ(stat(PathOf("output.bin").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

// The shipped samples, loaded through the real files: both forms give one image.
TEST_F(PosixFilesTest, SampleImagesLoad) {
  const fs::path examples = fs::path(ZQ_SOURCE_DIR) / "examples";
  struct Loaded {
    bool ok;
    std::string error;
    ImageBuffer image;
  };
  auto load = [&](const std::string& name) {
    Loaded out{};
    out.ok = LoadImageFile(port_, (examples / name).string(), name, FileExtension(name), out.image,
                           out.error);
    return out;
  };
  const Loaded raw = load("sample.bin");
  const Loaded hex = load("sample.hex");
  ASSERT_TRUE(raw.ok) << raw.error;
  ASSERT_TRUE(hex.ok) << hex.error;
  EXPECT_EQ(raw.image.codeSize, fs::file_size(examples / "sample.bin"));
  EXPECT_EQ(hex.image.codeSize, raw.image.codeSize);
  EXPECT_EQ(hex.image.data, raw.image.data);
  const Loaded bad = load("bad_checksum.hex");
  EXPECT_FALSE(bad.ok);
  EXPECT_EQ(bad.error, "Read file failed.(Check sum error)");
  const Loaded missing = load("missing.hex");
  EXPECT_EQ(missing.error, "Could not open missing.hex");
}

}  // namespace
}  // namespace zq
