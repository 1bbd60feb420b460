// Every step works on names in the target's folder, opened once: a folder
// renamed meanwhile cannot send a step elsewhere, and no name is longer
// than the backup's.
#include "driverlist/replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driverlist/files.h"
#include "driverlist/load.h"
#include "driverlist/platform.h"
#include "driverlist/rewrite.h"
#include "driverlist/temp.h"

namespace {

// About 128 KiB each: kept off the stack. The new file goes out through
// the write buffer, so a big driver list file takes few system calls.
LineSource RewriteSource;
char WriteBuffer[READ_BLOCK_SIZE];

int FormatPath(char* out, const char* path, const char* ending) {
  if (Fits(out, path, ending)) return 0;
  std::printf("Path too long: %s%s\n", path, ending);
  return -1;
}

// Fixes which file is rewritten: the target of a symbolic link at `path`,
// else `path` itself, with its backup path.
int ResolveTarget(const char* path, const char* backup_path, char* target,
                  char* backup) {
  struct stat st;
  if (lstat(path, &st) != 0) return PosixError("Could not look at", path);
  if (!S_ISLNK(st.st_mode)) {
    if (FormatPath(target, path, "") != 0) return -1;
    return FormatPath(backup, backup_path, "");
  }
  if (realpath(path, target) == nullptr)
    return PosixError("Could not follow the link", path);
  return FormatPath(backup, target, BACKUP_SUFFIX);
}

int OpenTargetFolder(const char* target, TargetFolder* folder) {
  if (FormatPath(folder->path, target, "") != 0) return -1;
  char* slash = std::strrchr(folder->path, '/');
  if (slash == nullptr)
    std::strcpy(folder->path, ".");
  else
    slash[slash == folder->path ? 1 : 0] = '\0';
  folder->fd = OpenFolder(folder->path, &folder->read_error);
  if (folder->fd < 0)
    return PosixError("Could not open the folder", folder->path);
  return 0;
}

// Loads the new file again: it must be `size` bytes long and hold exactly
// the readers of `table`.
int VerifyNewFile(const TargetFolder& folder, const TempFile& temp,
                  const ReaderEntry* table, size_t size) {
  static ReaderEntry reloaded[READER_SLOTS];
  ResetReaderTable(reloaded, READER_SLOTS);
  FileHolder f;
  struct stat st;
  if (OpenDriverList(folder.fd, temp.name, temp.path, &f, &st) == 0 &&
      static_cast<size_t>(st.st_size) == size &&
      ReadReaderArrays(f.file, temp.path, reloaded) == 0) {
    size_t n = CountReaders(table, READER_SLOTS);
    bool same = CountReaders(reloaded, READER_SLOTS) == n;
    for (size_t i = 0; same && i < n; i++)
      same = reloaded[i].PID == table[i].PID &&
             reloaded[i].VID == table[i].VID &&
             std::strcmp(reloaded[i].Name, table[i].Name) == 0;
    if (same) return 0;
  }
  std::printf("%s: the rewritten file does not hold the expected readers.\n",
              temp.path);
  return -1;
}

// Copies the whole of `old` into a new, flushed file beside `target`.
int CopyBeside(const TargetFolder& folder, FILE* old, const char* target,
               const struct stat& st, const char* backup, TempFile* kept) {
  FileHolder out;
  // Whole blocks are written: a stream buffer would only add a copy.
  if (CreateTemp(folder, target, backup, st, nullptr, 0, kept, &out) != 0)
    return -1;
  if (std::fseek(old, 0, SEEK_SET) != 0)
    return PosixError("Could not read", target);
  static char block[READ_BLOCK_SIZE];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, old)) > 0)
    if (std::fwrite(block, 1, n, out.file) != n)
      return PosixError("Could not write", kept->path);
  if (std::ferror(old)) return PosixError("Could not read", target);
  return FinishTemp(kept, &out);
}

// Makes the new backup under a temporary name, so that the earlier one
// stays until the new file is in place: the old file itself (a hard link,
// under a name no other process holds), or a copy of it where links are
// refused.
int PrepareBackup(const TargetFolder& folder, const char* target, FILE* old,
                  const struct stat& st, const char* backup, TempFile* kept) {
  struct stat earlier;
  if (fstatat(folder.fd, BaseName(backup), &earlier, AT_SYMLINK_NOFOLLOW) ==
      0) {
    if (S_ISDIR(earlier.st_mode)) {
      errno = EISDIR;
      return PosixError("Could not replace the earlier backup", backup);
    }
  } else if (errno != ENOENT) {
    return PosixError("Could not look at", backup);
  }
  if (LinkTemp(folder, target, kept) == 0) return 0;
  if (errno != EPERM && errno != EXDEV && errno != EMLINK &&
      errno != EOPNOTSUPP && errno != ENOSYS)
    return PosixError("Could not keep the old file as the backup", backup);
  return CopyBeside(folder, old, target, st, backup, kept);
}

// Renames the prepared backup over the earlier one. The new file is in
// place by then, so a failure says where the old one is kept.
int PlaceBackup(const TargetFolder& folder, TempFile* kept, const char* backup,
                const char* target) {
  if (renameat(folder.fd, kept->name, folder.fd, BaseName(backup)) == 0) {
    kept->active = false;
    return 0;
  }
  PosixError("Could not move the backup into place at", backup);
  std::printf("The new file is in place at %s; the old one is kept at %s.\n",
              target, kept->path);
  kept->active = false;
  return -1;
}

// Makes the renames in the folder durable.
int SyncFolder(const TargetFolder& folder) {
  if (folder.read_error != 0) {
    errno = folder.read_error;
    return PosixError("Could not open the folder", folder.path);
  }
  if (FlushToDisk(folder.fd) != 0)
    return PosixError("Could not flush to disk the folder", folder.path);
  return 0;
}

// Returns 0 when `now` is the file that was loaded, unchanged; -1, saying
// so, when `target` has been replaced or changed since.
int CheckSame(const FileIdentity& now, const FileIdentity& loaded,
              const char* target) {
  if (SameFile(now, loaded, true)) return 0;
  std::printf("%s changed since it was loaded; it was left as it is.\n",
              target);
  return -1;
}

// Looks again just before the old file is touched.
int CheckUnchanged(const TargetFolder& folder, const char* target,
                   const FileIdentity& loaded) {
  FileIdentity now;
  if (IdentityAt(folder.fd, BaseName(target), &now) != 0)
    return PosixError("Could not look at", target);
  return CheckSame(now, loaded, target);
}

}  // namespace

int WriteNewPList(const char* path, const char* backup_path,
                  const FileIdentity* loaded, const ReaderEntry* table) {
  char target[PATH_BUFFER_SIZE], backup[PATH_BUFFER_SIZE];
  TargetFolder folder;
  if (ResolveTarget(path, backup_path, target, backup) != 0 ||
      OpenTargetFolder(target, &folder) != 0)
    return -1;
  FileHolder old;
  struct stat st;
  if (OpenDriverList(folder.fd, BaseName(target), target, &old, &st) != 0 ||
      CheckSame(IdentityOf(st), *loaded, target) != 0)
    return -1;
  TempFile temp;
  FileHolder out;
  if (CreateTemp(folder, target, target, st, WriteBuffer, sizeof WriteBuffer,
                 &temp, &out) != 0)
    return -1;
  LineSource& in = RewriteSource;
  StartLineSource(&in, old.file, target);
  TempFile kept;
  size_t written = 0;
  if (RewritePListLines(&in, out.file, temp.path, table, &written) != 0 ||
      FinishTemp(&temp, &out) != 0 ||
      VerifyNewFile(folder, temp, table, written) != 0 ||
      PrepareBackup(folder, target, old.file, st, backup, &kept) != 0 ||
      CheckUnchanged(folder, target, *loaded) != 0)
    return -1;
  if (renameat(folder.fd, temp.name, folder.fd, BaseName(target)) != 0)
    return PosixError("Could not move the new file into place at", target);
  temp.active = false;
  int placed = PlaceBackup(folder, &kept, backup, target);
  if (SyncFolder(folder) != 0)
    std::printf("The new file is in place at %s, but may not yet be on disk.\n",
                target);
  return placed;
}
