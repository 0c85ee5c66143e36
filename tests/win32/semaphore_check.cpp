// The 32-bit command line's stand-in for CreateSemaphoreW: linked the same
// way, it takes the runtime's import slot, and the runtime's own locks work
// through it when two threads contend for one. Exits 0 when all holds.
#include <cstdio>

#include "platform/win32/win32_headers.h"

// libgcc's own lock, as its threads layer declares it (its header does not
// build with our warnings)
extern "C" {
struct GthrMutex {
  long counter;
  void* sema;
};
void __gthr_win32_mutex_init_function(GthrMutex* mutex);
int __gthr_win32_mutex_lock(GthrMutex* mutex);
int __gthr_win32_mutex_unlock(GthrMutex* mutex);
}

namespace {

int failures = 0;

void Expect(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "semaphore_check: %s\n", what);
    ++failures;
  }
}

GthrMutex lock;
LONG inside = 0;
LONG overlapped = 0;

DWORD WINAPI Contend(void*) {
  for (int i = 0; i < 200; ++i) {
    if (__gthr_win32_mutex_lock(&lock) != 0) {
      InterlockedIncrement(&overlapped);
      return 1;
    }
    if (InterlockedIncrement(&inside) != 1) InterlockedIncrement(&overlapped);
    Sleep(0);
    InterlockedDecrement(&inside);
    __gthr_win32_mutex_unlock(&lock);
  }
  return 0;
}

}  // namespace

int main() {
  // the system's own would make a named one; the stand-in refuses names
  SetLastError(0);
  const HANDLE named = CreateSemaphoreW(nullptr, 0, 1, L"zq5210-semaphore-check");
  Expect(named == nullptr && GetLastError() == ERROR_INVALID_PARAMETER,
         "CreateSemaphoreW is the system's, not the stand-in");
  if (named != nullptr) CloseHandle(named);

  const HANDLE unnamed = CreateSemaphoreW(nullptr, 0, 1, nullptr);
  Expect(unnamed != nullptr, "no unnamed semaphore");
  if (unnamed != nullptr) {
    Expect(ReleaseSemaphore(unnamed, 1, nullptr) != FALSE, "cannot release");
    Expect(WaitForSingleObject(unnamed, 1000) == WAIT_OBJECT_0, "cannot wait");
    CloseHandle(unnamed);
  }

  __gthr_win32_mutex_init_function(&lock);
  Expect(lock.sema != nullptr, "the runtime's lock has no semaphore");
  HANDLE threads[4] = {};
  for (HANDLE& thread : threads) {
    DWORD id = 0;
    thread = CreateThread(nullptr, 0, Contend, nullptr, 0, &id);
    Expect(thread != nullptr, "no thread");
  }
  for (HANDLE thread : threads) {
    if (thread == nullptr) continue;
    Expect(WaitForSingleObject(thread, 30000) == WAIT_OBJECT_0, "a thread hangs");
    CloseHandle(thread);
  }
  Expect(overlapped == 0, "the runtime's lock let two threads in, or failed");
  if (failures == 0) std::puts("semaphore_check: passed");
  return failures == 0 ? 0 : 1;
}
