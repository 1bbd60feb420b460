// Which file was loaded, and whether a name still names it: the lock, the
// load and the install all ask it, and all ask it here.
#ifndef HALVO_DRIVERLIST_IDENTITY_H_
#define HALVO_DRIVERLIST_IDENTITY_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>

// A file's device and inode, and its size and modification time as they
// were when it was looked at.
struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
};

// The identity of the file `st` describes. Never fails.
FileIdentity IdentityOf(const struct stat& st);

// True when `a` and `b` are one file (device and inode), and with
// `unchanged` also of the same size and modification time.
bool SameFile(const FileIdentity& a, const FileIdentity& b, bool unchanged);

// Looks at what `name` names now in the folder open as `dir` (or AT_FDCWD),
// following a symbolic link. Returns 0 with its identity in *id, or -1
// with errno set; prints nothing.
int IdentityAt(int dir, const char* name, FileIdentity* id);

// True when `path` names the open file `fd` (device and inode): false when
// it names another file, none, or either cannot be looked at.
bool StillAtPath(int fd, const char* path);

#endif  // HALVO_DRIVERLIST_IDENTITY_H_
