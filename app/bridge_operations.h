// The three things the updater does with a bridge — update its flash, read
// it out, show its chip information — reporting to an OperationView and
// taking every choice as a value, so the window and the command line run
// the same steps.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "app/operation_view.h"
#include "app/update_result.h"
#include "app/update_steps.h"
#include "app/window_port.h"
#include "image/file_port.h"
#include "image/image_buffer.h"
#include "protocol/bridge.h"

namespace zq {

// Most bytes an update writes, whatever the image holds.
constexpr uint32_t LARGEST_WRITE = 32768;

// Bytes that a ROM read reads, from the firmware date and the ROM size code.
uint32_t RomReadLength(const ChipInfo& info);

// The bar's position, kept here and shown on the view.
class OperationProgress final : public ProgressStepper {
 public:
  explicit OperationProgress(OperationView& view) : view_(view) {}
  // Shows the bar at 0.
  void Begin();
  void Set(uint8_t pos);
  void Add(uint8_t step);
  // A position at or above the cap is pulled back to it.
  void StepProgress(uint8_t step, uint8_t cap) override;
  uint8_t Position() const { return pos_; }

 private:
  OperationView& view_;
  uint8_t pos_ = 0;
};

struct UpdateOptions {
  // Read the flash back and compare it with the image once written.
  bool verify = true;
  // When set, asked in place of `verify` once the writing is done (a
  // window's check box can change while the update runs).
  std::function<bool()> verifyOnceWritten;
  // The host's look before the erase, its stop guard and erase polling.
  UpdateSteps steps = WindowUpdateSteps();
};

struct ReadRomOptions {
  // Where the flash's bytes are saved. Without one, `chooseTarget` is asked
  // once they are read; when it is missing or declines, nothing is saved.
  std::optional<FileChoice> target;
  std::function<bool(FileChoice&)> chooseTarget;
  // The status line says the flash is being read.
  bool sayReading = true;
};

class BridgeOperations {
 public:
  BridgeOperations(OperationView& view, FilePort& files) : view_(view), files_(files) {}

  // Starts an operation: the bar at 0 and the status saying the chip is asked.
  // A host that searches for the bridge itself does so after this.
  void Begin();
  // Status line cleared, the bar at 0 and hidden.
  void Reset();

  // On a bridge the host found (null: none was), from the start. The update
  // writes at most LARGEST_WRITE bytes of `image` and lowers its code size
  // to what it wrote once the erase succeeded.
  UpdateResult Update(Bridge* bridge, ImageBuffer& image, const UpdateOptions& options);
  // False when an error was shown.
  bool ReadRom(Bridge* bridge, const ReadRomOptions& options);
  bool ShowChipInfo(Bridge* bridge);

  // The same after Begin and the host's own search.
  UpdateResult UpdateAfterSearch(Bridge* bridge, ImageBuffer& image, const UpdateOptions& options);
  bool ReadRomAfterSearch(Bridge* bridge, const ReadRomOptions& options);

  OperationProgress& Progress() { return progress_; }
  const OperationProgress& Progress() const { return progress_; }

 private:
  struct Outcome {
    UpdateResult result;
    const char* text;  // the box to show; none when empty
  };

  Outcome RunUpdate(Bridge* bridge, ImageBuffer& image, const UpdateOptions& options);
  Outcome EraseAndWrite(Bridge& bridge, ImageBuffer& image, uint32_t writeLength,
                        const ErasePolling& polling);
  // Reads `length` bytes from address 0 into `into` (zeroed first), stepping
  // the bar per block (`expected`: the bytes a verification wants).
  bool ReadStepping(Bridge& bridge, uint32_t length, std::vector<uint8_t>& into,
                    const uint8_t* expected = nullptr);
  bool SaveRom(Bridge& bridge, uint32_t readLength, const ReadRomOptions& options);

  OperationView& view_;
  FilePort& files_;
  OperationProgress progress_{view_};
};

}  // namespace zq
