#include "driverlist/identity.h"

#include <fcntl.h>

#include "driverlist/platform.h"

FileIdentity IdentityOf(const struct stat& st) {
  FileIdentity id;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.size = st.st_size;
  id.mtime = ModificationTime(st);
  return id;
}

bool SameFile(const FileIdentity& a, const FileIdentity& b, bool unchanged) {
  if (a.dev != b.dev || a.ino != b.ino) return false;
  return !unchanged || (a.size == b.size && a.mtime.tv_sec == b.mtime.tv_sec &&
                        a.mtime.tv_nsec == b.mtime.tv_nsec);
}

int IdentityAt(int dir, const char* name, FileIdentity* id) {
  struct stat st;
  if (fstatat(dir, name, &st, 0) != 0) return -1;
  *id = IdentityOf(st);
  return 0;
}

bool StillAtPath(int fd, const char* path) {
  struct stat held;
  FileIdentity named;
  return fstat(fd, &held) == 0 && IdentityAt(AT_FDCWD, path, &named) == 0 &&
         SameFile(IdentityOf(held), named, false);
}
