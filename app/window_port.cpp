#include "app/window_port.h"

#include "image/image_buffer.h"

namespace zq {

FileChoice ChoiceForPath(const std::string& path, LeadByteTest isLeadByte) {
  FileChoice choice;
  choice.path = path;
  choice.name = path.substr(FileNameStart(path, isLeadByte));
  choice.extension = FileExtension(choice.name);
  return choice;
}

}  // namespace zq
