// Start-up, the window's initial state, the progress helpers and loading.
#include <gtest/gtest.h>

#include "support/dialog_host.h"

namespace zq::test {
namespace {

const std::string TITLE = "ZQ5210  Tarnwick 2.1.4 QD94N - ";

TEST(StartUp, RefusesPlatformsOutsideBothFamilies) {
  {
    DialogHost host;
    host.platform.family = PlatformFamily::Other;
    EXPECT_EQ(host.dialog->OnCreate(), -1);
    ASSERT_EQ(host.window.boxes.size(), 1u);
    EXPECT_EQ(host.window.boxes[0].text, "The program only works on Win2000/XP/Me/98.");
    EXPECT_EQ(host.window.boxes[0].caption, "ERROR");
    EXPECT_EQ(host.window.boxes[0].kind, BoxKind::Error);
    EXPECT_TRUE(host.platform.calls.empty()) << "no ASPI library is touched";
  }
}

TEST(StartUp, NtFamilyUsesPassThroughWithoutLoadingAspi) {
  DialogHost host;
  EXPECT_TRUE(host.Start(PlatformFamily::Nt));
  EXPECT_TRUE(host.dialog->UsesPassThrough());
  EXPECT_TRUE(host.platform.calls.empty());
  EXPECT_TRUE(host.window.boxes.empty());
}

TEST(StartUp, ConsumerFamilyWithoutAspiLibraryRefusesTheWindow) {
  DialogHost host;
  host.platform.libraryPresent = false;
  host.platform.family = PlatformFamily::Consumer;
  EXPECT_EQ(host.dialog->OnCreate(), -1);
  ASSERT_EQ(host.window.boxes.size(), 1u);
  EXPECT_EQ(host.window.boxes[0].text, "Can't not find WNASPI32.DLL or the DLL file has error.");
  EXPECT_EQ(host.platform.calls, std::vector<std::string>{"LoadLibrary WNASPI32"});
}

TEST(StartUp, MissingEntryPointReleasesTheLibrary) {
  for (const char* present : {"GetASPI32SupportInfo", "SendASPI32Command"}) {
    DialogHost host;
    host.platform.entryPoints = {present};
    host.platform.family = PlatformFamily::Consumer;
    EXPECT_EQ(host.dialog->OnCreate(), -1) << present;
    ASSERT_EQ(host.window.boxes.size(), 1u);
    EXPECT_EQ(host.window.boxes[0].text, "Can't not find WNASPI32.DLL or the DLL file has error.");
    EXPECT_FALSE(host.platform.libraryLoaded) << "library released";
    EXPECT_EQ(host.platform.calls.back(), "FreeLibrary");
  }
}

TEST(InitDialog, SetsTheLabelsStatusAndTitleInOrder) {
  DialogHost host;
  host.platform.family = PlatformFamily::Nt;
  ASSERT_EQ(host.dialog->OnCreate(), 0);
  EXPECT_TRUE(host.dialog->OnInitDialog());
  const std::vector<std::string> expected = {
      "text IDC_ROM_SIZE  ROM size:",     "text IDC_FW_VERSION  FW ver.",
      "text IDC_CODE_SIZE  Code size:",   "text IDC_VENDOR_ID  Vendor ID: ",
      "text IDC_CHIP_ID  Chip ID: ",      "text IDC_STATUS ",
      "title " + TITLE + "No File Loaded"};
  EXPECT_EQ(host.window.events, expected);
  EXPECT_FALSE(host.window.enabled[IDC_UPDATE]);
  EXPECT_FALSE(host.window.visible[IDC_PROGRESS]);
}

TEST(Progress, StepPullsBackToTheCap) {
  DialogHost host;
  ASSERT_TRUE(host.Start(PlatformFamily::Nt));
  struct Case {
    uint8_t from, step, cap, to;
  };
  for (const Case& c :
       {Case{40, 1, 75, 41}, Case{74, 1, 75, 75}, Case{75, 1, 75, 75}, Case{90, 1, 75, 75},
        Case{94, 1, 95, 95}, Case{95, 1, 95, 95}, Case{25, 5, 30, 30}, Case{30, 5, 30, 30}}) {
    host.dialog->SetProgress(c.from);
    host.dialog->StepProgress(c.step, c.cap);
    EXPECT_EQ(host.dialog->ProgressPos(), c.to) << int{c.from} << " cap " << int{c.cap};
    EXPECT_EQ(host.window.progressPos, c.to) << "the bar follows the position";
  }
}

TEST(Progress, BeginAndResetFrameAnOperation) {
  DialogHost host;
  ASSERT_TRUE(host.Start(PlatformFamily::Nt));
  host.window.texts[IDC_VENDOR_ID] = " Vendor ID: SST";
  host.dialog->BeginProgress();
  host.dialog->SetStatus("Erasing...");
  host.dialog->AddProgress(5);
  host.dialog->ResetStatus();
  const std::vector<std::string> expected = {
      "range 0 100",      "pos 0", "show IDC_PROGRESS 1", "text IDC_STATUS Erasing...", "pos 5",
      "text IDC_STATUS ", "pos 0", "show IDC_PROGRESS 0"};
  EXPECT_EQ(host.window.events, expected);
  EXPECT_EQ(host.dialog->ProgressPos(), 0);
  EXPECT_EQ(host.window.Text(IDC_VENDOR_ID), " Vendor ID: SST") << "labels are left alone";
  EXPECT_EQ(host.window.title, TITLE + "No File Loaded");
}

TEST(LoadFile, SuccessNamesTheFileShowsTheSizeAndEnablesUpdate) {
  DialogHost host;
  ASSERT_TRUE(host.Start(PlatformFamily::Nt));
  host.files.AddFile("C:\\fw\\FIRMWARE.BIN", Pattern(1000));
  host.window.AnswerOpen("C:\\fw\\FIRMWARE.BIN");
  host.dialog->OnLoadFile();
  ASSERT_EQ(host.window.openRequests.size(), 1u);
  const FileDialogRequest& request = host.window.openRequests[0];
  EXPECT_EQ(request.filter, "ROM Code Files (*.bin;*.hex)|*.bin; *.hex||");
  EXPECT_TRUE(request.fileMustExist);
  EXPECT_TRUE(request.overwritePrompt);
  EXPECT_EQ(request.defaultExtension, "");
  EXPECT_EQ(request.defaultName, "");
  const std::vector<std::string> expected = {"open-dialog", "title " + TITLE + "FIRMWARE.BIN",
                                             "enable IDC_UPDATE 1",
                                             "text IDC_CODE_SIZE  Code size: 1000(B)"};
  EXPECT_EQ(host.window.events, expected);
  EXPECT_EQ(host.dialog->Image().codeSize, 1000u);
  EXPECT_EQ(host.dialog->ImagePath(), "C:\\fw\\FIRMWARE.BIN");
}

TEST(LoadFile, FailureKeepsTheEarlierImageTitleLabelAndButton) {
  DialogHost host;
  ASSERT_TRUE(host.Start(PlatformFamily::Nt));
  const std::vector<uint8_t> first = Pattern(700);
  ASSERT_TRUE(host.Load(first, "C:\\fw\\a.bin"));
  const ImageBuffer before = host.dialog->Image();

  // a hex file that decodes two records and then fails its checksum
  host.files.AddFile("C:\\fw\\b.hex",
                     ":0400000001020304F2\n:04001000AABBCCDDEE\n:0100200000FF\n:00000001FF\n");
  host.window.ClearTrail();
  host.window.AnswerOpen("C:\\fw\\b.hex");
  host.dialog->OnLoadFile();

  ASSERT_EQ(host.window.boxes.size(), 1u);
  EXPECT_EQ(host.window.boxes[0].text, "Read file failed.(Check sum error)");
  EXPECT_EQ(host.window.title, TITLE + "a.bin");
  EXPECT_EQ(host.window.Text(IDC_CODE_SIZE), " Code size: 700(B)");
  EXPECT_TRUE(host.window.enabled[IDC_UPDATE]);
  EXPECT_EQ(host.dialog->Image().codeSize, 700u);
  EXPECT_EQ(host.dialog->Image().data, before.data) << "no half-loaded image behind Update";
  EXPECT_EQ(host.dialog->ImageName(), "b.hex") << "names the file that failed";
}

TEST(LoadFile, FailedFirstLoadLeavesUpdateDisabled) {
  DialogHost host;
  ASSERT_TRUE(host.Start(PlatformFamily::Nt));
  host.files.AddFile("C:\\fw\\big.bin", Pattern(65537));
  host.window.AnswerOpen("C:\\fw\\big.bin");
  host.dialog->OnLoadFile();
  ASSERT_EQ(host.window.boxes.size(), 1u);
  EXPECT_EQ(host.window.boxes[0].text, "big.bin file size is larger than ROM size.");
  EXPECT_FALSE(host.window.enabled[IDC_UPDATE]);
  EXPECT_EQ(host.window.title, TITLE + "No File Loaded");
  EXPECT_EQ(host.window.Text(IDC_CODE_SIZE), " Code size:");
}

TEST(LoadFile, CancelChangesNothing) {
  DialogHost host;
  ASSERT_TRUE(host.Start(PlatformFamily::Nt));
  ASSERT_TRUE(host.Load(Pattern(10), "C:\\fw\\a.bin"));
  host.window.ClearTrail();
  host.window.CancelNextDialog(true);
  host.dialog->OnLoadFile();
  EXPECT_EQ(host.window.events, std::vector<std::string>{"open-dialog"});
  EXPECT_EQ(host.dialog->ImageName(), "a.bin");
  EXPECT_EQ(host.dialog->Image().codeSize, 10u);
}

TEST(LoadFile, HexWithOnlyAnEndRecordLoadsWithCodeSizeZero) {
  DialogHost host;
  ASSERT_TRUE(host.Start(PlatformFamily::Nt));
  host.files.AddFile("C:\\fw\\Image.Hex", ":00000001FF\r\n");
  host.window.AnswerOpen("C:\\fw\\Image.Hex");
  host.dialog->OnLoadFile();
  EXPECT_TRUE(host.window.boxes.empty());
  EXPECT_EQ(host.window.Text(IDC_CODE_SIZE), " Code size: 0(B)");
  EXPECT_TRUE(host.window.enabled[IDC_UPDATE]);
}

}  // namespace
}  // namespace zq::test
