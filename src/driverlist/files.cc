#include "driverlist/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int PosixError(const char* step, const char* path) {
  int err = errno;
  std::printf("%s %s: %s\n", step, path, std::strerror(err));
  errno = err;
  return -1;
}

int FileHolder::Close() {
  FILE* f = file;
  file = nullptr;
  return std::fclose(f) == 0 ? 0 : -1;
}

namespace {

// Opens `name` for reading; nullptr with errno set when it cannot be.
FILE* OpenStream(int dir, const char* name) {
  int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "r");
  if (f == nullptr) CloseKeepingErrno(fd, close);
  return f;
}

// Hands the open `f` to *out with its details in *st; closes it, keeping
// errno, when it cannot be looked at.
int Adopt(FILE* f, FileHolder* out, struct stat* st) {
  if (fstat(fileno(f), st) != 0) {
    CloseKeepingErrno(f, std::fclose);
    return -1;
  }
  out->file = f;
  return 0;
}

}  // namespace

int OpenToRead(int dir, const char* name, FileHolder* out, struct stat* st) {
  FILE* f = OpenStream(dir, name);
  return f != nullptr ? Adopt(f, out, st) : -1;
}

int OpenDriverList(int dir, const char* name, const char* path, FileHolder* out,
                   struct stat* st) {
  FILE* f = OpenStream(dir, name);
  if (f == nullptr) {
    std::printf("File could not be opened %s\n", path);
    return -1;
  }
  return Adopt(f, out, st) == 0 ? 0 : PosixError("Could not look at", path);
}
