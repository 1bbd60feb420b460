// The lock is on the file itself, so a waiter that wins it after an install
// must make sure the path still names that file: the install's rename has
// put another one there.
#include "driverlist/lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>

#include "driverlist/identity.h"

namespace {

constexpr long NANOSECONDS_PER_MILLISECOND = 1000000L;
constexpr long MILLISECONDS_PER_SECOND = 1000L;
// Each attempt that finds the file locked waits one poll; one that finds
// it replaced opens the new file at once, and counts as an attempt too.
constexpr long LOCK_ATTEMPTS =
    LOCK_WAIT_SECONDS * MILLISECONDS_PER_SECOND / LOCK_POLL_MILLISECONDS;

void PauseOnePoll() {
  timespec pause{0, LOCK_POLL_MILLISECONDS * NANOSECONDS_PER_MILLISECOND};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// Takes the lock on `fd`, using up *attempts while another holds it.
// Returns 0 when it is held; -1 with errno EWOULDBLOCK when the attempts
// ran out, or with the error of flock.
int WaitForLock(int fd, long* attempts) {
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || *attempts <= 0) return -1;
    --*attempts;
    PauseOnePoll();
  }
}

int GiveUp(const char* path) {
  std::printf(
      "%s: another install still holds the file after %ld seconds; "
      "nothing was written.\n",
      path, LOCK_WAIT_SECONDS);
  return -1;
}

}  // namespace

int LockDriverList(const char* path, FileHolder* file, struct stat* st) {
  long attempts = LOCK_ATTEMPTS;
  for (;;) {
    if (WaitForLock(fileno(file->file), &attempts) != 0) {
      if (errno == EWOULDBLOCK) return GiveUp(path);
      return PosixError("Could not lock", path);
    }
    if (StillAtPath(fileno(file->file), path)) return 0;
    if (attempts-- <= 0) return GiveUp(path);
    FileHolder again;
    if (OpenToRead(AT_FDCWD, path, &again, st) != 0)
      return PosixError("Could not open", path);
    std::swap(file->file, again.file);
  }
}
