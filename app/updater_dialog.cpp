#include "app/updater_dialog.h"
#include "app/texts.h"
#include "protocol/chip_info_display.h"
#include "resources/resource.h"

namespace zq {
namespace {

constexpr const char* NO_FILE_TITLE = "No File Loaded";
constexpr const char* LOAD_FILTER = "ROM Code Files (*.bin;*.hex)|*.bin; *.hex||";
constexpr const char* SAVE_FILTER = "ROM Code Files (*.bin)|*.bin||";
constexpr const char* SAVE_DEFAULT_NAME = "output.bin";

}  // namespace

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
  AspiLayer* layer = platform.LoadAspi();
  if (layer == nullptr) {
    ShowError(TEXT_NO_ASPI);
    return -1;
  }
  usePassThrough = 0;  // the library stays loaded until the process ends
  aspi = std::make_unique<AspiTransport>(*layer);
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
  ChipInfo chipInfo;
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

UpdateOptions UpdaterDialog::UpdateChoices(const UpdateSteps& steps) {
  UpdateOptions options{true, [this] { return IsVerificationTicked(); }, steps};
  return options;
}

void UpdaterDialog::OnUpdate() {
  operations.Begin();
  std::unique_ptr<Bridge> bridge = FindBridge(true);
  lastUpdate =
      operations.UpdateAfterSearch(bridge.get(), image, UpdateChoices(WindowUpdateSteps()));
}

void UpdaterDialog::UpdateBridge(std::unique_ptr<Bridge> bridge, const UpdateSteps& steps) {
  lastUpdate = operations.Update(bridge.get(), image, UpdateChoices(steps));
}

void UpdaterDialog::OnReadRom() {
  operations.Begin();
  std::unique_ptr<Bridge> bridge = FindBridge(false);
  ReadRomOptions options;
  options.sayReading = usePassThrough != 0;
  options.chooseTarget = [this](FileChoice& choice) {
    FileDialogRequest request;
    request.filter = SAVE_FILTER;
    request.defaultName = SAVE_DEFAULT_NAME;
    request.overwritePrompt = true;
    return window.SaveFileDialog(request, choice);
  };
  operations.ReadRomAfterSearch(bridge.get(), options);
}

void UpdaterDialog::SetStatus(const std::string& text) {
  controls.ShowStatus(text);
}

void UpdaterDialog::BeginProgress() {
  operations.Progress().Begin();
}

void UpdaterDialog::SetProgress(uint8_t pos) {
  operations.Progress().Set(pos);
}

void UpdaterDialog::AddProgress(uint8_t step) {
  operations.Progress().Add(step);
}

void UpdaterDialog::StepProgress(uint8_t step, uint8_t cap) {
  operations.Progress().StepProgress(step, cap);
}

void UpdaterDialog::ResetStatus() {
  operations.Reset();
}

void UpdaterDialog::ShowError(const std::string& text) {
  controls.ShowError(text);
}

void UpdaterDialog::ShowNotice(const std::string& text) {
  controls.ShowNotice(text);
}

bool UpdaterDialog::IsVerificationTicked() {
  return window.IsChecked(IDC_VERIFY);
}

void UpdaterDialog::EnableUpdate() {
  window.EnableControl(IDC_UPDATE, true);
}

void UpdaterDialog::ShowChipInfo(const ChipInfo& info) {
  controls.ShowChipInfo(info);
}

void DialogControls::ShowStatus(const std::string& text) {
  window_.SetControlText(IDC_STATUS, text);
}

void DialogControls::BeginProgress() {
  window_.SetProgressRange(IDC_PROGRESS, 0, 100);
  window_.SetProgressPos(IDC_PROGRESS, 0);
  window_.ShowControl(IDC_PROGRESS, true);
}

void DialogControls::ShowProgress(uint8_t pos) {
  window_.SetProgressPos(IDC_PROGRESS, pos);
}

void DialogControls::HideProgress() {
  window_.ShowControl(IDC_PROGRESS, false);
}

void DialogControls::ShowChipInfo(const ChipInfo& info) {
  const ChipLabels labels = FormatChipLabels(info);
  window_.SetControlText(IDC_VENDOR_ID, labels.vendor);
  window_.SetControlText(IDC_CHIP_ID, labels.chip);
  window_.SetControlText(IDC_ROM_SIZE, labels.romSize);
  window_.SetControlText(IDC_FW_VERSION, labels.fwVersion);
}

void DialogControls::ShowError(const std::string& text) {
  window_.ShowBox(text, "ERROR", BoxKind::Error);
}

void DialogControls::ShowNotice(const std::string& text) {
  window_.ShowBox(text, "Status", BoxKind::Notice);
}

}  // namespace zq
