// Serializes installs on one driver list file: each holds an exclusive
// advisory lock on the file from before it loads it until its new file is
// in place. The lock is on the file itself, so a waiter that wins it after
// an install must make sure the path still names that file: the install's
// rename has put another one there.
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "driverlist/driverlist.h"

namespace {

constexpr long NANOSECONDS_PER_SECOND = 1000000000L;
constexpr long NANOSECONDS_PER_MILLISECOND = 1000000L;

long long MonotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * NANOSECONDS_PER_SECOND +
         now.tv_nsec;
}

// Takes the lock on `fd`, trying again every LOCK_POLL_MILLISECONDS until
// `deadline`. Returns 0 when it is held; -1 with errno EWOULDBLOCK when
// the deadline passed, or the flock error.
int WaitForLock(int fd, long long deadline) {
  const timespec pause{0, LOCK_POLL_MILLISECONDS * NANOSECONDS_PER_MILLISECOND};
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || MonotonicNanoseconds() >= deadline) return -1;
    nanosleep(&pause, nullptr);
  }
}

// True when `path` still names the open file `fd`.
bool StillAtPath(int fd, const char* path) {
  struct stat held, named;
  return fstat(fd, &held) == 0 && stat(path, &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

int OpenLocked(const char* path, FileHolder* out) {
  const long long deadline =
      MonotonicNanoseconds() + LOCK_WAIT_SECONDS * NANOSECONDS_PER_SECOND;
  for (;;) {
    FileHolder f(std::fopen(path, "r"));
    if (f.file == nullptr) {
      std::printf("File could not be opened %s\n", path);
      return -1;
    }
    if (WaitForLock(fileno(f.file), deadline) != 0) {
      if (errno == EWOULDBLOCK)
        std::printf("%s: another install still holds the file after %ld "
                    "seconds; nothing was written.\n",
                    path, LOCK_WAIT_SECONDS);
      else
        std::printf("Could not lock %s: %s\n", path, std::strerror(errno));
      return -1;
    }
    if (StillAtPath(fileno(f.file), path)) {
      out->file = f.file;
      f.file = nullptr;
      return 0;
    }
  }
}
