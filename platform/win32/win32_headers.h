// The platform's headers as every Win32 file of ours includes them.
#pragma once

#include <windows.h>
