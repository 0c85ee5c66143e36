// Where a path's file name begins, found character by character: in the
// double-byte code pages (Big5, Shift-JIS) the second byte of a character may
// be 0x5C, the backslash, and is no separator there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zq {

// True for a byte that starts a two-byte character in the code page the
// path is written in.
using LeadByteTest = bool (*)(uint8_t byte);

// The single-byte code pages, and UTF-8, whose later bytes are never ASCII.
bool NoLeadBytes(uint8_t byte);

// Index of the first byte after the last '\\' or '/' that is a character of
// its own; 0 when there is none. A lead byte takes the next byte with it.
size_t FileNameStart(const std::string& path, LeadByteTest isLeadByte);

}  // namespace zq
