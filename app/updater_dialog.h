// The updater's one window: its state, its three operations and the helpers
// they share, written against the window, file and platform ports.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/platform.h"
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

// What the host decides once the bridge is found and before it is erased.
enum class EraseVerdict { Go, Unchanged, Decline };

// Steps a host adds to the window's operations; the window itself adds none.
class OperationHooks {
 public:
  virtual ~OperationHooks() = default;
  // The bridge the host chose, in place of the window's own search; null
  // when there is none. `chipInfo` receives its record.
  virtual std::unique_ptr<Bridge> ChooseBridge(ChipInfo& chipInfo) = 0;
  // The bridge takes writes; `code` is what the update will write. The
  // host says why when it declines.
  virtual EraseVerdict BeforeErase(Bridge& bridge, const uint8_t* code, uint32_t length) = 0;
  // From the erase command to the last written block, stop requests wait.
  virtual void HoldStops(bool hold) = 0;
  // A stop was asked for while held: the update ends after the last block.
  virtual bool StopRequested() = 0;
  virtual const ErasePolling& Polling() = 0;
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
  // Sets up one transport directly, as a host that chose it does; -1 when
  // it cannot be had (showing why, as start-up does).
  int UseTransport(bool passThroughPath);
  bool OnInitDialog();

  // The three buttons.
  void OnLoadFile();
  // Takes an image a host loaded as Load File... would, with its file.
  void UseLoadedImage(const ImageBuffer& loaded, const FileChoice& choice);
  void OnUpdate();
  void OnReadRom();
  // Finds the bridge and shows its chip information, nothing more.
  void OnShowChipInfo();

  // Null for the window; the host outlives its use.
  void SetHooks(OperationHooks* operationHooks) { hooks = operationHooks; }
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
  void UseLoadedImage(const ImageBuffer& loaded);
  FinalMessage RunUpdate(Bridge* bridge);
  FinalMessage EraseAndWrite(Bridge& bridge, uint32_t writeLength);
  // Reads `length` bytes from address 0 in blocks into `scratch`, stepping
  // the bar per block; false at the first failed block.
  bool ReadIntoScratch(Bridge& bridge, uint32_t length);
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
  OperationHooks* hooks = nullptr;
  UpdateResult lastUpdate = UpdateResult::NotRun;
  std::unique_ptr<PassThroughTransport> passThrough;
  std::unique_ptr<AspiTransport> aspi;
};

}  // namespace zq
