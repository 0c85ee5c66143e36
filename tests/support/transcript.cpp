#include "support/transcript.h"

#include <cstdio>
#include <initializer_list>
#include <sstream>
#include <utility>

#include "emulator/emulated_setup.h"

namespace zq {
namespace {

const char* DirectionWord(DataDirection direction) {
  switch (direction) {
    case DataDirection::In:
      return "in";
    case DataDirection::Out:
      return "out";
    default:
      return "none";
  }
}

const char* AnswerWord(DeviceAnswer answer) {
  switch (answer) {
    case DeviceAnswer::Good:
      return "good";
    case DeviceAnswer::CheckCondition:
      return "check";
    default:
      return "gone";
  }
}

// Built by appending: some compilers see a false overlap in chains of `+`.
std::string Join(std::initializer_list<std::string> parts) {
  std::string text;
  for (const std::string& part : parts) text.append(part);
  return text;
}

std::string Quoted(const std::string& text) {
  return Join({"'", text, "'"});
}

// The command as the tool sent it, without the device's answer.
std::string CommandPart(const TranscriptLine& line) {
  char text[64];
  std::snprintf(text, sizeof text, "%02X %04X %04X %s %u %zu", line.opcode, line.address,
                line.length, DirectionWord(line.direction), line.transferLength, line.cdbLength);
  return text;
}

// Exactly `digits` hex digits.
bool ParseHex(const std::string& word, size_t digits, uint32_t& value) {
  return word.size() == digits && ParseNumber(word, 16, 0, UINT32_MAX, value);
}

bool Reject(std::string& why, const char* text) {
  why = text;
  return false;
}

bool ParseLine(const std::vector<std::string>& words, TranscriptLine& line, std::string& why) {
  if (words.size() != 7 && words.size() != 8) {
    why = Join({"wants 7 or 8 fields, has ", std::to_string(words.size())});
    return false;
  }
  uint32_t value = 0;
  if (!ParseHex(words[0], 2, value)) return Reject(why, "opcode is not two hex digits");
  line.opcode = static_cast<uint8_t>(value);
  if (!ParseHex(words[1], 4, value)) return Reject(why, "address is not four hex digits");
  line.address = static_cast<uint16_t>(value);
  if (!ParseHex(words[2], 4, value)) return Reject(why, "length is not four hex digits");
  line.length = static_cast<uint16_t>(value);
  if (words[3] == "in") {
    line.direction = DataDirection::In;
  } else if (words[3] == "out") {
    line.direction = DataDirection::Out;
  } else if (words[3] == "none") {
    line.direction = DataDirection::None;
  } else {
    return Reject(why, "data direction is not in, out or none");
  }
  if (!ParseNumber(words[4], 10, 0, 65536, line.transferLength)) {
    return Reject(why, "data bytes is not a number up to 65536");
  }
  if (!ParseNumber(words[5], 10, 0, 16, value)) return Reject(why, "cdb length is not 0 to 16");
  line.cdbLength = value;
  if (words[6] == "good") {
    line.answer = DeviceAnswer::Good;
  } else if (words[6] == "check") {
    line.answer = DeviceAnswer::CheckCondition;
  } else if (words[6] == "gone") {
    line.answer = DeviceAnswer::Gone;
  } else {
    return Reject(why, "answer is not good, check or gone");
  }
  line.statusReply.reset();
  if (words.size() == 8) {
    if (words[7] == "ready") {
      line.statusReply = STATUS_READY;
    } else if (words[7] == "busy") {
      line.statusReply = STATUS_BUSY;
    } else if (ParseHex(words[7], 2, value)) {
      line.statusReply = static_cast<uint8_t>(value);
    } else {
      return Reject(why, "status reply is not ready, busy or two hex digits");
    }
  }
  return true;
}

}  // namespace

TranscriptLine LineOf(const CommandLogEntry& entry) {
  TranscriptLine line;
  line.opcode = entry.opcode;
  line.address = entry.address;
  line.length = entry.length;
  line.direction = entry.direction;
  line.transferLength = entry.transferLength;
  line.cdbLength = entry.cdbLength;
  line.answer = entry.answer;
  if (entry.opcode == CMD_STATUS && entry.answer == DeviceAnswer::Good) {
    line.statusReply = entry.statusReply;
  }
  return line;
}

std::string FormatTranscriptLine(const TranscriptLine& line) {
  std::string text = Join({CommandPart(line), " ", AnswerWord(line.answer)});
  if (line.statusReply) {
    if (*line.statusReply == STATUS_READY) {
      text += " ready";
    } else if (*line.statusReply == STATUS_BUSY) {
      text += " busy";
    } else {
      char reply[4];
      std::snprintf(reply, sizeof reply, "%02X", *line.statusReply);
      text.append(" ").append(reply);
    }
  }
  return text;
}

std::string FormatTranscript(const std::vector<CommandLogEntry>& log) {
  std::string text;
  for (const CommandLogEntry& entry : log)
    text.append(FormatTranscriptLine(LineOf(entry))).append("\n");
  return text;
}

bool ParseTranscript(const std::string& text, std::vector<TranscriptLine>& lines,
                     std::string& error) {
  std::vector<TranscriptLine> parsed;
  std::istringstream input(text);
  std::string raw;
  for (size_t number = 1; std::getline(input, raw); ++number) {
    const size_t hash = raw.find('#');
    if (hash != std::string::npos) raw.erase(hash);
    std::istringstream fields(raw);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) words.push_back(word);
    if (words.empty()) continue;
    TranscriptLine line;
    std::string why;
    if (!ParseLine(words, line, why)) {
      error = Join({"line ", std::to_string(number), ": ", why});
      return false;
    }
    parsed.push_back(line);
  }
  lines = std::move(parsed);
  return true;
}

TranscriptReplay::TranscriptReplay(std::vector<TranscriptLine> expected)
    : expected_(std::move(expected)) {}

bool TranscriptReplay::Deviate(const std::string& expected, const std::string& actual) {
  mismatch_ =
      Join({"command ", std::to_string(next_ + 1), ": expected ", expected, " but ", actual});
  return false;
}

bool TranscriptReplay::Admit(const CommandLogEntry& entry) {
  admitted_ = false;
  if (!mismatch_.empty()) return false;
  const TranscriptLine actual = LineOf(entry);
  if (next_ >= expected_.size()) {
    return Deviate("no more commands", "got " + Quoted(CommandPart(actual)));
  }
  if (CommandPart(actual) != CommandPart(expected_[next_])) {
    return Deviate(Quoted(FormatTranscriptLine(expected_[next_])),
                   "got " + Quoted(CommandPart(actual)));
  }
  admitted_ = true;
  return true;
}

void TranscriptReplay::Answered(const CommandLogEntry& entry) {
  if (!mismatch_.empty()) return;
  const TranscriptLine actual = LineOf(entry);
  // a command the device never let through Admit (it had vanished) is
  // checked here in full
  if (!admitted_ && next_ >= expected_.size()) {
    Deviate("no more commands", "got " + Quoted(FormatTranscriptLine(actual)));
    return;
  }
  admitted_ = false;
  if (!(actual == expected_[next_])) {
    Deviate(Quoted(FormatTranscriptLine(expected_[next_])),
            "got " + Quoted(FormatTranscriptLine(actual)));
    return;
  }
  ++next_;
}

bool TranscriptReplay::Finish() {
  if (mismatch_.empty() && next_ < expected_.size()) {
    Deviate(Quoted(FormatTranscriptLine(expected_[next_])), "the tool sent nothing more");
  }
  return mismatch_.empty();
}

}  // namespace zq
