#include "platform/posix/posix_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "image/image_buffer.h"

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

TEST_F(PosixFilesTest, ReadOnlyFileIsRefusedAndAWritableOneInALockedFolderIsWrittenInPlace) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  Put("read-only.bin", "keep");
  fs::permissions(PathOf("read-only.bin"), fs::perms::owner_read);
  EXPECT_EQ(port_.CreateForWrite(PathOf("read-only.bin")), nullptr);
  EXPECT_EQ(Get("read-only.bin"), "keep");

  Put("writable.bin", "old content");
  fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);  // no new files
  auto file = port_.CreateForWrite(PathOf("writable.bin"));
  auto fresh = port_.CreateForWrite(PathOf("new.bin"));
  fs::permissions(folder_, fs::perms::owner_all);
  EXPECT_EQ(fresh, nullptr);
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(WriteAll(*file, "dump"));
  ASSERT_TRUE(file->Commit());
  EXPECT_EQ(Get("writable.bin"), "dump");
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
  const fs::path examples = fs::path(__FILE__).parent_path().parent_path() / "examples";
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
