#!/usr/bin/env python3
"""The tool on the machine's real CCID driver list (Debian's libccid), held
against Python's plistlib: list, check and install on a copy of it, as it
stands and with CR LF line ends. The system file is only ever read.

The build's default path, when it names that list: -l and -c without a
path read it, and a run without arguments installs into it, in a throwaway
overlay of the root file system.

Usage: real_driver_list_test.py PATH-TO-halvo-readers PATH-TO-sandbox.sh DEFAULT-PATH
"""
import os
import re
from xml.sax.saxutils import unescape

from driverlists import ENTITIES, expected_reconciliation, plist_readers, run

import driverlists

# A reader array, from its key line through its closing line.
ARRAY = re.compile(r"[^\n]*<key>ifd(VendorID|ProductID|FriendlyName)</key>\n"
                   r"(?:.*\n)*?[^\n]*</array>[^\n]*\n")


def outside_arrays(data):
    """The lines of a file outside the three reader arrays, CRs dropped."""
    return ARRAY.sub("", data.decode().replace("\r", "")).splitlines()


def check(binary, path, original):
    _, readers = plist_readers(original)
    out, status = run(binary, "-l", path)
    rows = [re.fullmatch(r"(\S+) - (\S+) - (.*)", line) for line in out.splitlines()[1:]]
    assert status == 0 and out.startswith("   PID -    VID - Name\n"), out
    listed = [(int(m[1], 16), int(m[2], 16), unescape(m[3], ENTITIES)) for m in rows]
    assert listed == readers, "-l differs from plistlib"

    report, missing = expected_reconciliation(readers)
    out, status = run(binary, "-c", path)
    assert status == (1 if missing else 0), out
    assert unescape(out, ENTITIES) == "Checking\n" + report + \
        ("" if missing else "Plist file already contains all Halvo readers.\n"), out

    out, status = run(binary, "-i", path)
    assert status == 0 and unescape(out, ENTITIES).startswith("Installing\n" + report), out
    new = driverlists.read_bytes(path)
    assert driverlists.read_bytes(path + ".backup") == original, "the backup is not the original"
    _, now = plist_readers(new)
    assert now == readers + [(p, v, n) for p, v, n in missing], "new arrays are wrong"
    assert outside_arrays(new) == outside_arrays(original), "lines outside the arrays changed"

    out, status = run(binary, "-i", path)
    assert status == 0 and out.endswith("Nothing to do.\n"), out
    assert driverlists.read_bytes(path) == new, "a second install changed the file"
    assert run(binary, "-c", path)[1] == 0
    return len(readers), len(missing)


def check_default(binary, sandbox, real):
    """Without a path the tool works on the system's list, run in overlays."""
    for mode in ("-l", "-c"):
        ran = [driverlists.sandbox(sandbox, "overlay", binary, mode, *path) for path in ([], [real])]
        assert ran[0] == ran[1], mode + " without a path"
    status, out = driverlists.sandbox(sandbox, "overlay", "sh", "-c", '"$0" && "$0" -c', binary)
    assert status == 0 and out.startswith("Installing\nMissing Reader") and \
        out.endswith("Checking\nPlist file already contains all Halvo readers.\n"), out
    print("default path %s: listed, checked, installed" % real)


def main():
    binary, sandbox, default = (driverlists.argument(i) for i in (1, 2, 3))
    real = driverlists.need(sandbox, "driver-list")
    cases = 2
    if os.path.realpath(default) == real:
        check_default(binary, sandbox, real)
        cases += 1
    else:
        print("the build's default %s is not the system's list" % default)
    lf = driverlists.read_bytes(real)
    assert b"\r" not in lf
    for name, original in (("LF", lf), ("CR LF", lf.replace(b"\n", b"\r\n"))):
        with driverlists.folder("real") as folder:
            path = os.path.join(folder, "Info.plist")
            driverlists.write_file(path, original)
            readers, added = check(binary, path, original)
            print("%s: %s with %d readers: %d added" % (real, name, readers, added))
    driverlists.summary("real driver list", cases)


if __name__ == "__main__":
    main()
