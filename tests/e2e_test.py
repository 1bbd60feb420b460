#!/usr/bin/env python3
"""End-to-end tests: run the built halvo-readers in temporary folders on
fixture files made there; compare the whole stdout, the exit status and the
resulting files byte for byte.

Usage: e2e_test.py PATH-TO-halvo-readers PATH-TO-examples/Info.plist
                   DEFAULT-PATH PATH-TO-sandbox.sh
"""
import glob
import os
import re
import resource
import stat
import subprocess
import sys
import unittest

import driverlists
from driverlists import (HEAD, KEYS, LOAD_FAILED, OTHERS, TAIL, Folder, doc, generated,
                         installing, listing, missing_lines, plist_readers, read_bytes,
                         sandbox_runs)
from driverlists import BUILT_IN as HALVO
from driverlists import read_text as read

BINARY = None
EXAMPLE = None
DEFAULT_PATH = None  # the build's
SANDBOX = None
TOP = None  # the source tree, which no test changes


def usage(program):
    return (program + " -[lic] \n\tOption -i for install\n"
            "\tOption -l for list all readers\n\tOption -c for check installation\n")


def run(args, **kw):
    """The tool on `args`: (stdout, exit status, stderr)."""
    return driverlists.run(BINARY, *args, stderr=True, **kw)


class CommandLineTest(unittest.TestCase):
    def test_bad_command_lines(self):
        cases = [
            ("three arguments", ["-l", "a", "b"], "Wrong argument count\n"),
            ("path alone", ["Info.plist"], "Unknown option: Info.plist\n"),
            ("upper case", ["-L"], "Unknown option: -L\n"),
            ("combined options", ["-lc"], "Unknown option: -lc\n"),
            ("longer word", ["-list", "x"], "Unknown option: -list\n"),
            ("empty argument", [""], "Unknown option: \n"),
            ("path too long", ["-l", "p" * 4089],
             "Path too long: 4089 bytes, at most 4088 allowed\n"),
        ]
        for name, args, first in cases:
            with self.subTest(name):
                folder = Folder(self)
                out, status, err = run(args, cwd=folder.path)
                self.assertEqual(out, first + usage(BINARY))
                self.assertEqual((status, err), (1, ""))
                self.assertEqual(folder.snapshot(), {})

    def test_lost_output_is_a_failure(self):
        with open("/dev/full", "w") as full:
            proc = subprocess.run([BINARY, "-l", EXAMPLE], stdout=full, check=False)
        self.assertEqual(proc.returncode, 255)

    def test_files_that_cannot_be_opened(self):
        longest = "p" * 4088
        not_opened = "File could not be opened %s\n"
        cases = [
            ("no arguments", [], DEFAULT_PATH, not_opened),
            ("list, default path", ["-l"], DEFAULT_PATH, not_opened),
            ("check, missing file", ["-c", "missing.plist"], "missing.plist", not_opened),
            ("install, missing file", ["-i", "missing.plist"], "missing.plist", not_opened),
            ("longest path", ["-l", longest], longest, not_opened),
            ("a folder", ["-l", "."], ".", "Could not read %s: Is a directory\n"
             "ReadPListArray returned an error during reading VIDS.\n"),
        ]
        for name, args, path, message in cases:
            with self.subTest(name):
                folder = Folder(self)
                wrap = []  # where a real list is installed, an empty folder over its own
                if path == DEFAULT_PATH and os.path.exists(path):
                    wrap = ["bash", SANDBOX, "over", folder.path, os.path.dirname(path)]
                    if not sandbox_runs(wrap):
                        continue
                out, status, _ = run(args, cwd=folder.path, wrap=wrap)
                self.assertEqual(out, message % path + LOAD_FAILED)
                self.assertEqual(status, 255)
                self.assertEqual(folder.snapshot(), {})


class ListTest(unittest.TestCase):
    def test_listings(self):
        cases = [
            ("empty arrays", doc([]), []),
            ("one reader", doc([HALVO[0]]), [HALVO[0]]),
            ("id zero", doc([(0, 0x2E5B, "Zero")]), [(0, 0x2E5B, "Zero")]),
            ("entities undecoded", doc(OTHERS), OTHERS),
            ("standard input closed", doc(OTHERS), OTHERS, lambda: os.close(0)),
        ]
        for name, content, readers, *preexec in cases:
            with self.subTest(name):
                folder, path, before = Folder.holding(self, content)
                out, status, err = run(["-l", path], preexec=preexec and preexec[0])
                self.assertEqual((out, status, err), (listing(readers), 0, ""))
                self.assertEqual(folder.snapshot(), before)

    def test_example_agrees_with_an_independent_parser(self):
        readers = [(p, v, n.replace("&", "&amp;"))
                   for p, v, n in plist_readers(read_bytes(EXAMPLE))[1]]
        self.assertGreater(len(readers), 20)
        self.assertTrue(any("&amp;" in r[2] for r in readers))
        out, status, _ = run(["-l", EXAMPLE])
        self.assertEqual((out, status), (listing(readers), 0))


class ManPageTest(unittest.TestCase):
    def test_output_lists_every_fixed_text(self):
        """Each text the sources print (a printf format, a failed step, a
        reason a line is refused) stands in OUTPUT, its conversions aside."""
        page = subprocess.run(["groff", "-man", "-Tascii", "-rLL=250n", "-rHY=0", "-P-cbou",
                               TOP + "/docs/halvo-readers.1.in"], capture_output=True,
                              text=True, check=True).stdout
        output = " ".join(page.split("\nOUTPUT\n")[1].split("\nFILE FORMAT\n")[0].split())
        calls = r'(?:(?<!n)printf\(|PosixError\(|RefuseLine\(|snprintf\(reason,)(.*?)\);'
        for name in glob.glob(TOP + "/src/*/*.cc"):
            for call in re.findall(calls, read(name), re.S):
                for text in re.findall(r'(?:"(?:\\.|[^"\\])*"\s*)+', call):
                    text = "".join(re.findall(r'"(.*?)(?<!\\)"', text))
                    text = text.encode().decode("unicode_escape")
                    for part in re.split(r"%[-#0-9.*]*[lz]?[a-z]|\n", text):
                        part = " ".join(part.split())
                        if re.search("[A-Za-z]{2}", part):
                            self.assertTrue(part in output, "%s: %r not in OUTPUT" % (name, part))


MALFORMED = [
    ("self-closing array",
     HEAD + "<key>ifdVendorID</key>\n<array/>\n" + TAIL,
     "{path}, line 5: the array of \"<key>ifdVendorID</key>\" does not open "
     "with \"<array>\".\nReadPListArray returned an error during reading VIDS.\n"),
    ("unequal arrays", doc(OTHERS).replace("\t\t<string>Tessaline B</string>\n", ""),
     "{path}: the reader arrays differ in length (2 vendor IDs, 2 product IDs, "
     "1 names).\n"),
    ("end marker as id", doc([(0xFFFF, 0x2E5B, "X")]),
     "{path}, line 10: ID out of range (0 to 0xfffe): \"0xFFFF\".\n"
     "ReadPListArray returned an error during reading PIDS.\n"),
    ("long line after the arrays", doc(OTHERS, tail="x" * 16384 + "\n"),
     "{path}, line 19: line longer than 16383 bytes.\n"),
]


class MalformedTest(unittest.TestCase):
    def test_refused_in_every_mode_and_nothing_written(self):
        for name, content, message in MALFORMED:
            for mode in ["-l", "-c", "-i"]:
                with self.subTest(name=name, mode=mode):
                    folder, path, before = Folder.holding(self, content)
                    out, status, _ = run([mode, path])
                    self.assertEqual(out, message.replace("{path}", path) + LOAD_FAILED)
                    self.assertEqual(status, 255)
                    self.assertEqual(folder.snapshot(), before)


class CheckTest(unittest.TestCase):
    def test_checks(self):
        renamed = list(HALVO)
        renamed[1] = (0x0352, 0x2E5B, "Reader X")
        renamed[11] = (0x0680, 0x2E5B, "HALVO MERIDOX 680")
        alt = list(HALVO)
        alt[1] = (0x0352, 0x2E5B, "KY540")
        cases = [
            ("all present", doc(OTHERS + HALVO), 0,
             "Plist file already contains all Halvo readers.\n"),
            ("none present", doc(OTHERS), 1, missing_lines(range(12))),
            ("alternative name accepted", doc(alt), 0,
             "Plist file already contains all Halvo readers.\n"),
            ("mismatches alone", doc(renamed), 0,
             "Name mismatch: 0x0352 - 0x2e5b - 'HALVO MERIDOX KEY 540' or 'KY540' "
             "to 'Reader X'\n"
             "Name mismatch: 0x0680 - 0x2e5b - 'Halvo MERIDOX 680' or '' to "
             "'HALVO MERIDOX 680'\n"
             "Plist file already contains all Halvo readers.\n"),
            ("another vendor", doc([(0x0341, 0x072F, "HALVO MERIDOX KEY 341")] + HALVO[1:]),
             1, missing_lines([0])),
            ("duplicate, first wrong",
             doc([(0x0341, 0x2E5B, "Wrong")] + HALVO), 0,
             "Name mismatch: 0x0341 - 0x2e5b - 'HALVO MERIDOX KEY 341' or '' to "
             "'Wrong'\nPlist file already contains all Halvo readers.\n"),
        ]
        for name, content, status, lines in cases:
            with self.subTest(name):
                folder, path, before = Folder.holding(self, content)
                out, got, _ = run(["-c", path])
                self.assertEqual((out, got), ("Checking\n" + lines, status))
                self.assertEqual(folder.snapshot(), before)

    def test_readers_that_would_not_fit(self):
        """A check always completes; an install refuses before writing."""
        others = [(i + 1, 0x072F, "Other %d" % i) for i in range(1012)]
        refusal = ("The driver list holds 1012 readers and this tool at most 1023: "
                   "1 of the missing readers cannot be added; nothing was written.\n")
        for mode, word, last, status, n in [("-c", "Checking", "", 1, 1012),
                                            ("-i", "Installing", refusal, 255, 1012),
                                            ("-i", "Installing", "", 0, 1011)]:
            with self.subTest(mode=mode, readers=n):
                folder, path, before = Folder.holding(self, doc(others[:n]))
                out, got, _ = run([mode, path])
                self.assertEqual(out, word + "\n" + missing_lines(range(12)) + last)
                self.assertEqual(got, status)
                if status == 0:  # the table full to the last reader
                    self.assertEqual(read(path), generated(others[:n] + HALVO))
                else:
                    self.assertEqual(folder.snapshot(), before)


# A file in odd but valid forms, lacking rows 1 to 3 of the built-in table.
ODD = (HEAD + "\t<key>ifdCapabilities</key>\n\t<string>0x00000000</string>\n\n"
       "\t<key>ifdVendorID</key>\n\t<!-- vendor IDs, dropped -->\n\n\t<array>\n"
       "\t\t<string>0x072F</string>\n"
       "  <string>2e5b</string> trailing text\n"
       "\t\t<!-- a comment inside an array, dropped -->\n"
       + "".join("\t<string>0X2E5B</string>\n" for _ in range(8)) +
       "\t\t<string>0x2e5b\n"
       "\t</array>\n\n"
       "\t<key>ifdProductID</key>\n\t<array>\n\t\t<string>90</string>\n"
       + "".join("\t\t<string>0x%x</string>\n" % HALVO[r][0] for r in range(3, 12)) +
       "\t</array>\n"
       "\t<key>ifdFriendlyName</key>\n\t<array>\n\t\t<string>Korvane &amp; Co A</string>\n"
       + "".join("\t\t<string>%s</string>\n" % HALVO[r][2] for r in range(3, 12)) +
       "\t</array>\n\n\t<key>Copyright</key>\n\t<string>Example</string>\n"
       "</dict>\n</plist>")

ODD_REWRITTEN = (
    HEAD + "\t<key>ifdCapabilities</key>\n\t<string>0x00000000</string>\n\n"
    "\t<key>ifdVendorID</key>\n\t<array>\n\t\t<string>0x072f</string>\n"
    + "".join("\t\t<string>0x2e5b</string>\n" for _ in range(12)) +
    "\t</array>\n\n\t<key>ifdProductID</key>\n\t<array>\n\t\t<string>0x0090</string>\n"
    + "".join("\t\t<string>%#06x</string>\n" % HALVO[r][0] for r in list(range(3, 12)) + [0, 1, 2]) +
    "\t</array>\n\t<key>ifdFriendlyName</key>\n\t<array>\n\t\t<string>Korvane &amp; Co A</string>\n"
    + "".join("\t\t<string>%s</string>\n" % HALVO[r][2] for r in list(range(3, 12)) + [0, 1, 2]) +
    "\t</array>\n\n\t<key>Copyright</key>\n\t<string>Example</string>\n"
    "</dict>\n</plist>\n")


class InstallTest(unittest.TestCase):
    def install(self, content, args=("-i",), at=None, **kw):
        """Installs into Info.plist in a new folder, named `at` from there."""
        folder, path, _ = Folder.holding(self, content)
        out, status, err = run(list(args) + [at or path], cwd=folder.path, **kw)
        return folder, path, out, status

    def test_rewrites(self):
        cases = [
            ("odd forms, three missing", ODD, installing([0, 1, 2]), ODD_REWRITTEN),
            ("crlf", ODD.replace("\n", "\r\n"), installing([0, 1, 2]), ODD_REWRITTEN),
            ("empty table", doc([]), installing(range(12)), generated(HALVO)),
            ("others first, built-ins last", doc(OTHERS, fmt="%x"),
             installing(range(12)), generated(OTHERS + HALVO)),
            ("mismatch and missing",
             doc([(0x0341, 0x2E5B, "Old name")] + HALVO[2:]),
             "Installing\nName mismatch: 0x0341 - 0x2e5b - 'HALVO MERIDOX KEY 341' "
             "or '' to 'Old name'\n" + missing_lines([1]),
             generated([(0x0341, 0x2E5B, "Old name")] + HALVO[2:] + [HALVO[1]])),
            ("longest name", doc([(1, 2, "N" * 255)]), installing(range(12)),
             generated([(1, 2, "N" * 255)] + HALVO)),
            ("longest path", doc(OTHERS), installing(range(12)),
             generated(OTHERS + HALVO), "./" * 2039 + "Info.plist"),
        ]
        for name, content, lines, expected, *at in cases:
            with self.subTest(name):
                folder, path, out, status = self.install(content, at=at and at[0])
                self.assertEqual((out, status), (lines, 0))
                self.assertEqual(read(path), expected)
                self.assertEqual(read_bytes(path + ".backup"), content.encode())
                self.assertEqual(sorted(os.listdir(folder.path)),
                                 ["Info.plist", "Info.plist.backup"])

    def test_nothing_to_do_and_install_twice(self):
        folder, path, _ = Folder.holding(self, doc([(0x0341, 0x2E5B, "Old")] + HALVO[2:]))
        folder.file("Info.plist.backup", "earlier backup\n")
        run(["-i", path])
        self.assertEqual(read(path + ".backup"),
                         doc([(0x0341, 0x2E5B, "Old")] + HALVO[2:]))
        before = folder.snapshot()
        out, status, _ = run(["-i", path])
        self.assertEqual(out, "Installing\nName mismatch: 0x0341 - 0x2e5b - "
                         "'HALVO MERIDOX KEY 341' or '' to 'Old'\n"
                         "Plist file already contains all Halvo readers. Nothing to do.\n")
        self.assertEqual(status, 0)
        self.assertEqual(folder.snapshot(), before)

    def test_keeps_mode_and_the_old_file_as_backup(self):
        own = (1234, 5678) if os.geteuid() == 0 else (os.getuid(), os.getgid())
        cases = [  # owner and mode before, the wrap, owner and mode after
            ("owner and group kept", own, 0o644, [], own, 0o644),
            ("group not kept: the others' bits", (65534, 0), 0o664,
             ["bash", SANDBOX, "not-owner"], (65534, 65534), 0o644),
        ]
        for name, owner, mode, wrap, owner_after, mode_after in cases:
            with self.subTest(name):
                if wrap and not sandbox_runs(wrap):  # before a chown only root may make
                    continue
                folder, path, _ = Folder.holding(self, doc(OTHERS))
                os.chmod(folder.path, 0o777)
                os.chown(path, *owner)
                os.chmod(path, mode)
                old_inode = os.stat(path).st_ino
                out, status, _ = run(["-i", path], preexec=lambda: os.umask(0o077), wrap=wrap)
                self.assertEqual(status, 0)
                new = os.stat(path)
                self.assertEqual((new.st_uid, new.st_gid, stat.S_IMODE(new.st_mode)),
                                 owner_after + (mode_after,))
                self.assertEqual(os.stat(path + ".backup").st_ino, old_inode)

    def test_follows_a_symbolic_link(self):
        folder = Folder(self)
        real = folder.file("etc/reader.conf.plist", doc(OTHERS))
        link = os.path.join(folder.path, "bundle", "Info.plist")
        os.makedirs(os.path.dirname(link))
        os.symlink("../etc/reader.conf.plist", link)
        out, status, _ = run(["-i", link])
        self.assertEqual((out, status), (installing(range(12)), 0))
        self.assertEqual(os.readlink(link), "../etc/reader.conf.plist")
        self.assertEqual(read(real), generated(OTHERS + HALVO))
        self.assertEqual(read(real + ".backup"), doc(OTHERS))
        self.assertEqual(os.listdir(os.path.dirname(link)), ["Info.plist"])

    def test_example_rewrite_agrees_with_an_independent_parser(self):
        folder, path, _ = Folder.holding(self, read_bytes(EXAMPLE))
        before, old = plist_readers(read_bytes(path))
        out, status, _ = run(["-i", path])
        self.assertEqual(status, 0)
        after, new = plist_readers(read_bytes(path))
        self.assertEqual(new, old + HALVO)
        self.assertEqual({k: v for k, v in after.items() if k not in KEYS},
                         {k: v for k, v in before.items() if k not in KEYS})

    def test_no_path_on_a_machine_with_a_driver_list(self):
        """A scratch list's folder bound over the default's, in a private
        mount namespace: the machine's own list is never touched."""
        if not os.path.exists(DEFAULT_PATH):
            return driverlists.skipped("no list at %s; the missing-file rows ran" % DEFAULT_PATH)
        real = os.path.realpath(DEFAULT_PATH)
        before = (read_bytes(real), os.stat(real).st_ino)
        folder, path, _ = Folder.holding(self, doc(OTHERS))
        wrap = ["bash", SANDBOX, "over", folder.path, os.path.dirname(DEFAULT_PATH)]
        if sandbox_runs(wrap):
            self.assertEqual(run(["-l"], wrap=wrap), (listing(OTHERS), 0, ""))
            self.assertEqual(run([], wrap=wrap), (installing(range(12)), 0, ""))
            self.assertEqual((read(path), read(path + ".backup")),
                             (generated(OTHERS + HALVO), doc(OTHERS)))
        self.assertEqual((read_bytes(real), os.stat(real).st_ino), before)

    def test_a_copy_is_the_backup_where_links_are_refused(self):
        folder = Folder(self)
        os.chmod(folder.path, 0o777)
        path = folder.file("Info.plist", doc(OTHERS))
        folder.file("Info.plist.backup", "earlier backup\n")
        old_inode = os.stat(path).st_ino
        wrap = ["bash", SANDBOX, "not-owner"]
        if not sandbox_runs(wrap):
            return
        out, status, _ = run(["-i", path], wrap=wrap)
        self.assertEqual((out, status), (installing(range(12)), 0))
        self.assertEqual(read(path), generated(OTHERS + HALVO))
        self.assertEqual(read(path + ".backup"), doc(OTHERS))
        self.assertNotEqual(os.stat(path + ".backup").st_ino, old_inode)
        self.assertEqual(sorted(os.listdir(folder.path)), ["Info.plist", "Info.plist.backup"])

    def test_failures_leave_the_file_as_it_was(self):
        def fsize_limit(size):
            return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))

        # Comment lines after the arrays: many, and short, so that CRs make
        # up much of a CR LF file and the rewrite is well below its size.
        bulk = doc(OTHERS, tail="<!---->\n" * 40000 + TAIL)

        def large_file(folder, path, content=bulk):
            folder.file("Info.plist", content)

        def at_the_buffer_end(comments):
            """The write buffer (128 KiB) fills inside the vendor IDs, or
            inside their key's line."""
            return lambda f, p: large_file(f, p, doc(OTHERS, head=HEAD + "<!---->\n" * comments))

        def backup_folder(folder, path):
            os.unlink(path + ".backup")
            folder.file("Info.plist.backup/kept", "x")

        def locked_folder(folder, path):
            if os.geteuid() == 0:
                if subprocess.run(["chattr", "+i", folder.path],
                                  capture_output=True).returncode != 0:
                    return False
            else:
                os.chmod(folder.path, 0o555)
            return True

        def read_only_mount(folder, path):
            """As on a Mac's sealed system volume: the folder mounted
            read-only, in a private mount namespace."""
            return ["bash", SANDBOX, "read-only", folder.path]

        def bind_mounted_file(folder, path):
            """As in a container given the driver list alone: links to it
            cross mounts, and nothing can be renamed over it."""
            return ["bash", SANDBOX, "bind", path]

        def link_to_a_deep_file(folder, path):
            """The link's target is one byte past the longest path whose
            backup name fits."""
            os.unlink(path)
            os.symlink(deep(path), path)
            folder.file(deep(path), doc(OTHERS))

        def copy_fails_part_way(folder, path):
            """Links refused, so the backup is a copy; the limit lets the
            new file through but not the larger old one."""
            os.chmod(folder.path, 0o777)
            crlf = bulk.replace("\n", "\r\n")
            folder.file("Info.plist", crlf)
            limit = (len(bulk) + len(crlf)) // 2
            return ["bash", SANDBOX, "not-owner", "prlimit", "--fsize=%d" % limit, "--"]

        temp = r"\{path\}\.[A-Za-z0-9]{6}"
        cases = [
            ("write fails at the last flush", None, fsize_limit(600),
             r"Could not write %s: File too large\n" % temp),
            ("write fails in the middle of a large file", large_file,
             fsize_limit(len(bulk) // 2), r"Could not write %s: File too large\n" % temp),
            ("write fails in the middle of a large CR LF file",
             lambda f, p: large_file(f, p, bulk.replace("\n", "\r\n")),
             fsize_limit(len(bulk) // 2), r"Could not write %s: File too large\n" % temp),
            ("write fails in a generated element", at_the_buffer_end(16360),
             fsize_limit(4096), r"Could not write %s: File too large\n" % temp),
            ("write fails in a key line", at_the_buffer_end(16374),
             fsize_limit(4096), r"Could not write %s: File too large\n" % temp),
            ("backup is a folder", backup_folder, None,
             r"Could not replace the earlier backup \{path\}\.backup: Is a directory\n"),
            ("no temporary file", locked_folder, None,
             r"Could not create a temporary file beside \{path\}: "
             r"(Operation not permitted|Permission denied)\n"),
            ("read-only file system", read_only_mount, None,
             r"Could not create a temporary file beside \{path\}: "
             r"Read-only file system\n"),
            ("bind-mounted file", bind_mounted_file, None,
             r"Could not move the new file into place at \{path\}: "
             r"Device or resource busy\n"),
            ("link to a file whose backup name is too long", link_to_a_deep_file, None,
             r"Path too long: \{deep\}\.backup\n"),
            ("link refused, copy fails part-way", copy_fails_part_way, None,
             r"Could not write %s: File too large\n" % temp),
        ]
        for name, arrange, preexec, message in cases:
            with self.subTest(name):
                folder, path, _ = Folder.holding(self, doc(OTHERS))
                folder.file("Info.plist.backup", "earlier backup\n")
                wrap = arrange(folder, path) if arrange else None
                if wrap is False:
                    driverlists.skipped("%s (chattr not supported here)" % name)
                    continue
                wrap = wrap if isinstance(wrap, list) else []
                if wrap and not sandbox_runs(wrap):
                    continue
                before = folder.snapshot()
                out, status, _ = run(["-i", path], preexec=preexec, wrap=wrap)
                expected = (re.escape(installing(range(12))) +
                            message.replace(r"\{path\}", re.escape(path))
                            .replace(r"\{deep\}", re.escape(deep(path))) +
                            re.escape("WriteNewPList returned an error.\n"))
                self.assertRegex(out, "^" + expected + "$")
                self.assertEqual(status, 255)
                self.assertEqual(folder.snapshot(), before)


def deep(path):
    """A path beside `path` of 4089 bytes, one past the longest real path
    whose backup name fits in the tool's path buffer."""
    deeper = path + ".d"
    while len(deeper) < 4089 - 256:
        deeper += "/" + "d" * 200
    return deeper + "/" + "f" * (4089 - len(deeper) - 1)


if __name__ == "__main__":
    BINARY, EXAMPLE, SANDBOX = (driverlists.argument(i) for i in (1, 2, 4))
    TOP, EXAMPLE = os.path.dirname(os.path.dirname(EXAMPLE)), driverlists.reachable(EXAMPLE)
    DEFAULT_PATH = driverlists.argument(3, kind=str)
    unittest.main(argv=sys.argv[:1] + sys.argv[5:], verbosity=1)
