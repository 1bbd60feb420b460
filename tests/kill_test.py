#!/usr/bin/env python3
"""Interrupted installs: kill -9 at random moments during a large install,
many times; the driver list path must always hold the complete old file or
the complete new one, and nothing but a temporary file may be left beside it.

Usage: kill_test.py PATH-TO-halvo-readers [ROUNDS]
"""
import os
import re
import shutil
import signal
import subprocess
import time

import driverlists

LEFTOVER = re.compile(r"^Info\.plist(\.backup)?(\.[A-Za-z0-9]{6})?$")


def fresh(folder, data):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    path = os.path.join(folder, "Info.plist")
    driverlists.write_file(path, data)
    return path


def main():
    binary, rounds = driverlists.argument(1), driverlists.argument(2, 40, int)
    rng, old, _ = driverlists.large(7, 800, 4_000_000)
    with driverlists.folder("kill") as work:
        folder = os.path.join(work, "d")
        path = fresh(folder, old)
        start = time.monotonic()
        proc = subprocess.run([binary, "-i", path], capture_output=True, check=False)
        duration = time.monotonic() - start
        assert proc.returncode == 0, proc.stdout
        new = driverlists.read_bytes(path)
        assert new != old
        seen = {"old": 0, "new": 0}
        for i in range(rounds):
            path = fresh(folder, old)
            child = subprocess.Popen([binary, "-i", path], stdout=subprocess.DEVNULL)
            time.sleep(rng.uniform(0, duration * 1.2))
            child.send_signal(signal.SIGKILL)
            child.wait()
            now = driverlists.read_bytes(path)
            assert now in (old, new), "round %d: the file is neither old nor new" % i
            seen["old" if now == old else "new"] += 1
            stray = [n for n in os.listdir(folder) if not LEFTOVER.match(n)]
            assert not stray, "round %d: unexpected files %s" % (i, stray)
        print("%d rounds of kill -9 during a %.0f ms install: old file %d times, "
              "new file %d times, never anything else" %
              (rounds, duration * 1000, seen["old"], seen["new"]))
    driverlists.summary("kill", rounds)


if __name__ == "__main__":
    main()
