#!/usr/bin/env python3
"""Benchmark halvo-readers against the floor the machine sets: reading the
file (cat) for -l and -c, copying it and flushing the copy (cp && sync) for
-i. Generates four driver list files with the project's generator: the
example file, one with 1,000 readers, and two of 20 MB whose bulk (comments)
stands before the reader arrays in one and after them in the other. Prints
the median and best wall time of each command over the runs, the ratios,
the peak resident memory of each (from /usr/bin/time, GNU time's %M), and
how many write calls it makes (from strace, where it is installed).

Usage: bench.py PATH-TO-halvo-readers [RUNS] [BULK-BYTES]
A timing is never a test: nothing here fails on a slow machine.
"""
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

# The generator is the tests' own: the files measured are the files tested.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import driverlists  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(HERE, "..", "examples", "Info.plist")


def timed(commands, prepare=None):
    """Runs the commands one after the other; returns the wall time."""
    if prepare:
        prepare()
    start = time.perf_counter()
    for cmd in commands:
        status = subprocess.run(cmd, stdout=subprocess.DEVNULL, check=False).returncode
        if status not in (0, 1):  # -c says 1 when readers are missing
            raise SystemExit("%s failed with status %d" % (" ".join(cmd), status))
    return time.perf_counter() - start


def measure(rows, runs):
    """Times every row `runs` times, in rounds that run each row once, so
    that a busy moment of the machine weighs on all rows alike. Returns
    each row's median and best time."""
    for _, commands, prepare in rows:
        timed(commands, prepare)  # warm the page cache
    times = [[] for _ in rows]
    for _ in range(runs):
        for i, (_, commands, prepare) in enumerate(rows):
            times[i].append(timed(commands, prepare))
    return [(statistics.median(t), min(t)) for t in times]


def peak_kib(command, prepare=None):
    if prepare:
        prepare()
    proc = subprocess.run(["/usr/bin/time", "-f", "%M"] + command,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=False)
    return int(proc.stderr.decode().strip().splitlines()[-1])


def writes(command, prepare=None):
    if not shutil.which("strace"):
        return "-"
    if prepare:
        prepare()
    proc = subprocess.run(["strace", "-f", "-qq", "-c", "-U", "calls,name", "-e", "trace=write"]
                          + command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    counts = [line.split()[0] for line in proc.stderr.decode().splitlines()
              if line.endswith(" write")]
    return counts[0] if counts else "0"


def files(folder, bulk):
    big = os.path.join(folder, "big.plist")
    with open(big, "w") as f:
        f.write(driverlists.generate(random.Random(3), others=200, bulk=bulk, crlf=False)[0])
    after = os.path.join(folder, "after.plist")
    with open(after, "w") as f:
        f.write(driverlists.generate(random.Random(3), others=200, bulk=bulk, crlf=False,
                                  bulk_after=True)[0])
    many = os.path.join(folder, "many.plist")
    with open(many, "w") as f:
        f.write(driverlists.generate(random.Random(2), others=1000, crlf=False)[0])
    small = os.path.join(folder, "example.plist")
    shutil.copy(EXAMPLE, small)
    mb = bulk // 1_000_000
    return [("example", small), ("1000 readers", many), ("%d MB before" % mb, big),
            ("%d MB after" % mb, after)]


def main():
    binary, runs = driverlists.argument(1), driverlists.argument(2, 15, int)
    bulk = driverlists.argument(3, 20_000_000, int)
    with driverlists.folder("bench") as folder:
        print("%-13s %-22s %10s %10s %8s %9s %7s" % ("file", "command", "median ms", "best ms",
                                                    "ratio", "peak KiB", "writes"))
        for label, src in files(folder, bulk):
            size = os.path.getsize(src)
            work = os.path.join(folder, "work.plist")
            copy = os.path.join(folder, "copy.plist")

            def fresh():
                shutil.copy(src, work)
                for stale in (work + ".backup", copy):
                    if os.path.exists(stale):
                        os.unlink(stale)
            rows = [
                ("cat", [["cat", src]], None),
                ("halvo-readers -l", [[binary, "-l", src]], None),
                ("halvo-readers -c", [[binary, "-c", src]], None),
                ("cp && sync", [["cp", src, copy], ["sync", copy]], fresh),
                ("halvo-readers -i", [[binary, "-i", work]], fresh),
            ]
            base = {}
            print("%s: %d bytes" % (label, size))
            for (name, commands, prepare), (median, best) in zip(rows, measure(rows, runs)):
                floor = base.get("cat" if name[-2:] in ("-l", "-c") else "cp && sync")
                base[name] = median
                ratio = "%.2fx" % (median / floor) if floor else "floor"
                one = len(commands) == 1
                kib = peak_kib(commands[0], prepare) if one else "-"
                calls = writes(commands[0], prepare) if one else writes(commands[0])
                print("%-13s %-22s %10.2f %10.2f %8s %9s %7s" % (
                    "", name, median * 1000, best * 1000, ratio, kib, calls))


if __name__ == "__main__":
    main()
