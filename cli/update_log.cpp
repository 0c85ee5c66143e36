#include "cli/update_log.h"

#include <chrono>
#include <cstdio>

#include "cli/console.h"
#include "cli/report.h"
#include "cli/stop_requests.h"
#include "transport/spin_lock.h"

namespace zq::cli {
namespace {

class HashingInputFile final : public InputFile {
 public:
  HashingInputFile(std::unique_ptr<InputFile> inner, Sha256& sha)
      : inner_(std::move(inner)), sha_(sha) {}
  bool GetSize(uint32_t& size) override { return inner_->GetSize(size); }
  bool Read(uint8_t* buffer, uint32_t length, uint32_t& got) override {
    const bool ok = inner_->Read(buffer, length, got);
    if (ok) sha_.Add(buffer, got);
    return ok;
  }

 private:
  std::unique_ptr<InputFile> inner_;
  Sha256& sha_;
};

// Worked out from the clock's count rather than by the C library's gmtime,
// which Windows' oldest run-time libraries do not all export.
std::string UtcText(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const sys_days day = floor<days>(when);
  const year_month_day date{day};
  const hh_mm_ss clock{floor<seconds>(when - day)};
  char text[32] = "";
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

}  // namespace

std::unique_ptr<InputFile> HashingFilePort::OpenForRead(const std::string& path) {
  sha_.Reset();
  std::unique_ptr<InputFile> file = inner_.OpenForRead(path);
  if (!file) return nullptr;
  return std::make_unique<HashingInputFile>(std::move(file), sha_);
}

nlohmann::ordered_json LogLine(const BridgeRun& run, const LoggedImage& image, bool verify,
                               uint32_t writeLength,
                               std::chrono::system_clock::time_point finished) {
  const nlohmann::json update = run.UpdateJson(verify, writeLength);
  nlohmann::ordered_json line;
  line["time"] = UtcText(finished);
  line["device"] = JsonText(run.name);
  line["usb_port"] = JsonText(run.found.details.usbPort);
  line["serial"] = JsonText(run.found.details.serial);
  line["firmware_before"] = JsonText(run.firmwareBefore);
  line["image"] = JsonText(image.path);
  line["image_sha256"] = image.sha256;
  line["result"] = update["result"];
  line["exit_code"] = run.status;
  line["seconds"] = update["seconds"];
  line["message"] = JsonText(update["message"].get<std::string>());
  return line;
}

bool UpdateLog::Open(FilePort& files, const std::string& path) {
  file_ = files.OpenForAppend(path);
  if (!file_) {
    const std::string why = files.LastFailure();
    Failed("cannot open the log " + (why.empty() ? Quoted(path) : why) + "; nothing was touched");
    return false;
  }
  files_ = &files;
  path_ = path;
  return true;
}

void UpdateLog::Record(const BridgeRun& run, bool verify, uint32_t writeLength) {
  if (!file_) return;
  const auto finished = std::chrono::system_clock::now();
  SpinLock lock(busy_);
  if (!failure_.empty()) {
    // a line after a lost one could land in its broken remains
    Say(run.name + ": not in the log " + Quoted(path_));
    return;
  }
  const std::string text = LogLine(run, image_, verify, writeLength, finished).dump() + "\n";
  if (file_->Append(reinterpret_cast<const uint8_t*>(text.data()),
                    static_cast<uint32_t>(text.size()))) {
    return;
  }
  RefuseFurtherErases();
  const std::string why = files_->LastFailure();
  failure_ = "cannot write the log " + (why.empty() ? Quoted(path_) : why) + "; " + run.name +
             "'s update is not in it, and no further bridge is erased";
  Say(failure_);
}

std::string UpdateLog::Failure() const {
  return failure_;
}

}  // namespace zq::cli
