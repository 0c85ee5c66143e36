// A readable record of the commands a bridge receives, one per line, and a
// strict replay that holds a run against it command by command:
//
//   # opcode address length data bytes cdb answer [status reply]
//   E0 0000 0000 in 12 6 good
//   F7 0000 0000 in 1 6 good busy
//   E2 0200 01E8 out 488 6 good
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulator/bridge_device.h"

namespace zq {

struct TranscriptLine {
  uint8_t opcode = 0;
  uint16_t address = 0;  // CDB bytes 2-3
  uint16_t length = 0;   // CDB bytes 4-5
  DataDirection direction = DataDirection::None;
  uint32_t transferLength = 0;
  size_t cdbLength = 0;
  DeviceAnswer answer = DeviceAnswer::Good;
  std::optional<uint8_t> statusReply;  // what a status poll answered

  friend bool operator==(const TranscriptLine&, const TranscriptLine&) = default;
};

TranscriptLine LineOf(const CommandLogEntry& entry);
std::string FormatTranscriptLine(const TranscriptLine& line);
// The whole log as transcript text, one line per command.
std::string FormatTranscript(const std::vector<CommandLogEntry>& log);

// Blank lines and text after '#' are skipped. On failure `error` names the
// line number and what is wrong with it, and `lines` is untouched.
bool ParseTranscript(const std::string& text, std::vector<TranscriptLine>& lines,
                     std::string& error);

// Lets through only the next expected command. The first deviation is kept
// as "command N: expected '...' but got '...'" and from then on every
// command is refused, so the run stops close to where it went astray.
class TranscriptReplay final : public CommandObserver {
 public:
  explicit TranscriptReplay(std::vector<TranscriptLine> expected);

  bool Admit(const CommandLogEntry& entry) override;
  void Answered(const CommandLogEntry& entry) override;

  // True when every expected command came, in order and answered as
  // written, and nothing else; otherwise `Mismatch` says where it differed.
  bool Finish();
  const std::string& Mismatch() const { return mismatch_; }

 private:
  bool Deviate(const std::string& expected, const std::string& actual);

  std::vector<TranscriptLine> expected_;
  size_t next_ = 0;        // index of the next expected command
  bool admitted_ = false;  // the command under way was checked by Admit
  std::string mismatch_;
};

}  // namespace zq
