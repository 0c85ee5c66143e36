// The updater's one window: its state, its buttons and how the bridge
// operations show on its controls, written against the window, file and
// platform ports.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/bridge_operations.h"
#include "app/operation_view.h"
#include "app/platform.h"
#include "app/update_result.h"
#include "app/update_steps.h"
#include "app/window_port.h"
#include "image/file_port.h"
#include "image/image_buffer.h"
#include "protocol/bridge.h"
#include "protocol/vendor_commands.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

namespace zq {

inline constexpr const char* TITLE_PREFIX = "ZQ5210  Tarnwick 2.1.4 QD94N - ";

// An operation's view as the window's controls: the status line, the
// progress bar, the four chip labels and message boxes.
class DialogControls final : public OperationView {
 public:
  explicit DialogControls(WindowPort& window) : window_(window) {}
  void ShowStatus(const std::string& text) override;
  void BeginProgress() override;
  void ShowProgress(uint8_t pos) override;
  void HideProgress() override;
  void ShowChipInfo(const ChipInfo& info) override;
  void ShowError(const std::string& text) override;
  void ShowNotice(const std::string& text) override;

 private:
  WindowPort& window_;
};

class UpdaterDialog final {
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

  // The update on a bridge the host found (null: none was found), with the
  // host's own steps around it.
  void UpdateBridge(std::unique_ptr<Bridge> bridge, const UpdateSteps& steps);
  UpdateResult LastUpdate() const { return lastUpdate; }

  // Status line, progress bar and message boxes.
  void SetStatus(const std::string& text);
  void BeginProgress();
  void SetProgress(uint8_t pos);
  void AddProgress(uint8_t step);
  void StepProgress(uint8_t step, uint8_t cap);
  void ResetStatus();
  void ShowError(const std::string& text);
  void ShowNotice(const std::string& text);
  bool IsVerificationTicked();
  void EnableUpdate();
  void ShowChipInfo(const ChipInfo& info);

  // State, for the hosts.
  const ImageBuffer& Image() const { return image; }
  bool UsesPassThrough() const { return usePassThrough != 0; }
  uint8_t ProgressPos() const { return operations.Progress().Position(); }
  const std::string& ImagePath() const { return imagePath; }
  const std::string& ImageName() const { return imageName; }

 private:
  // Finds the bridge on the transport in use; the update moves the bar while
  // searching, reading the ROM does so only on the ASPI path.
  std::unique_ptr<Bridge> FindBridge(bool forUpdate);
  void UseLoadedImage(const ImageBuffer& loaded);
  // What an update takes from the window: the verification box, read once
  // the writing is done.
  UpdateOptions UpdateChoices(const UpdateSteps& steps);

  WindowPort& window;
  FilePort& files;
  Platform& platform;
  DialogControls controls{window};
  BridgeOperations operations{controls, files};

  std::string titlePrefix;
  std::string imagePath;
  std::string imageName;
  ImageBuffer image{};
  ImageBuffer scratch{};  // a load lands here and replaces `image` only on success
  uint8_t usePassThrough = 0;
  UpdateResult lastUpdate = UpdateResult::NotRun;
  std::unique_ptr<PassThroughTransport> passThrough;
  std::unique_ptr<AspiTransport> aspi;
};

}  // namespace zq
