// The platform's headers, for files that also use the core's names: a few
// platform macros share a name with our own constants and operations.
#pragma once

#include <windows.h>

#undef MessageBox                  // WindowPort::MessageBox; call MessageBoxA
#undef CreateEvent                 // AspiLayer::CreateEvent; call CreateEventA
#undef VER_PLATFORM_WIN32_WINDOWS  // zq::VER_PLATFORM_WIN32_WINDOWS
#undef VER_PLATFORM_WIN32_NT       // zq::VER_PLATFORM_WIN32_NT
