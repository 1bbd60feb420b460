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
import subprocess
import sys
import tempfile

from driverlists import HEAD, doc

import driverlists

ACCEPTED, PARSE_ERROR = 0, 2


def sandbox(script, *args):
    proc = subprocess.run(["bash", script] + list(args), capture_output=True, text=True)
    return proc.returncode, proc.stdout


def many_readers(count):
    """A driver list in the driver's own form with `count` other readers."""
    return doc([(i, 0x072F, "Korvane CardPort %d" % i) for i in range(1, count + 1)],
               head=HEAD + "\t<key>CFBundleExecutable</key>\n\t<string>libccid.so</string>\n"
               ).encode()


def installed(binary, folder, name, data):
    path = os.path.join(folder, name)
    driverlists.write_file(path, data)
    out = subprocess.run([binary, "-i", path], capture_output=True, text=True)
    assert out.returncode == 0 and "Missing Reader" in out.stdout, out.stdout
    return path


def main():
    binary, script, example = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3]
    for step in ("need-root", "driver-list"):
        status, out = sandbox(script, step)
        if status != 0:
            print(out, end="")
            sys.exit(status)
    real = driverlists.read_bytes(out.strip())
    shipped = driverlists.read_bytes(example)
    with tempfile.TemporaryDirectory(prefix="halvo-pcscd-") as folder:
        cases = [("real list, LF", installed(binary, folder, "lf.plist", real), ACCEPTED),
                 ("real list, CR LF", installed(binary, folder, "crlf.plist",
                                                real.replace(b"\n", b"\r\n")), ACCEPTED),
                 ("shipped example", installed(binary, folder, "example.plist", shipped),
                  ACCEPTED),
                 ("1011 readers grown to 1023",
                  installed(binary, folder, "full.plist", many_readers(1011)), ACCEPTED)]
        lines = driverlists.read_bytes(cases[0][1]).split(b"\n")
        first_pid = lines.index(b"\t<key>ifdProductID</key>") + 2
        broken = os.path.join(folder, "broken.plist")
        driverlists.write_file(broken, b"\n".join(lines[:first_pid] + lines[first_pid + 1:]))
        cases.append(("control: one product ID short", broken, PARSE_ERROR))
        failed = 0
        for name, path, expected in cases:
            status, out = sandbox(script, "pcscd", path, os.path.join(folder, "pcscd.log"))
            verdict = "ok" if status == expected else "FAILED"
            failed += status != expected
            print("%s: pcscd %s (%s)" % (name, "accepted it" if status == ACCEPTED else
                                          "reported a parse error" if status == PARSE_ERROR
                                          else "did not run: " + out, verdict))
    print("pcscd: %d passed, %d failed" % (len(cases) - failed, failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
