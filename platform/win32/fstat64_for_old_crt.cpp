// The C++ runtime's file streams ask _fstat64 for a file's size, and the
// command line writes through them. Windows 98's MSVCRT.DLL predates
// _fstat64, and an import it lacks stops the program from starting, so this
// program's import slot for it points here instead, at the older _fstati64
// that every MSVCRT.DLL has. Linked into the 32-bit command line only.
#include <sys/stat.h>

namespace {

int __cdecl Fstat64(int fd, struct _stat64* out) {
  struct _stati64 old;
  if (_fstati64(fd, &old) != 0) return -1;
  out->st_dev = old.st_dev;
  out->st_ino = old.st_ino;
  out->st_mode = old.st_mode;
  out->st_nlink = old.st_nlink;
  out->st_uid = old.st_uid;
  out->st_gid = old.st_gid;
  out->st_rdev = old.st_rdev;
  out->st_size = old.st_size;
  out->st_atime = old.st_atime;
  out->st_mtime = old.st_mtime;
  out->st_ctime = old.st_ctime;
  return 0;
}

}  // namespace

// the name the runtime's callers go through: "__imp__" and the C name
extern "C" {
extern int(__cdecl* const fstat64ImportSlot)(int, struct _stat64*) __asm__("__imp___fstat64");
int(__cdecl* const fstat64ImportSlot)(int, struct _stat64*) = &Fstat64;
}
