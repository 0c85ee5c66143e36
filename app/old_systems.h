// What the programs do differently on the systems before Windows 2000.
#pragma once

#include <cstdint>

namespace zq {

// The file dialogs of Windows 95/98/Me and NT 4 refuse the dialog structure
// as Windows 2000 enlarged it and take only its earlier size; 2000 and later
// take the full one. `platformId` and `majorVersion` as the system reports them.
bool FileDialogTakesFullStruct(uint32_t platformId, uint32_t majorVersion);

}  // namespace zq
