#!/usr/bin/env python3
"""Property test: on generated driver list files, list, check and install
agree with each other and with Python's plistlib reading the original and
the rewritten file.

Usage: property_test.py PATH-TO-halvo-readers [CASES] [SEED]
"""
import os
import random

import driverlists
from driverlists import KEYS, decoded, expected_reconciliation, listing, plist_readers, run


def check_case(binary, folder, text, readers):
    path = os.path.join(folder, "Info.plist")
    driverlists.write_file(path, text)
    original = text.encode()
    before, parsed = plist_readers(original)
    assert parsed == decoded(readers), "generator and plistlib disagree"

    out, status = run(binary, "-l", path)
    assert status == 0, out
    assert out == listing(readers), out

    report, missing = expected_reconciliation(readers)
    out, status = run(binary, "-c", path)
    done = "" if missing else "Plist file already contains all Halvo readers.\n"
    assert (out, status) == ("Checking\n" + report + done, 1 if missing else 0), out

    out, status = run(binary, "-i", path)
    done = "" if missing else "Plist file already contains all Halvo readers. Nothing to do.\n"
    assert (out, status) == ("Installing\n" + report + done, 0), out
    now = driverlists.read_bytes(path)
    if not missing:
        assert now == original and not os.path.exists(path + ".backup")
        return
    assert driverlists.read_bytes(path + ".backup") == original
    after, parsed = plist_readers(now)
    assert parsed == decoded(readers + missing), "rewritten arrays are wrong"
    assert {k: v for k, v in after.items() if k not in KEYS} == \
        {k: v for k, v in before.items() if k not in KEYS}, "other keys changed"

    mismatches = "".join(line for line in report.splitlines(True)
                         if line.startswith("Name mismatch"))
    out, status = run(binary, "-i", path)
    assert (out, status) == ("Installing\n" + mismatches + "Plist file already "
                             "contains all Halvo readers. Nothing to do.\n", 0), out


def main():
    binary, cases = driverlists.argument(1), driverlists.argument(2, 300, int)
    seed = driverlists.argument(3, 20261207, int)
    rng = random.Random(seed)
    failed = 0
    for i in range(cases):
        text, readers = driverlists.generate(rng)
        try:
            with driverlists.folder("prop") as folder:
                check_case(binary, folder, text, readers)
        except AssertionError as e:
            failed += 1
            print("case %d (seed %d) failed: %s" % (i, seed, e))
            if failed == 1:
                # Beside the test's build output, never in /tmp or the sources.
                kept = os.path.join(os.getcwd(), "halvo-property-failure-%d-%d.plist" % (seed, i))
                driverlists.write_file(kept, text)
                print("the first failing file is kept at %s" % kept)
    driverlists.summary("property", cases - failed, failed)


if __name__ == "__main__":
    main()
