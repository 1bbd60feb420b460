#!/usr/bin/env python3
"""The real smart-card service reads what the install writes: pcscd, run in
a private mount namespace, must come up and parse the CCID driver list that
-i wrote from the real list (LF and CR LF), from the shipped example and
from a list of 1011 readers grown to the most the tool holds, 1023. As a
control, the rewritten real list short of one product ID must make pcscd
report its parse error, or the check could never fail.

Usage: pcscd_test.py PATH-TO-halvo-readers PATH-TO-sandbox.sh EXAMPLE-FILE
"""
import os

import driverlists
from driverlists import HEAD, doc

ACCEPTED, PARSE_ERROR = 0, 2

def many_readers(count):
    """A driver list in the driver's own form with `count` other readers."""
    return doc([(i, 0x072F, "Korvane CardPort %d" % i) for i in range(1, count + 1)],
               head=HEAD + "\t<key>CFBundleExecutable</key>\n\t<string>libccid.so</string>\n"
               ).encode()


def installed(binary, folder, name, data):
    path = os.path.join(folder, name)
    driverlists.write_file(path, data)
    out, status = driverlists.run(binary, "-i", path)
    assert status == 0 and "Missing Reader" in out, out
    return path


def main():
    binary, script, example = (driverlists.argument(i) for i in (1, 2, 3))
    real = driverlists.read_bytes(driverlists.need(script, "need-root", "driver-list"))
    sources = [("real list, LF", real), ("real list, CR LF", real.replace(b"\n", b"\r\n")),
               ("shipped example", driverlists.read_bytes(example)),
               ("1011 readers grown to 1023", many_readers(1011))]
    with driverlists.folder("pcscd") as folder:
        cases = [(name, installed(binary, folder, "%d.plist" % i, data), ACCEPTED)
                 for i, (name, data) in enumerate(sources)]
        lines = driverlists.read_bytes(cases[0][1]).split(b"\n")
        first_pid = lines.index(b"\t<key>ifdProductID</key>") + 2
        broken = os.path.join(folder, "broken.plist")
        driverlists.write_file(broken, b"\n".join(lines[:first_pid] + lines[first_pid + 1:]))
        cases.append(("control: one product ID short", broken, PARSE_ERROR))
        failed = 0
        for name, path, expected in cases:
            status, out = driverlists.sandbox(script, "pcscd", path,
                                              os.path.join(folder, "pcscd.log"))
            verdict = "ok" if status == expected else "FAILED"
            failed += status != expected
            print("%s: pcscd %s (%s)" % (name, "accepted it" if status == ACCEPTED else
                                          "reported a parse error" if status == PARSE_ERROR
                                          else "did not run: " + out, verdict))
    driverlists.summary("pcscd", len(cases) - failed, failed)


if __name__ == "__main__":
    main()
