// What a command ends with, for people and, with --json, for scripts: one
// JSON object on standard output with the exit status, the final text and
// what the command found or did. Texts for people then go to standard error.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/devices.h"

namespace zq::cli {

class Report {
 public:
  void UseJson(bool json);
  bool Json() const { return json_; }
  // Where results for people go: standard output, unless the JSON object owns it.
  std::FILE* Results() const { return json_ ? stderr : stdout; }
  // The command's final text; the last one set stands.
  void Message(const std::string& text) { message_ = text; }
  nlohmann::json& Body() { return body_; }
  // Prints the object, with --json; false when standard output failed.
  bool Finish(int exitCode);

 private:
  bool json_ = false;
  std::string message_;
  nlohmann::json body_ = nlohmann::json::object();
};

// The one report of this run.
Report& TheReport();

// The object for a run stopped by a signal before it could finish: made
// whole beforehand, so that a signal handler only writes it. Empty
// without --json.
const char* StoppedReport();

// What a stop says once a bridge failed after its erase: that failure's
// exit status and words, never "stopped".
constexpr const char* TEXT_STOPPED_AFTER_DAMAGE =
    "stopped; a bridge may hold no working firmware now; run the update again";
// Its object, made beforehand as StoppedReport is.
const char* StoppedAfterDamageReport();

// Outside text as JSON takes it: valid UTF-8 kept, any other byte written
// as \xNN, so a name is never turned into another.
std::string JsonText(const std::string& text);

// A bridge as `list` and `info` describe it.
nlohmann::json BridgeJson(const FoundBridge& found);

}  // namespace zq::cli
