#include "platform/win32/code_page_win32.h"

#include "platform/win32/win32_headers.h"

namespace zq {

bool IsSystemLeadByte(uint8_t byte) {
  // IsDBCSLeadByte reads the ANSI code page, as every system we run on has it
  return IsDBCSLeadByte(byte) != FALSE;
}

}  // namespace zq
