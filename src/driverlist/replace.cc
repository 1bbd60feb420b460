// The install's file handling: nothing reaches the driver list path but a
// complete, flushed and checked file, by one rename.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driverlist/driverlist.h"
#include "driverlist/platform.h"

namespace {

// About 128 KiB: kept off the stack.
LineSource RewriteSource;

constexpr size_t PATH_SIZE = PATH_BUFFER_SIZE;
static_assert(PATH_SIZE >= PATH_MAX);
inline constexpr char TEMP_ENDING[] = ".XXXXXX";  // mkstemp's pattern
constexpr mode_t PERMISSION_BITS = 07777;

// Removes a temporary file unless it was renamed into place.
struct TempFile {
  char path[PATH_SIZE] = "";
  bool active = false;
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (active) unlink(path);
  }
};

int FormatPath(char* out, const char* path, const char* ending) {
  int n = std::snprintf(out, PATH_SIZE, "%s%s", path, ending);
  if (n >= 0 && static_cast<size_t>(n) < PATH_SIZE) return 0;
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

// Makes an empty private file beside `beside` with the mode, owner and
// group of `old`, open for writing in *out.
int CreateTemp(const char* beside, const struct stat& old, TempFile* temp,
               FileHolder* out) {
  if (FormatPath(temp->path, beside, TEMP_ENDING) != 0) return -1;
  int fd = mkstemp(temp->path);
  if (fd < 0) return PosixError("Could not create a temporary file beside", beside);
  temp->active = true;
  out->file = fdopen(fd, "w");
  if (out->file == nullptr) {
    int err = errno;
    close(fd);
    errno = err;
    return PosixError("Could not open", temp->path);
  }
  // Large writes: a big driver list file goes out in few system calls.
  if (std::setvbuf(out->file, nullptr, _IOFBF, READ_BLOCK_SIZE) != 0)
    return PosixError("Could not open", temp->path);
  // Only root may give a file away; others keep what mkstemp gave them.
  if (fchown(fd, old.st_uid, old.st_gid) != 0 &&
      (errno != EPERM || geteuid() == 0))
    return PosixError("Could not set the owner of", temp->path);
  if (fchmod(fd, old.st_mode & PERMISSION_BITS) != 0)
    return PosixError("Could not set the mode of", temp->path);
  return 0;
}

// Flushes a written temporary file to disk and closes it.
int FinishTemp(TempFile* temp, FileHolder* out) {
  if (std::fflush(out->file) != 0) return PosixError("Could not write", temp->path);
  if (FlushToDisk(fileno(out->file)) != 0)
    return PosixError("Could not flush to disk", temp->path);
  if (out->Close() != 0) return PosixError("Could not close", temp->path);
  return 0;
}

// Loads the new file again: it must hold exactly the readers of `table`.
int VerifyNewFile(const char* temp_path, const ReaderEntry* table) {
  static ReaderEntry reloaded[READER_SLOTS];
  ResetReaderTable(reloaded, READER_SLOTS);
  if (FillExistingReaders(temp_path, reloaded) == 0) {
    size_t n = CountReaders(table, READER_SLOTS);
    bool same = CountReaders(reloaded, READER_SLOTS) == n;
    for (size_t i = 0; same && i < n; i++)
      same = reloaded[i].PID == table[i].PID &&
             reloaded[i].VID == table[i].VID &&
             std::strcmp(reloaded[i].Name, table[i].Name) == 0;
    if (same) return 0;
  }
  std::printf("%s: the rewritten file does not hold the expected readers.\n",
              temp_path);
  return -1;
}

// Copies the whole of `old` into a new, flushed file beside `backup`.
int CopyBeside(FILE* old, const char* target, const struct stat& st,
               const char* backup, TempFile* kept) {
  FileHolder out;
  if (CreateTemp(backup, st, kept, &out) != 0) return -1;
  if (std::fseek(old, 0, SEEK_SET) != 0) return PosixError("Could not read", target);
  static char block[READ_BLOCK_SIZE];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, old)) > 0)
    if (std::fwrite(block, 1, n, out.file) != n)
      return PosixError("Could not write", kept->path);
  if (std::ferror(old)) return PosixError("Could not read", target);
  return FinishTemp(kept, &out);
}

// Links `target` under a free temporary name beside `backup`. Returns 0, or
// -1 with errno set: nothing printed but for a name too long.
int LinkBeside(const char* target, const char* backup, TempFile* kept) {
  if (FormatPath(kept->path, backup, TEMP_ENDING) != 0) {
    errno = ENAMETOOLONG;  // no copy can be named either
    return -1;
  }
  // mkstemp finds a free name; link needs it free again.
  int fd = mkstemp(kept->path);
  if (fd < 0) return -1;
  if (close(fd) != 0 || unlink(kept->path) != 0) {
    int err = errno;
    unlink(kept->path);
    errno = err;
    return -1;
  }
  if (link(target, kept->path) != 0) return -1;
  kept->active = true;
  return 0;
}

// Makes the new backup beside the earlier one, under a temporary name, so
// that the earlier one stays until the new file is in place: the old file
// itself (a hard link), or a copy of it where links are refused.
int PrepareBackup(const char* target, FILE* old, const struct stat& st,
                  const char* backup, TempFile* kept) {
  struct stat earlier;
  if (lstat(backup, &earlier) == 0) {
    if (S_ISDIR(earlier.st_mode)) {
      errno = EISDIR;
      return PosixError("Could not replace the earlier backup", backup);
    }
  } else if (errno != ENOENT) {
    return PosixError("Could not look at", backup);
  }
  if (LinkBeside(target, backup, kept) == 0) return 0;
  if (errno != EPERM && errno != EXDEV && errno != EMLINK &&
      errno != EOPNOTSUPP && errno != ENOSYS)
    return PosixError("Could not keep the old file as the backup", backup);
  return CopyBeside(old, target, st, backup, kept);
}

// Renames the prepared backup over the earlier one. The new file is in
// place by then, so a failure says where the old one is kept.
int PlaceBackup(TempFile* kept, const char* backup, const char* target) {
  if (std::rename(kept->path, backup) == 0) {
    kept->active = false;
    return 0;
  }
  PosixError("Could not move the backup into place at", backup);
  std::printf("The new file is in place at %s; the old one is kept at %s.\n",
              target, kept->path);
  kept->active = false;
  return -1;
}

// Makes the rename of an entry of the folder of `path` durable.
int SyncFolder(const char* path) {
  char folder[PATH_SIZE];
  if (FormatPath(folder, path, "") != 0) return -1;
  char* slash = std::strrchr(folder, '/');
  if (slash == nullptr)
    std::strcpy(folder, ".");
  else
    slash[slash == folder ? 1 : 0] = '\0';
  int fd = open(folder, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return PosixError("Could not open the folder", folder);
  int synced = FlushToDisk(fd);
  int err = errno;
  if (close(fd) != 0 || synced != 0) {
    if (synced != 0) errno = err;
    return PosixError("Could not flush to disk the folder", folder);
  }
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
int CheckUnchanged(const char* target, const FileIdentity& loaded) {
  FileIdentity now;
  if (IdentityAtPath(target, &now) != 0) return PosixError("Could not look at", target);
  return CheckSame(now, loaded, target);
}

}  // namespace

int WriteNewPList(const char* path, const char* backup_path,
                  const FileIdentity* loaded, const ReaderEntry* table) {
  char target[PATH_SIZE], backup[PATH_SIZE];
  if (ResolveTarget(path, backup_path, target, backup) != 0) return -1;
  FileHolder old(std::fopen(target, "r"));
  if (old.file == nullptr) {
    std::printf("File could not be opened %s\n", target);
    return -1;
  }
  struct stat st;
  if (fstat(fileno(old.file), &st) != 0) return PosixError("Could not look at", target);
  if (CheckSame(IdentityOf(st), *loaded, target) != 0) return -1;
  TempFile temp;
  FileHolder out;
  if (CreateTemp(target, st, &temp, &out) != 0) return -1;
  LineSource& in = RewriteSource;
  StartLineSource(&in, old.file, target);
  TempFile kept;
  if (RewritePListLines(&in, out.file, temp.path, table) != 0 ||
      FinishTemp(&temp, &out) != 0 || VerifyNewFile(temp.path, table) != 0 ||
      PrepareBackup(target, old.file, st, backup, &kept) != 0 ||
      CheckUnchanged(target, *loaded) != 0)
    return -1;
  if (std::rename(temp.path, target) != 0)
    return PosixError("Could not move the new file into place at", target);
  temp.active = false;
  int placed = PlaceBackup(&kept, backup, target);
  if (SyncFolder(target) != 0)
    std::printf("The new file is in place at %s, but may not yet be on disk.\n",
                target);
  return placed;
}
