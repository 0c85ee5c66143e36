// What the window's behaviour needs of the window it runs in.
#pragma once

#include <cstdint>
#include <string>

#include "app/path_name.h"

namespace zq {

// A notice has no icon; an error carries the error icon.
enum class BoxKind { Notice, Error };

struct FileDialogRequest {
  std::string filter;  // "description|patterns||", as the framework writes it
  std::string defaultExtension;
  std::string defaultName;
  bool fileMustExist = false;    // only an existing file can be chosen
  bool overwritePrompt = false;  // choosing an existing file asks first
};

struct FileChoice {
  std::string path;       // full path
  std::string name;       // file name without its folder
  std::string extension;  // after the name's last dot; empty if none
};

class WindowPort {
 public:
  virtual ~WindowPort() = default;
  virtual void SetControlText(int controlId, const std::string& text) = 0;
  virtual void SetTitle(const std::string& text) = 0;
  virtual void EnableControl(int controlId, bool enable) = 0;
  virtual void ShowControl(int controlId, bool show) = 0;
  virtual void SetProgressRange(int controlId, uint16_t low, uint16_t high) = 0;
  virtual void SetProgressPos(int controlId, int pos) = 0;
  virtual bool IsChecked(int controlId) = 0;
  // Modal; returns once the user has dismissed it.
  virtual void ShowBox(const std::string& text, const std::string& caption, BoxKind kind) = 0;
  // False when the user cancels.
  virtual bool OpenFileDialog(const FileDialogRequest& request, FileChoice& choice) = 0;
  virtual bool SaveFileDialog(const FileDialogRequest& request, FileChoice& choice) = 0;
};

// A path split as the file dialogs report it: the name after the last path
// separator, the extension after the name's last dot (empty if none).
// `isLeadByte` tells the separators apart from trail bytes of the path's code page.
FileChoice ChoiceForPath(const std::string& path, LeadByteTest isLeadByte = NoLeadBytes);

}  // namespace zq
