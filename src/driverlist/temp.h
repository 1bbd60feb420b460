// Temporary files beside a target, in its folder: each named as the target
// followed by a dot and letters, exactly as long as the backup's name, made
// under a name no other process holds, and removed unless renamed into
// place. The install writes its new file and keeps its backup through them.
#ifndef HALVO_DRIVERLIST_TEMP_H_
#define HALVO_DRIVERLIST_TEMP_H_

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>

#include "driverlist/files.h"

// Room for a path and its terminating zero (realpath() fills PATH_MAX).
constexpr size_t PATH_BUFFER_SIZE = 4096;
// The backup of a driver list file is its path followed by this.
inline constexpr char BACKUP_SUFFIX[] = ".backup";

// A target's folder, open while its temporary files live; its path is for
// messages. Nothing is written through it, so its close loses nothing.
struct TargetFolder {
  int fd = -1;
  int read_error = 0;  // why it could not be read: it cannot be flushed
  char path[PATH_BUFFER_SIZE] = "";
  Uncopyable one_owner;
  ~TargetFolder() {
    if (fd >= 0) close(fd);
  }
};

// A temporary file in a folder, removed unless it was renamed into place
// (`active` then cleared).
struct TempFile {
  int dir = -1;
  char path[PATH_BUFFER_SIZE] = "";  // for messages
  const char* name = "";             // in the folder: the end of `path`
  bool active = false;
  Uncopyable one_owner;
  ~TempFile() {
    if (active) unlinkat(dir, name, 0);
  }
};

// The part of `path` after its last '/'.
const char* BaseName(const char* path);

// Writes `path` followed by `ending` to `out` (PATH_BUFFER_SIZE bytes).
// Returns true; false when they do not fit with the terminating zero.
bool Fits(char* out, const char* path, const char* ending);

// Makes an empty private file beside `target` in `folder`, then gives it
// the owner, group and mode of `old` as far as this user may: when the old
// group cannot be kept, the group gets no more than the others' bits, so
// that no group gains what another group had. It is open for writing in *out
// through `buffer` (`size` bytes), or unbuffered without one. Returns 0, or -1
// with a message naming the step and the temporary file, or `beside` for its
// creation; *temp removes it.
int CreateTemp(const TargetFolder& folder, const char* target,
               const char* beside, const struct stat& old, char* buffer,
               size_t size, TempFile* temp, FileHolder* out);

// Links `target` in `folder` under a temporary name. Returns 0, or -1 with
// errno set (nothing printed, so the caller may make a copy instead).
int LinkTemp(const TargetFolder& folder, const char* target, TempFile* temp);

// Writes out, flushes to disk and closes a temporary file written through
// *out. Returns 0, or -1 with a message naming the step and the file.
int FinishTemp(TempFile* temp, FileHolder* out);

#endif  // HALVO_DRIVERLIST_TEMP_H_
