// Files as every unit of the driver list opens and reports them: the one
// message for a failed system call, a FILE* that is always closed, and the
// one way a driver list file is opened for reading.
#ifndef HALVO_DRIVERLIST_FILES_H_
#define HALVO_DRIVERLIST_FILES_H_

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

// Closes `handle` with `close` after a failure, keeping errno for the
// caller's message.
template <typename Handle, typename Close>
void CloseKeepingErrno(Handle handle, Close close) {
  int err = errno;
  close(handle);
  errno = err;
}

// Prints "STEP PATH: REASON", REASON being the system's text for errno, as
// every failed system call is reported. Returns -1; errno is kept.
int PosixError(const char* step, const char* path);

// A member that makes its holder impossible to copy: what closes a file,
// or removes one, must do so once.
struct Uncopyable {
  Uncopyable() = default;
  Uncopyable(const Uncopyable&) = delete;
  Uncopyable& operator=(const Uncopyable&) = delete;
};

// Owns a FILE* so that every path closes it. The write path closes it
// itself with Close(), which reports the result.
struct FileHolder {
  FILE* file = nullptr;
  Uncopyable one_owner;
  ~FileHolder() {
    if (file != nullptr) std::fclose(file);
  }
  // Closes the file; returns 0, or -1 with errno set when fclose failed.
  int Close();
};

// Opens `name`, relative to the folder open as `dir` (or AT_FDCWD), for
// reading into *out (which must hold no file), with its details in *st. Returns
// 0, or -1 with errno set and nothing open; prints nothing.
int OpenToRead(int dir, const char* name, FileHolder* out, struct stat* st);

// OpenToRead for a driver list file, named `path` in messages: when it
// cannot be opened, prints "File could not be opened PATH"; when it cannot
// be looked at, "Could not look at PATH: REASON". Returns 0 or -1.
int OpenDriverList(int dir, const char* name, const char* path, FileHolder* out,
                   struct stat* st);

#endif  // HALVO_DRIVERLIST_FILES_H_
