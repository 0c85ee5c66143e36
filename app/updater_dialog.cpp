#include "app/updater_dialog.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/texts.h"
#include "protocol/chip_info_display.h"
#include "resources/resource.h"

namespace zq {
namespace {

constexpr const char* NO_FILE_TITLE = "No File Loaded";
constexpr const char* LOAD_FILTER = "ROM Code Files (*.bin;*.hex)|*.bin; *.hex||";
constexpr const char* SAVE_FILTER = "ROM Code Files (*.bin)|*.bin||";
constexpr const char* SAVE_DEFAULT_NAME = "output.bin";

constexpr uint8_t POS_AFTER_ERASE = 40;
constexpr uint8_t CAP_WRITING = 75;
constexpr uint8_t CAP_READING = 95;
constexpr uint8_t POS_DONE = 100;

constexpr uint32_t FIRMWARE_DATE_THRESHOLD = 30408;  // 2003-04-08
constexpr uint32_t DEFAULT_READ_LENGTH = 32768;
constexpr uint32_t ROM_SIZE_UNIT = 16384;

}  // namespace

uint32_t RomReadLength(const ChipInfo& info) {
  const uint32_t date = info.fwYear * 10000u + info.fwMonth * 100u + info.fwDay;
  if (date <= FIRMWARE_DATE_THRESHOLD || info.romSizeCode == 0) return DEFAULT_READ_LENGTH;
  // 16-bit addresses reach no further than 64 KB, whatever size the chip reports
  if (info.romSizeCode >= 3) return ROM_SPACE;
  return ROM_SIZE_UNIT << info.romSizeCode;
}

bool BindAspiLayer(Platform& platform) {
  if (!platform.LoadAspiLibrary()) return false;
  const bool haveSupportInfo = platform.BindAspiEntryPoint("GetASPI32SupportInfo");
  const bool haveSendCommand = platform.BindAspiEntryPoint("SendASPI32Command");
  if (haveSupportInfo && haveSendCommand) return true;
  platform.FreeAspiLibrary();
  return false;
}

std::string CodeSizeLabel(uint32_t codeSize) {
  char label[48];
  std::snprintf(label, sizeof label, " Code size: %d(B)", static_cast<int>(codeSize));
  return label;
}

UpdaterDialog::UpdaterDialog(WindowPort& windowPort, FilePort& filePort, Platform& platformPort)
    : window(windowPort), files(filePort), platform(platformPort) {}

UpdaterDialog::~UpdaterDialog() = default;

int UpdaterDialog::OnCreate() {
  const PlatformFamily family = platform.Family();
  if (family == PlatformFamily::Other) {
    ShowError(TEXT_PLATFORM);
    return -1;
  }
  imageName.clear();
  if (family == PlatformFamily::Nt) {
    usePassThrough = 1;
    passThrough = std::make_unique<PassThroughTransport>(platform.PassThrough());
    return 0;
  }
  if (!BindAspiLayer(platform)) {
    ShowError(TEXT_NO_ASPI);
    return -1;
  }
  usePassThrough = 0;  // the library stays loaded until the process ends
  aspi = std::make_unique<AspiTransport>(platform.Aspi());
  return 0;
}

bool UpdaterDialog::OnInitDialog() {
  window.SetControlText(IDC_ROM_SIZE, " ROM size:");
  window.SetControlText(IDC_FW_VERSION, " FW ver.");
  window.SetControlText(IDC_CODE_SIZE, " Code size:");
  window.SetControlText(IDC_VENDOR_ID, " Vendor ID: ");
  window.SetControlText(IDC_CHIP_ID, " Chip ID: ");
  SetStatus("");
  titlePrefix = TITLE_PREFIX;
  window.SetTitle(titlePrefix + NO_FILE_TITLE);
  return true;  // focus goes to the first control that takes it
}

void UpdaterDialog::OnLoadFile() {
  FileDialogRequest request;
  request.filter = LOAD_FILTER;
  request.fileMustExist = true;
  request.overwritePrompt = true;
  FileChoice choice;
  if (!window.OpenFileDialog(request, choice)) return;

  imagePath = choice.path;
  imageName = choice.name;
  // Load beside the current image so a failed load leaves it, the title,
  // the code size and the Update button as they were.
  std::string errorText;
  if (!LoadImageFile(files, imagePath, imageName, choice.extension, scratch, errorText)) {
    ShowError(errorText);
    return;
  }
  UseLoadedImage(scratch);
}

void UpdaterDialog::UseLoadedImage(const ImageBuffer& loaded) {
  image = loaded;
  window.SetTitle(titlePrefix + imageName);
  EnableUpdate();
  window.SetControlText(IDC_CODE_SIZE, CodeSizeLabel(image.codeSize));
}

void UpdaterDialog::UseLoadedImage(const ImageBuffer& loaded, const FileChoice& choice) {
  imagePath = choice.path;
  imageName = choice.name;
  UseLoadedImage(loaded);
}

std::unique_ptr<Bridge> UpdaterDialog::FindBridge(bool forUpdate) {
  if (usePassThrough) {
    std::unique_ptr<Bridge> bridge = passThrough->FindBridge(InterfaceClass::Disk, BRIDGE_VENDOR_ID,
                                                             BRIDGE_PRODUCT_ID, chipInfo);
    if (forUpdate) AddProgress(2);
    if (!bridge) {
      bridge = passThrough->FindBridge(InterfaceClass::CdRom, BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID,
                                       chipInfo);
    }
    if (forUpdate) AddProgress(3);
    return bridge;
  }
  std::unique_ptr<Bridge> bridge = aspi->FindBridge(BRIDGE_VENDOR_ID, BRIDGE_PRODUCT_ID, chipInfo);
  if (bridge) AddProgress(5);
  return bridge;
}

void UpdaterDialog::TakeBridge(const std::unique_ptr<Bridge>& bridge) {
  BeginProgress();
  SetStatus(TEXT_GETTING_INFO);
  if (bridge) chipInfo = bridge->Info();
}

UpdaterDialog::FinalMessage UpdaterDialog::RunUpdate(Bridge* bridge, const UpdateSteps& steps) {
  if (bridge == nullptr) return {UpdateResult::NoDevice, TEXT_NO_DEVICE};
  ShowChipInfo(chipInfo);
  if (chipInfo.accessFlag == 0) return {UpdateResult::Rejected, TEXT_REJECTED};
  // an image with no code would leave the chip erased and call it updated
  if (image.codeSize == 0) return {UpdateResult::NoCode, TEXT_NO_CODE};

  const uint32_t writeLength = std::min(image.codeSize, LARGEST_WRITE);
  switch (steps.check.BeforeErase(*bridge, image.data.data(), writeLength)) {
    case EraseVerdict::Go:
      break;
    case EraseVerdict::Unchanged:
      return {UpdateResult::Unchanged, ""};
    case EraseVerdict::Decline:
      return {UpdateResult::Declined, ""};
  }
  // a stop asked for during the check wins: nothing is erased after it
  if (!steps.stops.Hold()) return {UpdateResult::Declined, TEXT_STOPPED_BEFORE_ERASE};
  FinalMessage message = EraseAndWrite(*bridge, writeLength, steps.polling);
  // marked before the hold goes, so a stop that finds nothing held knows
  if (message.result != UpdateResult::Updated) steps.stops.FailedAfterErase();
  steps.stops.Release();
  if (message.result == UpdateResult::Updated && steps.stops.Requested()) {
    return {UpdateResult::StoppedAfterWrite, ""};
  }
  if (message.result != UpdateResult::Updated) return message;

  SetStatus(TEXT_READING);
  if (!IsVerificationTicked()) {
    StepProgress(1, CAP_READING);
  } else {
    // bytes that never came read as the opposite of the image
    if (!ReadIntoScratch(*bridge, image.codeSize, image.data.data())) {
      steps.stops.FailedAfterErase();
      return {UpdateResult::ReadFailed, TEXT_READ_FAILED};
    }
    if (std::memcmp(scratch.data.data(), image.data.data(), image.codeSize) != 0) {
      steps.stops.FailedAfterErase();
      return {UpdateResult::VerifyFailed, TEXT_VERIFY_FAILED};
    }
  }
  SetProgress(POS_DONE);
  return {UpdateResult::Updated, TEXT_UPDATED};
}

UpdaterDialog::FinalMessage UpdaterDialog::EraseAndWrite(Bridge& bridge, uint32_t writeLength,
                                                         const ErasePolling& polling) {
  SetStatus(TEXT_ERASING);
  if (!bridge.EraseAndWait(*this, writeLength, polling)) {
    return {UpdateResult::EraseFailed, TEXT_ERASE_FAILED};
  }
  SetProgress(POS_AFTER_ERASE);

  image.codeSize = writeLength;
  SetStatus(TEXT_WRITING);
  for (uint32_t offset = 0; offset < image.codeSize; offset += BLOCK_SIZE) {
    const uint32_t length = std::min(BLOCK_SIZE, image.codeSize - offset);
    if (!bridge.WriteBlock(offset, length, image.data.data() + offset)) {
      return {UpdateResult::WriteFailed, TEXT_WRITE_FAILED};
    }
    StepProgress(1, CAP_WRITING);
  }
  return {UpdateResult::Updated, ""};
}

void UpdaterDialog::OnUpdate() {
  BeginProgress();
  SetStatus(TEXT_GETTING_INFO);
  std::unique_ptr<Bridge> bridge = FindBridge(true);
  Update(bridge.get(), WindowUpdateSteps());
}

void UpdaterDialog::UpdateBridge(std::unique_ptr<Bridge> bridge, const UpdateSteps& steps) {
  TakeBridge(bridge);
  AddProgress(5);  // as far as a search moves the bar
  Update(bridge.get(), steps);
}

void UpdaterDialog::Update(Bridge* bridge, const UpdateSteps& steps) {
  const FinalMessage message = RunUpdate(bridge, steps);
  lastUpdate = message.result;
  if (message.result == UpdateResult::Updated) {
    ShowNotice(message.text);
  } else if (!message.text.empty()) {
    ShowError(message.text);
  }
  ResetStatus();
}

void UpdaterDialog::OnReadRom() {
  BeginProgress();
  SetStatus(TEXT_GETTING_INFO);
  std::unique_ptr<Bridge> bridge = FindBridge(false);
  ReadRom(bridge.get());
}

void UpdaterDialog::ReadRomOf(std::unique_ptr<Bridge> bridge) {
  TakeBridge(bridge);
  ReadRom(bridge.get());
}

void UpdaterDialog::ReadRom(Bridge* bridge) {
  if (bridge == nullptr) {
    ShowError(TEXT_NO_DEVICE);
    ResetStatus();
    return;
  }
  ShowChipInfo(chipInfo);
  const uint32_t readLength = RomReadLength(chipInfo);
  if (usePassThrough) SetStatus(TEXT_READING);
  SaveRom(*bridge, readLength);
  ResetStatus();
}

void UpdaterDialog::ShowChipInfoOf(std::unique_ptr<Bridge> bridge) {
  TakeBridge(bridge);
  if (bridge) {
    ShowChipInfo(chipInfo);
  } else {
    ShowError(TEXT_NO_DEVICE);
  }
  ResetStatus();
}

bool UpdaterDialog::ReadIntoScratch(Bridge& bridge, uint32_t length, const uint8_t* expected) {
  // the bar steps once a block while reading
  class ReadingSteps final : public BlockProgress {
   public:
    explicit ReadingSteps(UpdaterDialog& dialog) : dialog_(dialog) {}
    void BlockRead() override { dialog_.StepProgress(1, CAP_READING); }

   private:
    UpdaterDialog& dialog_;
  };
  // no load runs during an operation, so the load's scratch buffer is free
  scratch.data.fill(0);
  ReadingSteps steps(*this);
  return ReadRange(bridge, length, scratch.data.data(), steps, expected);
}

void UpdaterDialog::SaveRom(Bridge& bridge, uint32_t readLength) {
  if (!ReadIntoScratch(bridge, readLength)) {
    ShowError(TEXT_READ_FAILED);
    return;
  }
  ShowNotice(TEXT_READ_DONE);

  FileDialogRequest request;
  request.filter = SAVE_FILTER;
  request.defaultName = SAVE_DEFAULT_NAME;
  request.overwritePrompt = true;
  FileChoice choice;
  if (!window.SaveFileDialog(request, choice)) return;

  // the dump goes to a new file that replaces the old one only once complete
  std::unique_ptr<OutputFile> output = files.CreateForWrite(choice.path);
  if (!output) {
    ShowError("Could not create " + choice.name);
    ResetStatus();
    return;
  }
  uint32_t written = 0;
  if (!output->Write(scratch.data.data(), readLength, written) || written != readLength ||
      !output->Flush()) {
    ShowError(TEXT_WRITE_FILE_FAILED);
    ResetStatus();
    return;
  }
  // the bytes are safe; only the old file would not make way for them
  if (!output->Commit()) {
    ShowError("Could not create " + choice.name);
    ResetStatus();
    return;
  }
  SetProgress(POS_DONE);
}

void UpdaterDialog::SetStatus(const std::string& text) {
  window.SetControlText(IDC_STATUS, text);
}

void UpdaterDialog::BeginProgress() {
  window.SetProgressRange(IDC_PROGRESS, 0, 100);
  SetProgress(0);
  window.ShowControl(IDC_PROGRESS, true);
}

void UpdaterDialog::SetProgress(uint8_t pos) {
  progressPos = pos;
  window.SetProgressPos(IDC_PROGRESS, progressPos);
}

void UpdaterDialog::AddProgress(uint8_t step) {
  progressPos = static_cast<uint8_t>(progressPos + step);
  window.SetProgressPos(IDC_PROGRESS, progressPos);
}

void UpdaterDialog::StepProgress(uint8_t step, uint8_t cap) {
  // a position above the cap is pulled back to it
  progressPos = progressPos >= cap ? cap : static_cast<uint8_t>(progressPos + step);
  window.SetProgressPos(IDC_PROGRESS, progressPos);
}

void UpdaterDialog::ResetStatus() {
  SetStatus("");
  SetProgress(0);
  window.ShowControl(IDC_PROGRESS, false);
}

void UpdaterDialog::ShowError(const std::string& text) {
  window.ShowBox(text, "ERROR", BoxKind::Error);
}

void UpdaterDialog::ShowNotice(const std::string& text) {
  window.ShowBox(text, "Status", BoxKind::Notice);
}

bool UpdaterDialog::IsVerificationTicked() {
  return window.IsChecked(IDC_VERIFY);
}

void UpdaterDialog::EnableUpdate() {
  window.EnableControl(IDC_UPDATE, true);
}

void UpdaterDialog::ShowChipInfo(const ChipInfo& info) {
  const ChipLabels labels = FormatChipLabels(info);
  window.SetControlText(IDC_VENDOR_ID, labels.vendor);
  window.SetControlText(IDC_CHIP_ID, labels.chip);
  window.SetControlText(IDC_ROM_SIZE, labels.romSize);
  window.SetControlText(IDC_FW_VERSION, labels.fwVersion);
}

}  // namespace zq
