#include "cli/safe_update.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "app/bridge_operations.h"
#include "app/texts.h"
#include "cli/erase_polling.h"
#include "cli/stop_requests.h"

namespace zq::cli {
namespace {

constexpr const char* TEXT_UNCHANGED = "The flash already holds this image.";

}  // namespace

UpdateSteps SafeUpdateCheck::Steps() {
  return {COMMAND_LINE_ERASE_POLLING, *this, ProcessStops()};
}

void SafeUpdateCheck::Refuse(const std::string& text) {
  view_.ShowError(text);
}

EraseVerdict SafeUpdateCheck::BeforeErase(Bridge& bridge, const uint8_t* code, uint32_t length) {
  if (ProcessStops().Requested()) {
    Refuse(TEXT_STOPPED_BEFORE_ERASE);
    return EraseVerdict::Decline;
  }
  // one read serves the backup and the look at what the flash holds
  const uint32_t readLength =
      choices_.backupPath.empty() ? length : std::max(length, RomReadLength(bridge.Info()));
  std::vector<uint8_t> flash(readLength);
  // bytes a carrier failed to deliver never pass for the image; a backup,
  // which has nothing to hold them against, reads each block twice where
  // the carrier cannot tell a short read
  const uint8_t* expected = choices_.backupPath.empty() ? code : nullptr;
  if (!ReadRange(bridge, readLength, flash.data(), expected)) {
    Refuse(TEXT_READ_FAILED);
    return EraseVerdict::Decline;
  }
  if (!choices_.backupPath.empty()) {
    std::unique_ptr<OutputFile> out = files_.CreateForWrite(choices_.backupPath);
    uint32_t written = 0;
    if (!out || !out->Write(flash.data(), readLength, written) || written != readLength ||
        !out->Commit()) {
      Refuse("zq5210: cannot save the backup: " + files_.LastFailure() + "; nothing was erased");
      return EraseVerdict::Decline;
    }
    view_.Say("zq5210: saved " + std::to_string(readLength) + " bytes of flash to '" +
              choices_.backupPath + "'");
  }
  if (!choices_.rewrite && std::memcmp(flash.data(), code, length) == 0) {
    view_.ShowNotice(TEXT_UNCHANGED);
    return EraseVerdict::Unchanged;
  }
  if (choices_.ask && !view_.Confirm("Erase and rewrite the firmware of " + bridge.Name() + "?")) {
    Refuse("zq5210: not confirmed; nothing changed");
    return EraseVerdict::Decline;
  }
  return EraseVerdict::Go;
}

}  // namespace zq::cli
