// What differs between the platforms the tool is built for (macOS, the
// system it was made for, and Linux, where most of its users run it), in
// one place: the rest of the code is the same everywhere.
#ifndef HALVO_DRIVERLIST_PLATFORM_H_
#define HALVO_DRIVERLIST_PLATFORM_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

// The driver list file used when no path is given. The build sets it: on
// macOS the system's CCID bundle, elsewhere the CCID bundle in pcsc-lite's
// driver folder as pkg-config reports it. A build that sets none gets the
// same choice, with Debian's and most distributions' folder on Linux.
#ifndef HALVO_DEFAULT_PATH
#if defined(__APPLE__)
#define HALVO_DEFAULT_PATH \
  "/usr/libexec/SmartCardServices/drivers/ifd-ccid.bundle/Contents/Info.plist"
#else
#define HALVO_DEFAULT_PATH \
  "/usr/lib/pcsc/drivers/ifd-ccid.bundle/Contents/Info.plist"
#endif
#endif

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
// True when both the processor and the operating system support AVX2: the
// CPUID bits for AVX and AVX2, and the XMM and YMM state enabled in XCR0 by
// the system (else AVX2 instructions fault). Asks the processor itself, so
// it needs nothing from the compiler's run-time library.
inline bool ProcessorHasAVX2() {
  constexpr unsigned CPUID_FEATURES = 1, CPUID_EXTENDED_FEATURES = 7;
  constexpr unsigned ECX_OSXSAVE = 1u << 27, ECX_AVX = 1u << 28;
  constexpr unsigned EBX_AVX2 = 1u << 5;
  constexpr unsigned XCR0_XMM_YMM = (1u << 1) | (1u << 2);
  unsigned a, b, c, d;
  if (__get_cpuid(CPUID_FEATURES, &a, &b, &c, &d) == 0) return false;
  if ((c & (ECX_OSXSAVE | ECX_AVX)) != (ECX_OSXSAVE | ECX_AVX)) return false;
  unsigned xcr0_low, xcr0_high;
  __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  if ((xcr0_low & XCR0_XMM_YMM) != XCR0_XMM_YMM) return false;
  if (__get_cpuid_count(CPUID_EXTENDED_FEATURES, 0, &a, &b, &c, &d) == 0)
    return false;
  return (b & EBX_AVX2) != 0;
}
#endif

#endif  // HALVO_DRIVERLIST_PLATFORM_H_
