// Standard input, output and error that the program was started without.
#pragma once

namespace zq {

// Gives each of the standard handles that is missing (null, invalid or
// closed) the NUL device, and the C run-time's descriptor 0, 1 or 2 with it,
// so that the program's text goes nowhere instead of failing, and no file
// opened later can stand in for one. Call it first. False when one stays
// missing.
bool ReopenClosedStandardStreams();

// Whether standard error is a console that takes escape sequences ("\r\033[K"):
// it is asked to, since consoles before Windows 10 show them as they are.
// False for a pipe or a file, and on the consumer family.
bool StandardErrorTakesEscapes();
// Puts back the console mode StandardErrorTakesEscapes changed; at exit
// by itself, and by whatever ends the process without exit().
void RestoreConsoleMode();

}  // namespace zq
