// A program that imports what Windows 98 and 2000 lack (GetTickCount64, from
// Vista on): the import check must refuse it, naming the function and DLL.
#include <windows.h>

int main() {
  return GetTickCount64() == 0 ? 1 : 0;
}
