// The updater's one window: its state, its three operations and the helpers
// they share, written against the window, file and platform ports.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/platform.h"
#include "app/update_steps.h"
#include "app/window_port.h"
#include "image/file_port.h"
#include "image/image_buffer.h"
#include "protocol/bridge.h"
#include "protocol/vendor_commands.h"
#include "resources/resource.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

namespace zq {

inline constexpr const char* TITLE_PREFIX = "ZQ5210  Tarnwick 2.1.4 QD94N - ";

// Bytes that Read ROM reads, from the firmware date and the ROM size code.
uint32_t RomReadLength(const ChipInfo& info);

// The code size label as a load shows it.
std::string CodeSizeLabel(uint32_t codeSize);

// Loads the ASPI library and binds both entry points; false (with the
// library released) when either is missing.
bool BindAspiLayer(Platform& platform);

// Most bytes an update writes, whatever the image holds.
constexpr uint32_t LARGEST_WRITE = 32768;

// How the last update ended.
enum class UpdateResult {
  NotRun,
  NoDevice,     // nothing changed
  Rejected,     // nothing changed
  NoCode,       // nothing changed
  Declined,     // the host's checks stopped it before the erase
  Unchanged,    // the flash already held the image: nothing to do
  EraseFailed,  // from here on the flash may hold no working firmware
  WriteFailed,
  ReadFailed,
  VerifyFailed,
  StoppedAfterWrite,  // a stop was asked for while writing: written, not verified
  Updated,
};

class UpdaterDialog final : public ProgressStepper {
 public:
  UpdaterDialog(WindowPort& window, FilePort& files, Platform& platform);
  ~UpdaterDialog();
  UpdaterDialog(const UpdaterDialog&) = delete;
  UpdaterDialog& operator=(const UpdaterDialog&) = delete;

  // Window creation: picks the transport from the platform family; -1
  // refuses the window.
  int OnCreate();
  // For a host that finds bridges itself: the path they are reached by
  // decides a few texts and steps of the bar.
  void UseTextsOf(bool passThroughPath) { usePassThrough = passThroughPath ? 1 : 0; }
  bool OnInitDialog();

  // The three buttons.
  void OnLoadFile();
  // Takes an image a host loaded as Load File... would, with its file.
  void UseLoadedImage(const ImageBuffer& loaded, const FileChoice& choice);
  void OnUpdate();
  void OnReadRom();

  // The same operations on a bridge the host found (null: none was found),
  // with the host's own steps around the update.
  void UpdateBridge(std::unique_ptr<Bridge> bridge, const UpdateSteps& steps);
  void ReadRomOf(std::unique_ptr<Bridge> bridge);
  // Shows the bridge's chip information, nothing more.
  void ShowChipInfoOf(std::unique_ptr<Bridge> bridge);
  UpdateResult LastUpdate() const { return lastUpdate; }

  // Status line, progress bar and message boxes.
  void SetStatus(const std::string& text);
  void BeginProgress();
  void SetProgress(uint8_t pos);
  void AddProgress(uint8_t step);
  void StepProgress(uint8_t step, uint8_t cap) override;
  void ResetStatus();
  void ShowError(const std::string& text);
  void ShowNotice(const std::string& text);
  bool IsVerificationTicked();
  void EnableUpdate();
  void ShowChipInfo(const ChipInfo& info);

  // State, for the hosts.
  const ImageBuffer& Image() const { return image; }
  bool UsesPassThrough() const { return usePassThrough != 0; }
  uint8_t ProgressPos() const { return progressPos; }
  const std::string& ImagePath() const { return imagePath; }
  const std::string& ImageName() const { return imageName; }

 private:
  struct FinalMessage {
    UpdateResult result;
    std::string text;  // the box to show; none when empty
  };

  // Finds the bridge on the transport in use; the update moves the bar while
  // searching, reading the ROM does so only on the ASPI path.
  std::unique_ptr<Bridge> FindBridge(bool forUpdate);
  // A bridge the host found stands in for the search.
  void TakeBridge(const std::unique_ptr<Bridge>& bridge);
  void UseLoadedImage(const ImageBuffer& loaded);
  void Update(Bridge* bridge, const UpdateSteps& steps);
  FinalMessage RunUpdate(Bridge* bridge, const UpdateSteps& steps);
  FinalMessage EraseAndWrite(Bridge& bridge, uint32_t writeLength, const ErasePolling& polling);
  void ReadRom(Bridge* bridge);
  // Reads `length` bytes from address 0 into `scratch`, stepping the bar per
  // block, as ReadRange does (`expected`: the bytes a verification wants).
  bool ReadIntoScratch(Bridge& bridge, uint32_t length, const uint8_t* expected = nullptr);
  void SaveRom(Bridge& bridge, uint32_t readLength);

  WindowPort& window;
  FilePort& files;
  Platform& platform;

  std::string titlePrefix;
  std::string imagePath;
  std::string imageName;
  ImageBuffer image{};
  ImageBuffer scratch{};  // a load lands here and replaces `image` only on success
  uint8_t progressPos = 0;
  ChipInfo chipInfo{};
  uint8_t usePassThrough = 0;
  UpdateResult lastUpdate = UpdateResult::NotRun;
  std::unique_ptr<PassThroughTransport> passThrough;
  std::unique_ptr<AspiTransport> aspi;
};

}  // namespace zq
