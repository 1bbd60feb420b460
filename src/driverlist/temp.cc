// Names are tried as mkstemp tries them, but stay as long as the backup's
// name, so that a temporary name fits wherever the backup's does.
#include "driverlist/temp.h"

#include <fcntl.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "driverlist/platform.h"

namespace {

static_assert(PATH_BUFFER_SIZE >= PATH_MAX);
constexpr mode_t PERMISSION_BITS = 07777;
constexpr mode_t GROUP_BITS = S_IRWXG, OTHER_BITS = S_IRWXO;
constexpr int GROUP_SHIFT = 3;  // from the others' bits to the group's
// Private until it is given the old file's mode.
constexpr mode_t TEMP_MODE = 0600;

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
// The seed: nanoseconds take the low 30 bits (below 2^30), the seconds go
// above them, and the process ID above the seconds' fast-changing bits.
constexpr int NANOSECOND_BITS = 30;
constexpr int SECONDS_SHIFT = NANOSECOND_BITS, PID_SHIFT = 40;

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

// Makes the name `temp` in `dir`, from `from` where it takes one.
using MakeName = int (*)(int dir, const char* temp, const char* from);

// Calls `make` with fresh temporary names beside `target` in `folder`
// until one is not taken. Returns what `make` returned, or -1 with errno
// EEXIST when every name was taken, or ENAMETOOLONG when none fits.
int TryTempNames(const TargetFolder& folder, const char* target, TempFile* temp,
                 MakeName make, const char* from) {
  if (!Fits(temp->path, target, TEMP_ENDING)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  temp->dir = folder.fd;
  temp->name = BaseName(temp->path);
  char* letters = temp->path + std::strlen(temp->path) - TEMP_LETTERS;
  for (int i = 0; i < TEMP_NAME_ATTEMPTS; i++) {
    PickLetters(letters);
    int result = make(folder.fd, temp->name, from);
    if (result >= 0 || errno != EEXIST) return result;
  }
  return -1;
}

int CreateName(int dir, const char* temp, const char*) {
  return openat(dir, temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, TEMP_MODE);
}

int LinkName(int dir, const char* temp, const char* from) {
  return linkat(dir, from, dir, temp, 0);
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

}  // namespace

const char* BaseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

bool Fits(char* out, const char* path, const char* ending) {
  int n = std::snprintf(out, PATH_BUFFER_SIZE, "%s%s", path, ending);
  return n >= 0 && static_cast<size_t>(n) < PATH_BUFFER_SIZE;
}

int CreateTemp(const TargetFolder& folder, const char* target,
               const char* beside, const struct stat& old, char* buffer,
               size_t size, TempFile* temp, FileHolder* out) {
  int fd = TryTempNames(folder, target, temp, CreateName, nullptr);
  if (fd < 0)
    return PosixError("Could not create a temporary file beside", beside);
  temp->active = true;
  out->file = fdopen(fd, "w");
  if (out->file == nullptr) {
    CloseKeepingErrno(fd, close);
    return PosixError("Could not open", temp->path);
  }
  if (std::setvbuf(out->file, buffer, buffer != nullptr ? _IOFBF : _IONBF,
                   buffer != nullptr ? size : 0) != 0)
    return PosixError("Could not open", temp->path);
  bool group_kept = false;
  if (GiveOwner(fd, old, &group_kept) != 0)
    return PosixError("Could not set the owner of", temp->path);
  if (fchmod(fd, ModeFor(old.st_mode, group_kept)) != 0)
    return PosixError("Could not set the mode of", temp->path);
  return 0;
}

int LinkTemp(const TargetFolder& folder, const char* target, TempFile* temp) {
  if (TryTempNames(folder, target, temp, LinkName, BaseName(target)) != 0)
    return -1;
  temp->active = true;
  return 0;
}

int FinishTemp(TempFile* temp, FileHolder* out) {
  // A stream that once failed may have dropped what it held: never kept.
  if (std::ferror(out->file) || std::fflush(out->file) != 0)
    return PosixError("Could not write", temp->path);
  if (FlushToDisk(fileno(out->file)) != 0)
    return PosixError("Could not flush to disk", temp->path);
  if (out->Close() != 0) return PosixError("Could not close", temp->path);
  return 0;
}
