// The install's file handling: nothing reaches the driver list path but a
// complete, flushed and checked file, by one rename.
#ifndef HALVO_DRIVERLIST_REPLACE_H_
#define HALVO_DRIVERLIST_REPLACE_H_

#include <cstddef>

#include "driverlist/identity.h"
#include "readers/readers.h"

// Room for a path and its terminating zero (realpath() fills PATH_MAX).
constexpr size_t PATH_BUFFER_SIZE = 4096;
// The backup of a driver list file is its path followed by this.
inline constexpr char BACKUP_SUFFIX[] = ".backup";

// Rewrites the driver list file at `path` from `table`, keeping the old
// file at `backup_path`, `path` followed by BACKUP_SUFFIX. `loaded` names
// the file `table` was loaded from: if `path` no longer is that file,
// nothing is written. A symbolic link at `path` is followed: its target is
// rewritten in its own folder and kept at the target's path followed by
// BACKUP_SUFFIX; the link stays as it is.
//
// The target's folder is opened once, and every step works on names in
// it, so a folder renamed meanwhile cannot send a step elsewhere. Its
// temporary files are named as the target followed by a dot and six
// letters, no longer than the backup's name, made with O_EXCL and, when a
// name is taken, tried again under another.
//
// The new file is written to a temporary file beside the target, flushed
// to disk, given the old file's mode, owner and group, and loaded again to
// check that it holds exactly the readers of `table`. Only then is the old
// file kept under another temporary name (a hard link, or a flushed copy
// where links are refused), the new file moved into place by one rename,
// and the kept file renamed over any earlier backup. So the target path
// always holds the complete old or the complete new file, and an earlier
// backup is replaced only once the new file is in place.
//
// Returns 0 when the new file is in place and the old one is the backup;
// when the folder cannot then be flushed to disk, it says so and still
// returns 0. Returns -1 with a message naming the step, the file and the
// system's reason on any failure; the target and an earlier backup are
// then unchanged and no temporary file is left. The one exception is a
// failure of the last rename: the new file is then in place, and the
// message also says where the old one is kept.
int WriteNewPList(const char* path, const char* backup_path,
                  const FileIdentity* loaded, const ReaderEntry* table);

#endif  // HALVO_DRIVERLIST_REPLACE_H_
