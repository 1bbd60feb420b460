// What differs between the platforms the tool is built for (macOS, the
// system it was made for, and Linux, where most of its users run it), in
// one place: the rest of the code is the same everywhere.
#ifndef HALVO_DRIVERLIST_PLATFORM_H_
#define HALVO_DRIVERLIST_PLATFORM_H_

#include <fcntl.h>
#include <sys/stat.h>
#if defined(__APPLE__)
#include <sys/sysctl.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <ctime>

// The modification time of `st`, to the nanosecond: macOS names the field
// st_mtimespec, POSIX st_mtim.
inline timespec ModificationTime(const struct stat& st) {
#if defined(__APPLE__)
  return st.st_mtimespec;
#else
  return st.st_mtim;
#endif
}

// Makes what was written to `fd` durable. On macOS fsync only hands the
// data to the drive, which may still hold or reorder it; F_FULLFSYNC asks
// the drive to write it out. File systems that refuse F_FULLFSYNC (some
// network ones) get fsync. Returns 0, or -1 with errno set.
inline int FlushToDisk(int fd) {
#if defined(F_FULLFSYNC)
  if (fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
  return fsync(fd);
}

// Opens the folder `path` to work on names in it. Where it cannot be read
// (mode 0300, say), it is opened for search alone where the system allows
// that: names in it can still be made, linked and renamed, but it cannot be
// flushed. Returns the descriptor, with *read_error 0 when the folder could
// be read and else why not; or -1 with errno set.
inline int OpenFolder(const char* path, int* read_error) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  *read_error = fd < 0 ? errno : 0;
#if defined(O_PATH)
  constexpr int SEARCH_ONLY = O_PATH;  // Linux
#elif defined(O_SEARCH)
  constexpr int SEARCH_ONLY = O_SEARCH;
#endif
#if defined(O_PATH) || defined(O_SEARCH)
  if (fd < 0 && *read_error == EACCES) {
    fd = open(path, SEARCH_ONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) errno = *read_error;
  }
#endif
  return fd;
}

#if defined(__x86_64__)
// True when both the processor and the system let AVX2 instructions run
// (the system must save the YMM registers, else they fault). macOS says so
// itself; elsewhere the compiler's run-time library checks both, once told
// to look, as static objects may be made before it is.
inline bool ProcessorHasAVX2() {
#if defined(__APPLE__)
  int has = 0;
  size_t size = sizeof has;
  return sysctlbyname("hw.optional.avx2_0", &has, &size, nullptr, 0) == 0 &&
         has != 0;
#else
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
#endif
}
#endif

#endif  // HALVO_DRIVERLIST_PLATFORM_H_
