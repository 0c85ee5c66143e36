#include "platform/win32/window/file_dialog_text.h"

namespace zq {

std::string FilterToNulSeparated(const std::string& filter) {
  if (filter.empty()) return {};
  std::string out = filter;
  for (char& c : out) {
    if (c == '|') c = '\0';
  }
  // the list ends with an empty entry; a filter written without "||" still gets one
  while (out.size() < 2 || out[out.size() - 1] != '\0' || out[out.size() - 2] != '\0') {
    out.push_back('\0');
  }
  return out;
}

}  // namespace zq
