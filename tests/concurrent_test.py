#!/usr/bin/env python3
"""Installs at the same moment: rounds of two or three -i runs started
together on one driver list file. Exactly one adds the readers; the backup
must be the original file, byte for byte, and the new file must hold the
original readers and the twelve built-in ones, each once. Then an install
against a lock that another process holds: released while it waits, the
install goes on; held throughout, it gives up after its wait and writes
nothing.

Usage: concurrent_test.py PATH-TO-halvo-readers [ROUNDS]
"""
import fcntl
import os
import subprocess
import time

import driverlists

LOCK_WAIT_SECONDS = 10


def held_lock_cases(binary, original):
    """Another process holds the lock: released once the install waits for
    it (no timing decides), the install goes on; held throughout, it gives
    up and writes nothing; released once the file is removed, the install
    says it cannot open it again."""
    with driverlists.folder("held") as folder:
        path = os.path.join(folder, "held.plist")
        failed = "\nFillExistingReaders returned an error.\n"
        gave_up = ("%s: another install still holds the file after %d seconds; "
                   "nothing was written." % (path, LOCK_WAIT_SECONDS) + failed)
        removed = "Could not open %s: No such file or directory" % path + failed
        rows = [("released while waiting", False, 0, None, None),
                ("held throughout", True, 255, gave_up, ["held.plist"]),
                ("removed, then released", False, 255, removed, [])]
        for name, throughout, status, printed, left in rows:
            for leftover in os.listdir(folder):
                os.unlink(os.path.join(folder, leftover))
            driverlists.write_file(path, original)
            with open(path, "rb") as holder:
                fcntl.flock(holder, fcntl.LOCK_EX)
                started = time.monotonic()
                run = subprocess.Popen([binary, "-i", path], stdout=subprocess.PIPE, text=True)
                if throughout:
                    run.wait()
                else:  # once the install has the file open, it waits for the lock
                    while path not in open_files(run.pid) and run.poll() is None:
                        time.sleep(0.001)
                    assert run.poll() is None, (name, "did not wait")
                    if printed == removed:
                        os.unlink(path)
                fcntl.flock(holder, fcntl.LOCK_UN)
                out = run.communicate()[0]
                waited = time.monotonic() - started
            assert run.returncode == status, (name, run.returncode, out)
            if status != 0:
                assert not throughout or waited >= LOCK_WAIT_SECONDS, (name, "gave up after %.1f s" % waited)
                assert out == printed, (name, out)
                assert os.listdir(folder) == left, (name, os.listdir(folder))
                assert not left or driverlists.read_bytes(path) == original, name
            else:
                assert "Missing Reader" in out, (name, out)
    return len(rows)


def open_files(pid):
    """The files the process `pid` has open, or none where it just ended."""
    fds = "/proc/%d/fd" % pid
    try:
        return [os.readlink(os.path.join(fds, fd)) for fd in os.listdir(fds)]
    except OSError:
        return []


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
