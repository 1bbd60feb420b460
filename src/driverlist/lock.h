// Installs on one driver list file take turns: each holds an exclusive
// advisory lock (flock) on the file from before it loads it until its new
// file is in place. No lock file is made.
#ifndef HALVO_DRIVERLIST_LOCK_H_
#define HALVO_DRIVERLIST_LOCK_H_

#include <sys/stat.h>

#include "driverlist/files.h"

// How long an install waits for another one on the same file to finish,
// and how often it looks whether it has.
constexpr long LOCK_WAIT_SECONDS = 10;
constexpr long LOCK_POLL_MILLISECONDS = 10;

// Takes an exclusive flock on the driver list file open in *file, opened
// from `path`, waiting up to LOCK_WAIT_SECONDS for an install that holds
// it. When `path` names another file once the lock is won (that install
// renamed its new file into place), opens that one instead, with its
// details in *st, and starts again. Returns 0 with the locked file in
// *file: the lock lasts until it is closed. Returns -1 with a message when
// the file cannot be opened again ("Could not open PATH: REASON") or
// locked, or the wait ran out.
int LockDriverList(const char* path, FileHolder* file, struct stat* st);

#endif  // HALVO_DRIVERLIST_LOCK_H_
