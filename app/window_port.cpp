#include "app/window_port.h"

#include "image/image_buffer.h"

namespace zq {

FileChoice ChoiceForPath(const std::string& path) {
  FileChoice choice;
  choice.path = path;
  const size_t slash = path.find_last_of("/\\");
  choice.name = slash == std::string::npos ? path : path.substr(slash + 1);
  choice.extension = FileExtension(choice.name);
  return choice;
}

}  // namespace zq
