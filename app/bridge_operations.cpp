#include "app/bridge_operations.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "app/texts.h"

namespace zq {
namespace {

constexpr uint8_t POS_AFTER_SEARCH = 5;
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

void OperationProgress::Begin() {
  pos_ = 0;
  view_.BeginProgress();
}

void OperationProgress::Set(uint8_t pos) {
  pos_ = pos;
  view_.ShowProgress(pos_);
}

void OperationProgress::Add(uint8_t step) {
  pos_ = static_cast<uint8_t>(pos_ + step);
  view_.ShowProgress(pos_);
}

void OperationProgress::StepProgress(uint8_t step, uint8_t cap) {
  pos_ = pos_ >= cap ? cap : static_cast<uint8_t>(pos_ + step);
  view_.ShowProgress(pos_);
}

void BridgeOperations::Begin() {
  progress_.Begin();
  view_.ShowStatus(TEXT_GETTING_INFO);
}

void BridgeOperations::Reset() {
  view_.ShowStatus("");
  progress_.Set(0);
  view_.HideProgress();
}

UpdateResult BridgeOperations::Update(Bridge* bridge, ImageBuffer& image,
                                      const UpdateOptions& options) {
  Begin();
  progress_.Add(POS_AFTER_SEARCH);  // as far as a search moves the bar
  return UpdateAfterSearch(bridge, image, options);
}

UpdateResult BridgeOperations::UpdateAfterSearch(Bridge* bridge, ImageBuffer& image,
                                                 const UpdateOptions& options) {
  const Outcome outcome = RunUpdate(bridge, image, options);
  if (outcome.result == UpdateResult::Updated) {
    view_.ShowNotice(outcome.text);
  } else if (outcome.text[0] != '\0') {
    view_.ShowError(outcome.text);
  }
  Reset();
  return outcome.result;
}

BridgeOperations::Outcome BridgeOperations::RunUpdate(Bridge* bridge, ImageBuffer& image,
                                                      const UpdateOptions& options) {
  if (bridge == nullptr) return {UpdateResult::NoDevice, TEXT_NO_DEVICE};
  view_.ShowChipInfo(bridge->Info());
  if (bridge->Info().accessFlag == 0) return {UpdateResult::Rejected, TEXT_REJECTED};
  // an image with no code would leave the chip erased and call it updated
  if (image.codeSize == 0) return {UpdateResult::NoCode, TEXT_NO_CODE};

  const UpdateSteps& steps = options.steps;
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
  const Outcome written = EraseAndWrite(*bridge, image, writeLength, steps.polling);
  // marked before the hold goes, so a stop that finds nothing held knows
  if (written.result != UpdateResult::Updated) steps.stops.FailedAfterErase();
  steps.stops.Release();
  if (written.result == UpdateResult::Updated && steps.stops.Requested()) {
    return {UpdateResult::StoppedAfterWrite, ""};
  }
  if (written.result != UpdateResult::Updated) return written;

  view_.ShowStatus(TEXT_READING);
  const bool verify = options.verifyOnceWritten ? options.verifyOnceWritten() : options.verify;
  if (!verify) {
    progress_.StepProgress(1, CAP_READING);
  } else {
    // bytes that never came read as the opposite of the image
    std::vector<uint8_t> flash;
    if (!ReadStepping(*bridge, image.codeSize, flash, image.data.data())) {
      steps.stops.FailedAfterErase();
      return {UpdateResult::ReadFailed, TEXT_READ_FAILED};
    }
    if (std::memcmp(flash.data(), image.data.data(), image.codeSize) != 0) {
      steps.stops.FailedAfterErase();
      return {UpdateResult::VerifyFailed, TEXT_VERIFY_FAILED};
    }
  }
  progress_.Set(POS_DONE);
  return {UpdateResult::Updated, TEXT_UPDATED};
}

BridgeOperations::Outcome BridgeOperations::EraseAndWrite(Bridge& bridge, ImageBuffer& image,
                                                          uint32_t writeLength,
                                                          const ErasePolling& polling) {
  view_.ShowStatus(TEXT_ERASING);
  if (!bridge.EraseAndWait(progress_, writeLength, polling)) {
    return {UpdateResult::EraseFailed, TEXT_ERASE_FAILED};
  }
  progress_.Set(POS_AFTER_ERASE);

  image.codeSize = writeLength;
  view_.ShowStatus(TEXT_WRITING);
  for (uint32_t offset = 0; offset < image.codeSize; offset += BLOCK_SIZE) {
    const uint32_t length = std::min(BLOCK_SIZE, image.codeSize - offset);
    if (!bridge.WriteBlock(offset, length, image.data.data() + offset)) {
      return {UpdateResult::WriteFailed, TEXT_WRITE_FAILED};
    }
    progress_.StepProgress(1, CAP_WRITING);
  }
  return {UpdateResult::Updated, ""};
}

bool BridgeOperations::ReadRom(Bridge* bridge, const ReadRomOptions& options) {
  Begin();
  return ReadRomAfterSearch(bridge, options);
}

bool BridgeOperations::ReadRomAfterSearch(Bridge* bridge, const ReadRomOptions& options) {
  if (bridge == nullptr) {
    view_.ShowError(TEXT_NO_DEVICE);
    Reset();
    return false;
  }
  view_.ShowChipInfo(bridge->Info());
  const uint32_t readLength = RomReadLength(bridge->Info());
  if (options.sayReading) view_.ShowStatus(TEXT_READING);
  const bool saved = SaveRom(*bridge, readLength, options);
  Reset();
  return saved;
}

bool BridgeOperations::ShowChipInfo(Bridge* bridge) {
  Begin();
  if (bridge != nullptr) {
    view_.ShowChipInfo(bridge->Info());
  } else {
    view_.ShowError(TEXT_NO_DEVICE);
  }
  Reset();
  return bridge != nullptr;
}

bool BridgeOperations::ReadStepping(Bridge& bridge, uint32_t length, std::vector<uint8_t>& into,
                                    const uint8_t* expected) {
  // the bar steps once a block while reading
  class ReadingSteps final : public BlockProgress {
   public:
    explicit ReadingSteps(OperationProgress& progress) : progress_(progress) {}
    void BlockRead() override { progress_.StepProgress(1, CAP_READING); }

   private:
    OperationProgress& progress_;
  };
  into.assign(length, 0);
  ReadingSteps steps(progress_);
  return ReadRange(bridge, length, into.data(), steps, expected);
}

bool BridgeOperations::SaveRom(Bridge& bridge, uint32_t readLength, const ReadRomOptions& options) {
  std::vector<uint8_t> flash;
  if (!ReadStepping(bridge, readLength, flash)) {
    view_.ShowError(TEXT_READ_FAILED);
    return false;
  }
  view_.ShowNotice(TEXT_READ_DONE);

  FileChoice choice;
  if (options.target) {
    choice = *options.target;
  } else if (!options.chooseTarget || !options.chooseTarget(choice)) {
    return true;
  }

  // the dump goes to a new file that replaces the old one only once complete
  std::unique_ptr<OutputFile> output = files_.CreateForWrite(choice.path);
  if (!output) {
    view_.ShowError("Could not create " + choice.name);
    Reset();
    return false;
  }
  uint32_t written = 0;
  if (!output->Write(flash.data(), readLength, written) || written != readLength ||
      !output->Flush()) {
    view_.ShowError(TEXT_WRITE_FILE_FAILED);
    Reset();
    return false;
  }
  // the bytes are safe; only the old file would not make way for them
  if (!output->Commit()) {
    view_.ShowError("Could not create " + choice.name);
    Reset();
    return false;
  }
  progress_.Set(POS_DONE);
  return true;
}

}  // namespace zq
