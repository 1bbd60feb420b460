// Every step works on names in the target's folder, opened once: a folder
// renamed meanwhile cannot send a step elsewhere, and no name is longer
// than the backup's.
#include "driverlist/replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "driverlist/files.h"
#include "driverlist/load.h"
#include "driverlist/platform.h"
#include "driverlist/rewrite.h"

namespace {

// About 128 KiB each: kept off the stack. The new file goes out through
// the write buffer, so a big driver list file takes few system calls.
LineSource RewriteSource;
char WriteBuffer[READ_BLOCK_SIZE];

constexpr size_t PATH_SIZE = PATH_BUFFER_SIZE;
static_assert(PATH_SIZE >= PATH_MAX);
constexpr mode_t PERMISSION_BITS = 07777;
constexpr mode_t GROUP_BITS = S_IRWXG, OTHER_BITS = S_IRWXO;
constexpr int GROUP_SHIFT = 3;  // from the others' bits to the group's
// Private until it is given the old file's mode.
constexpr mode_t TEMP_MODE = 0600;

// A temporary name is the target's followed by a dot and letters: exactly
// as long as the backup's, so it fits wherever the backup's does.
inline constexpr char TEMP_ENDING[] = ".XXXXXX";
static_assert(sizeof TEMP_ENDING == sizeof BACKUP_SUFFIX);
constexpr size_t TEMP_LETTERS = sizeof TEMP_ENDING - 2;
inline constexpr char TEMP_ALPHABET[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr uint64_t ALPHABET_SIZE = sizeof TEMP_ALPHABET - 1;
// Names tried, each found taken, before giving up (as mkstemp does).
constexpr int TEMP_NAME_ATTEMPTS = 1000;
// Knuth's MMIX linear congruential generator; its low bits are the weakest.
constexpr uint64_t LCG_MULTIPLIER = 6364136223846793005ULL;
constexpr uint64_t LCG_INCREMENT = 1442695040888963407ULL;
constexpr int LCG_DROPPED_BITS = 16;
constexpr int SECONDS_SHIFT = 30, PID_SHIFT = 40;

// The target's folder, open for the whole install; its path is for
// messages. Nothing is written through it, so its close loses nothing.
struct Folder {
  int fd = -1;
  int read_error = 0;  // why it could not be read: it cannot be flushed
  char path[PATH_SIZE] = "";
  Folder() = default;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  ~Folder() {
    if (fd >= 0) close(fd);
  }
};

// A temporary file in the folder, removed unless it was renamed into place.
struct TempFile {
  int dir = -1;
  char path[PATH_SIZE] = "";  // for messages
  const char* name = "";      // in the folder: the end of `path`
  bool active = false;
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (active) unlinkat(dir, name, 0);
  }
};

const char* BaseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// Writes `path` followed by `ending` to `out`; false when it does not fit.
bool Fits(char* out, const char* path, const char* ending) {
  int n = std::snprintf(out, PATH_SIZE, "%s%s", path, ending);
  return n >= 0 && static_cast<size_t>(n) < PATH_SIZE;
}

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

int OpenTargetFolder(const char* target, Folder* folder) {
  if (FormatPath(folder->path, target, "") != 0) return -1;
  char* slash = std::strrchr(folder->path, '/');
  if (slash == nullptr)
    std::strcpy(folder->path, ".");
  else
    slash[slash == folder->path ? 1 : 0] = '\0';
  folder->fd = OpenFolder(folder->path, &folder->read_error);
  if (folder->fd < 0) return PosixError("Could not open the folder", folder->path);
  return 0;
}

// Writes TEMP_LETTERS letters at `letters`: others on every call, and in
// every process.
void PickLetters(char* letters) {
  static uint64_t state = 0;
  if (state == 0) {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) now = timespec{};
    state = (static_cast<uint64_t>(now.tv_sec) << SECONDS_SHIFT) ^
            static_cast<uint64_t>(now.tv_nsec) ^
            (static_cast<uint64_t>(getpid()) << PID_SHIFT);
  }
  state = state * LCG_MULTIPLIER + LCG_INCREMENT;
  uint64_t v = state >> LCG_DROPPED_BITS;
  for (size_t i = 0; i < TEMP_LETTERS; i++, v /= ALPHABET_SIZE)
    letters[i] = TEMP_ALPHABET[v % ALPHABET_SIZE];
}

// Calls `attempt` with fresh temporary names beside `target` in `folder`
// until one is not taken. Returns what `attempt` returned, or -1 with errno
// EEXIST when every name was taken; errno is kept from `attempt`.
template <typename Attempt>
int TryTempNames(const Folder& folder, const char* target, TempFile* temp,
                 Attempt attempt) {
  if (!Fits(temp->path, target, TEMP_ENDING)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  temp->dir = folder.fd;
  temp->name = BaseName(temp->path);
  char* letters = temp->path + std::strlen(temp->path) - TEMP_LETTERS;
  for (int i = 0; i < TEMP_NAME_ATTEMPTS; i++) {
    PickLetters(letters);
    int result = attempt(temp->name);
    if (result >= 0 || errno != EEXIST) return result;
  }
  return -1;
}

// Gives the file open as `fd` the owner and group of `old`. Only root may
// give a file away; others keep what they created, and the group too when
// they are in it. Returns 0 with *group_kept, or -1 with errno set.
int GiveOwner(int fd, const struct stat& old, bool* group_kept) {
  *group_kept = fchown(fd, old.st_uid, old.st_gid) == 0;
  if (*group_kept) return 0;
  if (errno != EPERM || geteuid() == 0) return -1;
  *group_kept = fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
  return *group_kept || errno == EPERM ? 0 : -1;
}

// The mode for the new file: the old file's, except that a group other
// than the old one gets no more than the others' bits, as editors do.
mode_t ModeFor(mode_t old, bool group_kept) {
  mode_t mode = old & PERMISSION_BITS;
  if (group_kept) return mode;
  return (mode & ~GROUP_BITS) | (mode & OTHER_BITS) << GROUP_SHIFT;
}

// Makes an empty private file beside `target` with the mode, owner and
// group of `old`, open for writing in *out through `buffer`
// (READ_BLOCK_SIZE bytes), or unbuffered without one. Messages name
// `beside` for its creation.
int CreateTemp(const Folder& folder, const char* target, const char* beside,
               const struct stat& old, char* buffer, TempFile* temp,
               FileHolder* out) {
  int fd = TryTempNames(folder, target, temp, [&](const char* name) {
    return openat(folder.fd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                  TEMP_MODE);
  });
  if (fd < 0) return PosixError("Could not create a temporary file beside", beside);
  temp->active = true;
  out->file = fdopen(fd, "w");
  if (out->file == nullptr) {
    CloseKeepingErrno(fd, close);
    return PosixError("Could not open", temp->path);
  }
  if (std::setvbuf(out->file, buffer, buffer != nullptr ? _IOFBF : _IONBF,
                   buffer != nullptr ? READ_BLOCK_SIZE : 0) != 0)
    return PosixError("Could not open", temp->path);
  bool group_kept = false;
  if (GiveOwner(fd, old, &group_kept) != 0)
    return PosixError("Could not set the owner of", temp->path);
  if (fchmod(fd, ModeFor(old.st_mode, group_kept)) != 0)
    return PosixError("Could not set the mode of", temp->path);
  return 0;
}

// Flushes a written temporary file to disk and closes it.
int FinishTemp(TempFile* temp, FileHolder* out) {
  // A stream that once failed may have dropped what it held: never kept.
  if (std::ferror(out->file) || std::fflush(out->file) != 0)
    return PosixError("Could not write", temp->path);
  if (FlushToDisk(fileno(out->file)) != 0)
    return PosixError("Could not flush to disk", temp->path);
  if (out->Close() != 0) return PosixError("Could not close", temp->path);
  return 0;
}

// Loads the new file again: it must be `size` bytes long and hold exactly
// the readers of `table`.
int VerifyNewFile(const Folder& folder, const TempFile& temp,
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
int CopyBeside(const Folder& folder, FILE* old, const char* target,
               const struct stat& st, const char* backup, TempFile* kept) {
  FileHolder out;
  // Whole blocks are written: a stream buffer would only add a copy.
  if (CreateTemp(folder, target, backup, st, nullptr, kept, &out) != 0)
    return -1;
  if (std::fseek(old, 0, SEEK_SET) != 0) return PosixError("Could not read", target);
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
int PrepareBackup(const Folder& folder, const char* target, FILE* old,
                  const struct stat& st, const char* backup, TempFile* kept) {
  struct stat earlier;
  if (fstatat(folder.fd, BaseName(backup), &earlier, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(earlier.st_mode)) {
      errno = EISDIR;
      return PosixError("Could not replace the earlier backup", backup);
    }
  } else if (errno != ENOENT) {
    return PosixError("Could not look at", backup);
  }
  const char* name = BaseName(target);
  if (TryTempNames(folder, target, kept, [&](const char* kept_name) {
        return linkat(folder.fd, name, folder.fd, kept_name, 0);
      }) == 0) {
    kept->active = true;
    return 0;
  }
  if (errno != EPERM && errno != EXDEV && errno != EMLINK &&
      errno != EOPNOTSUPP && errno != ENOSYS)
    return PosixError("Could not keep the old file as the backup", backup);
  return CopyBeside(folder, old, target, st, backup, kept);
}

// Renames the prepared backup over the earlier one. The new file is in
// place by then, so a failure says where the old one is kept.
int PlaceBackup(const Folder& folder, TempFile* kept, const char* backup,
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
int SyncFolder(const Folder& folder) {
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
int CheckUnchanged(const Folder& folder, const char* target,
                   const FileIdentity& loaded) {
  FileIdentity now;
  if (IdentityAt(folder.fd, BaseName(target), &now) != 0)
    return PosixError("Could not look at", target);
  return CheckSame(now, loaded, target);
}

}  // namespace

int WriteNewPList(const char* path, const char* backup_path,
                  const FileIdentity* loaded, const ReaderEntry* table) {
  char target[PATH_SIZE], backup[PATH_SIZE];
  Folder folder;
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
  if (CreateTemp(folder, target, target, st, WriteBuffer, &temp, &out) != 0)
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
