// Turning the window's file-dialog filters into what the common dialogs take.
#pragma once

#include <string>

namespace zq {

// "desc|patterns||" as the framework writes filters, with every bar a NUL and
// the list closed by two NULs; empty for an empty filter.
std::string FilterToNulSeparated(const std::string& filter);

}  // namespace zq
