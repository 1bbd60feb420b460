#!/usr/bin/env python3
"""Installs at the same moment: rounds of two or three -i runs started
together on one driver list file. Exactly one adds the readers; the backup
must be the original file, byte for byte, and the new file must hold the
original readers and the twelve built-in ones, each once. Then an install
against a lock that another process holds: released after a moment, the
install goes on; held throughout, it gives up after its wait and writes
nothing.

Usage: concurrent_test.py PATH-TO-halvo-readers [ROUNDS]
"""
import fcntl
import os
import subprocess
import threading
import time

import driverlists

LOCK_WAIT_SECONDS = 10


def held_lock_cases(binary, original):
    """Another process holds the lock: released after a moment, the install
    goes on; held throughout, it gives up and writes nothing; released once
    the file is removed, the install says it cannot open it again."""
    with driverlists.folder("held") as folder:
        path = os.path.join(folder, "held.plist")
        failed = "\nFillExistingReaders returned an error.\n"
        gave_up = ("%s: another install still holds the file after %d seconds; "
                   "nothing was written." % (path, LOCK_WAIT_SECONDS) + failed)
        removed = "Could not open %s: No such file or directory" % path + failed
        rows = [("released after 1 s", 1, 0, None, None),
                ("held throughout", LOCK_WAIT_SECONDS + 5, 255, gave_up, ["held.plist"]),
                ("removed, then released", 1, 255, removed, [])]
        for name, hold, status, printed, left in rows:
            for leftover in os.listdir(folder):
                os.unlink(os.path.join(folder, leftover))
            driverlists.write_file(path, original)
            with open(path, "rb") as holder:
                fcntl.flock(holder, fcntl.LOCK_EX)
                def release(holder=holder, remove=printed == removed):
                    if remove:
                        os.unlink(path)
                    fcntl.flock(holder, fcntl.LOCK_UN)
                timer = threading.Timer(hold, release)
                timer.start()
                started = time.monotonic()
                run = subprocess.run([binary, "-i", path], capture_output=True, text=True)
                waited = time.monotonic() - started
                timer.cancel()
            assert run.returncode == status, (name, run.returncode, run.stdout)
            if status != 0:
                assert waited >= min(hold, LOCK_WAIT_SECONDS), (name, "gave up after %.1f s" % waited)
                assert run.stdout == printed, (name, run.stdout)
                assert os.listdir(folder) == left, (name, os.listdir(folder))
                assert not left or driverlists.read_bytes(path) == original, name
            else:
                assert "Missing Reader" in run.stdout, (name, run.stdout)
    return len(rows)


def main():
    binary, rounds = driverlists.argument(1), driverlists.argument(2, 30, int)
    _, original, readers = driverlists.large(11, 500, 300_000)
    builtin = [(pid, vid) for pid, vid, _, _ in driverlists.HALVO]
    present = [(r[0], r[1]) for r in readers]
    expected = present + [k for k in builtin if k not in present]
    with driverlists.folder("concurrent") as folder:
        path = os.path.join(folder, "Info.plist")
        for i in range(rounds):
            driverlists.write_file(path, original)
            if os.path.exists(path + ".backup"):
                os.unlink(path + ".backup")
            runs = [subprocess.Popen([binary, "-i", path], stdout=subprocess.PIPE)
                    for _ in range(2 + i % 2)]
            outputs = [(p.communicate()[0].decode(), p.returncode) for p in runs]
            assert all(status == 0 for _, status in outputs), (i, outputs)
            adders = [out for out, _ in outputs if "Nothing to do." not in out]
            assert len(adders) == 1, "round %d: %d runs added readers" % (i, len(adders))
            assert driverlists.read_bytes(path + ".backup") == original, "round %d: the backup is not the original" % i
            got = driverlists.plist_readers(driverlists.read_bytes(path))[1]
            assert [r[:2] for r in got] == expected, "round %d: the new file's readers differ" % i
            assert sorted(os.listdir(folder)) == ["Info.plist", "Info.plist.backup"], \
                "round %d: left %s" % (i, os.listdir(folder))
    driverlists.summary("concurrent", rounds + held_lock_cases(binary, original))


if __name__ == "__main__":
    main()
