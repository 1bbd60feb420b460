// The install: nothing reaches the driver list path but a complete,
// flushed and checked file, by one rename. Its new file is written by the
// rewrite (rewrite.h) into a temporary file (temp.h) beside the target.
#ifndef HALVO_DRIVERLIST_REPLACE_H_
#define HALVO_DRIVERLIST_REPLACE_H_

#include "driverlist/identity.h"
#include "readers/readers.h"

// Rewrites the driver list file at `path` from `table`, keeping the old
// file at `backup_path`, `path` followed by BACKUP_SUFFIX (temp.h). `loaded`
// names the file `table` was loaded from: if `path` no longer is that file,
// nothing is written. A symbolic link at `path` is followed: its target is
// rewritten in its own folder and kept at the target's path followed by
// BACKUP_SUFFIX; the link stays as it is.
//
// The steps are ordered so that the target path always holds the complete
// old or the complete new file: the new file is written beside the target,
// flushed, and loaded again (it must be as long as written and hold
// exactly the readers of `table`) before the old file is touched; the old
// file is then kept under a temporary name, the new one renamed into place,
// and only then the kept file renamed over an earlier backup.
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
