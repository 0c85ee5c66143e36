// zq5210 check: loads an image as the window's Load File... would and says
// its code size; --output writes the loaded code bytes.
#include <memory>

#include "app/texts.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/exit_status.h"
#include "cli/options.h"
#include "cli/output_paths.h"
#include "cli/report.h"
#include "cli/terminal_window.h"

namespace zq::cli {
namespace {

bool SaveBytes(FilePort& files, const std::string& path, const uint8_t* bytes, uint32_t length) {
  std::unique_ptr<OutputFile> output = files.CreateForWrite(path);
  uint32_t written = 0;
  if (output && output->Write(bytes, length, written) && written == length && output->Commit()) {
    return true;
  }
  Failed("cannot write " + Quoted(path) + ": " + files.LastFailure());
  return false;
}

class CheckCommand final : public CommandRun {
 public:
  void AddOptions(CLI::App& command) override {
    AddFileArgument(command, "IMAGE", image_, "firmware image (.bin or .hex)");
    command
        .add_option("--output", output_,
                    "write the loaded code bytes to FILE (- for "
                    "standard output)")
        ->check(NON_EMPTY);
    command.add_flag("--force", force_, "replace FILE if it exists");
    AddJsonFlag(command, json);
  }

  int Run() override {
    int status = EXIT_OK;
    if (!output_.empty() && !SettleOutput(output_, force_, json, status)) return status;
    auto files = MakeFilePort();
    auto image = std::make_unique<ImageBuffer>();  // 64 KB: off the stack
    if (!LoadImage(*files, image_, *image)) return EXIT_FAILED;
    // the bytes themselves may be going to standard output
    std::FILE* labels = output_ == "-" ? stderr : TheReport().Results();
    const std::string label = LabelLine(CodeSizeLabel(image->codeSize));
    std::fprintf(labels, "%s\n", label.c_str());
    TheReport().Body()["code_size"] = image->codeSize;
    TheReport().Message(label);
    if (output_.empty()) return EXIT_OK;
    return SaveBytes(*files, output_, image->data.data(), image->codeSize) ? EXIT_OK : EXIT_FAILED;
  }

 private:
  std::string image_;
  std::string output_;
  bool force_ = false;
};

}  // namespace

std::unique_ptr<CommandRun> MakeCheckCommand() {
  return std::make_unique<CheckCommand>();
}

}  // namespace zq::cli
