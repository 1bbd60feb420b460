#!/usr/bin/env python3
"""Driver list files for the tests and the benchmark: the built-in readers,
the files the tests write by hand, the files generated at random, and what
the tool must print of them; and the harness of every Python test (its
arguments, temporary folders, sandbox.sh, skips, the closing line). The one
home of each; bench/ and every test but usb_bus.py import it.

generate(rng, ...) returns (text, readers): the file's text and its readers
as (pid, vid, name as written in the file), in file order.

Command line: driverlists.py OUT --readers N [--bulk BYTES] [--seed S]
"""
import argparse
import atexit
import functools
import os
import plistlib
import random
import shutil
import stat
import subprocess
import sys
import tempfile
from xml.sax.saxutils import unescape

# The built-in readers, in table order: (pid, vid, name, alternative name).
HALVO = [
    (0x0341, 0x2E5B, "HALVO MERIDOX KEY 341", ""),
    (0x0352, 0x2E5B, "HALVO MERIDOX KEY 540", "KY540"),
    (0x0357, 0x2E5B, "HALVO MERIDOX KEY 540", "KY540"),
    (0x0355, 0x2E5B, "HALVO MERIDOX KEY 310", "KY310"),
    (0x0359, 0x2E5B, "HALVO MERIDOX KEY 310", "KY310"),
    (0x0362, 0x2E5B, "HALVO MERIDOX KEY 312", "KY312"),
    (0x0360, 0x2E5B, "HALVO MERIDOX KEY 312", "KY312"),
    (0x0003, 0x2E5B, "HALVO HX615", ""),
    (0x0635, 0x2E5B, "HALVO HX635", ""),
    (0x0645, 0x2E5B, "HALVO HX645", ""),
    (0x0650, 0x2E5B, "HALVO MERIDOX 650", ""),
    (0x0680, 0x2E5B, "Halvo MERIDOX 680", ""),
]

# The three reader arrays' keys, in file order.
KEYS = ["ifdVendorID", "ifdProductID", "ifdFriendlyName"]
# The entities plistlib decodes and the tool keeps as they stand.
ENTITIES = {"&quot;": '"', "&apos;": "'"}

HEAD = '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n'
TAIL = "</dict>\n</plist>\n"


def doc(readers, tail=TAIL, fmt="0x%04X", head=HEAD):
    """A driver list file in the driver's own form, of (pid, vid, name)."""
    def array(key, values):
        return ("\t<key>%s</key>\n\t<array>\n" % key +
                "".join("\t\t<string>%s</string>\n" % v for v in values) +
                "\t</array>\n")
    return (head + array(KEYS[0], [fmt % r[1] for r in readers]) +
            array(KEYS[1], [fmt % r[0] for r in readers]) +
            array(KEYS[2], [r[2] for r in readers]) + tail)


def hex6(n):
    """An ID as the tool prints it, "%#06x"."""
    return "%#06x" % n if n else "000000"


def listing(readers):
    """What -l prints of (pid, vid, name)."""
    return "   PID -    VID - Name\n" + "".join(
        "%s - %s - %s\n" % (hex6(p), hex6(v), n) for p, v, n in readers)


# The built-in readers as (pid, vid, name); two readers of other makers.
BUILT_IN = [r[:3] for r in HALVO]
OTHERS = [(0x0090, 0x072F, "Korvane &amp; Co A"), (0x0100, 0x04E6, "Tessaline B")]
LOAD_FAILED = "FillExistingReaders returned an error.\n"


def generated(readers, tail=TAIL):
    """The file the rewriter makes of doc(readers, tail) plus nothing else."""
    return doc(readers, tail, fmt="%#06x").replace("0x0000", "000000")


def missing_lines(rows):
    return "".join("Missing Reader: %#06x - %#06x - %s\n" % BUILT_IN[r] for r in rows)


def installing(rows):
    return "Installing\n" + missing_lines(rows)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def write_file(path, data):
    """Writes a fixture file whole: bytes, or text as UTF-8."""
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


def read_text(path):
    return read_bytes(path).decode()


@functools.lru_cache(maxsize=None)
def reachable(path):
    """A copy of the file at `path` that any user may reach, removed at the
    end: the checkout may lie in a folder that only root can enter, and no
    test changes it."""
    copies = tempfile.mkdtemp(prefix="halvo-copy-")
    atexit.register(shutil.rmtree, copies, True)
    os.chmod(copies, 0o755)
    return shutil.copy2(path, copies)


def run(binary, *args, cwd=None, preexec=None, wrap=(), stderr=False):
    """Runs the tool in `cwd`, with `preexec` called in the child, under the
    command `wrap` (run as nobody by sandbox.sh not-owner, it runs a copy
    any user may run): (stdout, exit status), and stderr with `stderr`."""
    if "not-owner" in wrap:
        binary = reachable(binary)
    proc = subprocess.run(list(wrap) + [binary] + list(args), cwd=cwd, capture_output=True,
                          preexec_fn=preexec or None, check=False)
    ran = proc.stdout.decode(), proc.returncode
    return ran + (proc.stderr.decode(),) if stderr else ran


# The harness every Python test shares: its arguments, its work folder, the
# system tests' sandbox and skip rule (sandbox.sh's), and the closing line.
def argument(index, default=None, kind=os.path.abspath):
    """Command-line argument `index` (1 is the tool), a path made absolute
    unless `kind` says otherwise, or `default` where it is not given."""
    return kind(sys.argv[index]) if len(sys.argv) > index else default


def folder(name):
    """A temporary folder, removed with its contents at the end of `with`."""
    return tempfile.TemporaryDirectory(prefix="halvo-%s-" % name)


def sandbox(script, *args):
    """Runs sandbox.sh: (exit status, stdout and stderr)."""
    proc = subprocess.run(["bash", script] + list(args), capture_output=True, text=True,
                          check=False)
    return proc.returncode, proc.stdout + proc.stderr


def need(script, *steps):
    """Runs each sandbox.sh step; the first that fails or skips ends the
    test with its status (77 for a skip, 1 where skips are failures)."""
    out = ""
    for step in steps:
        status, out = sandbox(script, *step.split(" ", 1))
        if status != 0:
            print(out, end="")
            sys.exit(status)
    return out.strip()


def skipped(reason):
    """Says why a check cannot run here. Where HALVO_REQUIRE_SYSTEM_TESTS=1,
    as in CI, a skip hides a check that never ran, so it fails instead."""
    if os.environ.get("HALVO_REQUIRE_SYSTEM_TESTS") == "1":
        raise AssertionError("a skip is a failure: " + reason)
    print("skipped: " + reason)


def sandbox_runs(wrap):
    """Whether the sandbox command `wrap` can run here: it says why not,
    and where system tests are required its refusal fails the test."""
    if subprocess.run(wrap + ["true"], check=False).returncode == 0:
        return True
    return skipped("%s cannot run here" % " ".join(wrap[1:3]))


def summary(name, passed, failed=0):
    print("%s: %d passed, %d failed" % (name, passed, failed))
    sys.exit(1 if failed else 0)


class Folder:
    """A temporary folder holding fixture files."""

    def __init__(self, test, prefix="halvo-e2e-"):
        self.path = tempfile.mkdtemp(prefix=prefix)
        test.addCleanup(self.remove)

    def remove(self):
        subprocess.run(["chattr", "-i", self.path], stderr=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, check=False)
        shutil.rmtree(self.path, ignore_errors=True)

    def file(self, name, content, mode=0o644):
        path = os.path.join(self.path, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        write_file(path, content)
        os.chmod(path, mode)
        return path

    @classmethod
    def holding(cls, test, content):
        """A folder holding Info.plist of `content`: (it, the file's path,
        its snapshot)."""
        folder = cls(test)
        path = folder.file("Info.plist", content)
        return folder, path, folder.snapshot()

    def snapshot(self):
        """Every entry below the folder: kind, bytes, mode, inode and mtime."""
        seen = {}
        for root, dirs, files in os.walk(self.path):
            for name in dirs + files:
                p = os.path.join(root, name)
                st = os.lstat(p)
                data = (read_bytes(p) if stat.S_ISREG(st.st_mode) else
                        os.readlink(p) if stat.S_ISLNK(st.st_mode) else None)
                seen[os.path.relpath(p, self.path)] = (
                    st.st_mode, st.st_ino, st.st_mtime_ns, data)
        return seen


def expected_reconciliation(readers):
    """The report lines and the readers to append, found independently."""
    lines, missing = [], []
    for pid, vid, name, alt in HALVO:
        found = next((r for r in readers + missing if r[0] == pid and r[1] == vid), None)
        if found is None:
            lines.append("Missing Reader: %s - %s - %s\n" % (hex6(pid), hex6(vid), name))
            missing.append((pid, vid, name))
        elif found[2] not in (name, alt):
            lines.append("Name mismatch: %s - %s - '%s' or '%s' to '%s'\n"
                         % (hex6(pid), hex6(vid), name, alt, found[2]))
    return "".join(lines), missing


def decoded(readers):
    """The readers with their names as plistlib reads them."""
    return [(pid, vid, unescape(name, ENTITIES)) for pid, vid, name in readers]


def plist_readers(data):
    """The file read by plistlib: (the whole dictionary, its readers)."""
    plist = plistlib.loads(data)
    if len({len(plist[k]) for k in KEYS}) != 1:
        raise AssertionError("arrays differ in length")
    return plist, [(int(p, 16), int(v, 16), n) for v, p, n in
                   zip(plist[KEYS[0]], plist[KEYS[1]], plist[KEYS[2]])]


MAKERS = ["Korvane", "Tessaline", "Gemvault", "Ostrava Micro", "Vasquez &amp; Reed",
          "Pinecrest", "Athelon &lt;EU&gt;"]
MODELS = ["CardPort", "SecureDock", "TokenLink", "PinPad", "Keyline"]


def hex_id(rng, value):
    digits = "%04x" % value if rng.random() < 0.8 else "%x" % value
    if rng.random() < 0.5:
        digits = digits.upper()
    return rng.choice(["0x", "0x", "0X", ""]) + digits


def comment_block(rng, size):
    """A comment of about `size` bytes in lines of at most 100 characters."""
    lines = ["\t<!--"]
    total = 0
    while total < size:
        line = "\t  " + " ".join(rng.choice(MODELS) for _ in range(12))
        lines.append(line)
        total += len(line) + 1
    lines.append("\t-->")
    return lines


def other_keys(rng):
    lines = []
    for i in range(rng.randint(0, 3)):
        lines += ["\t<key>ifdOption%d</key>" % i, "\t<string>0x%08X</string>" % i]
    if rng.random() < 0.3:
        lines += ["\t<key>CFBundleSupportedPlatforms</key>", "\t<array>",
                  "\t\t<string>MacOSX</string>", "\t</array>"]
    if rng.random() < 0.5:
        lines += comment_block(rng, rng.randint(10, 300))
    if rng.random() < 0.3:
        lines.append("")
    return lines


def pick_readers(rng, others):
    readers = []
    for i in range(others):
        maker = rng.choice(MAKERS)
        readers.append((rng.randint(0, 0xFFFE), rng.choice([0x072F, 0x04E6, 0x08E6, 0x1A44]),
                        "%s %s %d" % (maker, rng.choice(MODELS), i)))
    for pid, vid, name, alt in HALVO:
        roll = rng.random()
        if roll < 0.35:
            continue  # missing
        if roll < 0.75:
            chosen = name
        elif roll < 0.85 and alt:
            chosen = alt
        elif roll < 0.9:
            chosen = name.lower()
        else:
            chosen = "Renamed &amp; %d" % pid
        readers.insert(rng.randint(0, len(readers)), (pid, vid, chosen))
        if rng.random() < 0.1:  # a duplicate, first or later
            readers.insert(rng.randint(0, len(readers)), (pid, vid, rng.choice([name, "Dup"])))
    if rng.random() < 0.1:  # a built-in product ID under another vendor
        readers.append((HALVO[0][0], 0x072F, HALVO[0][2]))
    return readers


def generate(rng, others=None, bulk=0, crlf=None, bulk_after=False):
    """One driver list file; `bulk` bytes of comments stand before the
    arrays, or after them with `bulk_after`."""
    if others is None:
        others = rng.randint(0, 40)
    readers = pick_readers(rng, others)
    indent = rng.choice(["\t\t", "\t", "    ", "", " \t "])
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" '
             '"http://www.apple.com/DTDs/PropertyList-1.0.dtd">',
             '<plist version="1.0">', "<dict>"]
    lines += other_keys(rng)
    if bulk and not bulk_after:
        lines += comment_block(rng, bulk)
    arrays = zip(KEYS, [[hex_id(rng, r[1]) for r in readers],
                        [hex_id(rng, r[0]) for r in readers], [r[2] for r in readers]])
    for key, values in arrays:
        lines.append("\t<key>%s</key>" % key)
        if rng.random() < 0.2:
            lines.append("\t<!-- %s follow -->" % key)
        lines.append("\t<array>")
        lines += ["%s<string>%s</string>" % (indent, v) for v in values]
        lines.append("\t</array>")
        lines += other_keys(rng)
    if bulk and bulk_after:
        lines += comment_block(rng, bulk)
    lines += ["</dict>", "</plist>"]
    eol = ("\r\n" if rng.random() < 0.3 else "\n") if crlf is None else ("\r\n" if crlf else "\n")
    text = eol.join(lines) + (eol if rng.random() < 0.9 else "")
    return text, readers


def large(seed, others, bulk):
    """A file for the tests that run many installs on one: LF line ends,
    `bulk` bytes of comments before the arrays. (The generator, for more
    draws; the file's bytes; its readers.)"""
    rng = random.Random(seed)
    text, readers = generate(rng, others, bulk, crlf=False)
    return rng, text.encode(), readers


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("out")
    parser.add_argument("--readers", type=int, default=30)
    parser.add_argument("--bulk", type=int, default=0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    text, _ = generate(random.Random(args.seed), args.readers, args.bulk, crlf=False)
    with open(args.out, "w", encoding="utf-8", newline="") as f:
        f.write(text)


if __name__ == "__main__":
    main()
