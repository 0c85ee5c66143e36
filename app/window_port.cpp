#include "app/window_port.h"

namespace zq {

FileChoice ChoiceForPath(const std::string& path) {
  FileChoice choice;
  choice.path = path;
  const size_t slash = path.find_last_of("/\\");
  choice.name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = choice.name.find_last_of('.');
  choice.extension = dot == std::string::npos ? "" : choice.name.substr(dot + 1);
  return choice;
}

}  // namespace zq
