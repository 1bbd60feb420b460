#!/usr/bin/env python3
"""The benchmark's generator and script: the generator's bulk stands before
the reader arrays and its files parse; the script runs on small sizes.
Timings are never checked.

Usage: bench_test.py PATH-TO-halvo-readers
"""
import os
import subprocess
import sys

import driverlists

HERE = os.path.dirname(os.path.abspath(__file__))
BENCH = os.path.join(HERE, "..", "bench")


def main():
    binary = driverlists.argument(1)
    with driverlists.folder("bench") as folder:
        out = os.path.join(folder, "gen.plist")
        subprocess.run([sys.executable, os.path.join(HERE, "driverlists.py"), out,
                        "--readers", "1000", "--bulk", "300000"], check=True)
        data = driverlists.read_bytes(out)
        assert data.index(b"<key>ifdVendorID</key>") > 300000, "bulk not before the arrays"
        assert b"\r" not in data
        assert len(driverlists.plist_readers(data)[1]) >= 1000
    proc = subprocess.run([sys.executable, os.path.join(BENCH, "bench.py"), binary, "1",
                           "1000000"], capture_output=True, check=True)
    report = proc.stdout.decode()
    for row in ("cat", "halvo-readers -l", "halvo-readers -c", "cp && sync",
                "halvo-readers -i", "1 MB"):
        assert row in report, report
    driverlists.summary("bench", 2)


if __name__ == "__main__":
    main()
