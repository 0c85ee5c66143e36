// libgcc's locks (the runtime's mutexes, thread-local storage, the unwinder's
// list of frames) make their semaphores with CreateSemaphoreW, which the
// consumer family exports as a stub that fails: there a lock that two threads
// contend fails, and the program ends. With several bridges updated at once
// on their own threads, this program's import slot for it points here
// instead, at CreateSemaphoreA, which every system has. Linked into the
// 32-bit command line only.
#include "platform/win32/win32_headers.h"

namespace {

HANDLE WINAPI CreateUnnamedSemaphore(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum,
                                     LPCWSTR name) {
  // the runtime's locks have no names, and nothing of ours asks for one
  if (name != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return CreateSemaphoreA(attributes, initial, maximum, nullptr);
}

}  // namespace

// the name the runtime's callers go through: "__imp__", the C name and the
// size of its arguments
extern "C" {
extern HANDLE(WINAPI* const createSemaphoreImportSlot)(
    LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR) __asm__("__imp__CreateSemaphoreW@16");
HANDLE(WINAPI* const createSemaphoreImportSlot)
(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR) = &CreateUnnamedSemaphore;
}
