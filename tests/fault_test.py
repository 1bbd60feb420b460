#!/usr/bin/env python3
"""The install's rare endings, each made by failing one system call with
strace, or by a mount or user that refuses a step: stdout, status and files.
Usage: fault_test.py PATH-TO-halvo-readers PATH-TO-sandbox.sh"""
import os
import re
import shutil
import stat
import sys
import unittest

import driverlists
from driverlists import (BUILT_IN, LOAD_FAILED, OTHERS, Folder, doc, generated, installing,
                         sandbox_runs)
from driverlists import read_text as read

BINARY = None
SANDBOX = None


class FaultTest(unittest.TestCase):
    def test_rare_endings(self):
        """Each with its message, status and files; strace fails one system
        call, the first that a test on its line picks in a dry run."""
        def folder_unreadable(folder, path):
            for p in (path, path + ".backup", folder.path):
                os.chown(p, 65534, 65534)
            os.chmod(folder.path, 0o300)
            return ["bash", SANDBOX, "not-owner"]

        new, old, earlier = generated(OTHERS + BUILT_IN), doc(OTHERS), "earlier backup\n"
        failed, unflushed = ("WriteNewPList returned an error.\n", "The new file is in "
                             "place at {path}, but may not yet be on disk.\n")
        def link_fails(error):
            return lambda f, p: fault(self, f, p, lambda line: line.startswith("linkat("), error)

        def copy_fails(picks, error, nth):
            def arrange(folder, path):
                os.chmod(folder.path, 0o777)
                return fault(self, folder, path, picks, error, ["bash", SANDBOX, "not-owner"], nth)
            return arrange

        unchanged = {"Info.plist": old, "Info.plist.backup": earlier}
        replaced = {"Info.plist": new, "Info.plist.backup": old}
        temp_call = r"%s\(\d+<[^>]*Info\.plist\.[A-Za-z0-9]{6}>"

        def on_new_file(name, call, step):
            """A row: the call `call` on the new file fails, and so does `step`."""
            return (name, lambda f, p: fault(self, f, p, lambda line: re.match(temp_call % call, line)),
                    "{installing}Could not %s {temp}: Input/output error\n" % step + failed, 255,
                    unchanged)
        cases = [
            ("signal not ignored", lambda f, p: fault(
                self, f, p, lambda line: line.startswith("rt_sigaction(SIGXFSZ")),
             "Could not ignore SIGXFSZ: Input/output error\n{installing}", 0, replaced),
            on_new_file("owner not set", "fchown", "set the owner of"),
            on_new_file("new file not closed", "close", "close"),
            on_new_file("new file's mode not set", "fchmod", "set the mode of"),
            on_new_file("new file not flushed", "fsync", "flush to disk"),
            ("list not looked at once open", lambda f, p: fault(
                self, f, p, lambda line: re.match(r'newfstatat\(\d+<[^>]*Info\.plist>, ""', line)),
             "Could not look at {path}: Input/output error\n" + LOAD_FAILED, 255, unchanged),
            ("list not locked", lambda f, p: fault(
                self, f, p, lambda line: line.startswith("flock("), "ENOLCK"),
             "Could not lock {path}: No locks available\n" + LOAD_FAILED, 255, unchanged),
            ("link not supported: a copy", link_fails("EOPNOTSUPP"), "{installing}", 0, replaced),
            ("link fails", link_fails("EIO"), "{installing}Could not keep the old file as the "
             "backup {path}.backup: Input/output error\n" + failed, 255, unchanged),
            ("links refused, no room for the copy", copy_fails(lambda line: "O_EXCL" in line,
                                                               "ENOSPC", 2),
             "{installing}Could not create a temporary file beside {path}.backup: "
             "No space left on device\n" + failed, 255, unchanged),
            ("links refused, the old list unread for the copy", copy_fails(
                lambda line: re.match(r"read\(\d+<[^>]*/Info\.plist>", line), "EIO", 0),
             "{installing}Could not read {path}: Input/output error\n" + failed, 255, unchanged),
            ("a temporary name taken", link_fails("EEXIST"), "{installing}", 0, replaced),
            ("earlier backup unreadable", lambda f, p: fault(
                self, f, p, lambda line: '"Info.plist.backup"' in line),
             "{installing}Could not look at {path}.backup: Input/output error\n" + failed,
             255, unchanged),
            ("backup not moved into place", lambda f, p: ["bash", SANDBOX, "bind", p + ".backup"],
             "{installing}Could not move the backup into place at {path}.backup: Device or resource busy\n"
             "The new file is in place at {path}; the old one is kept at {temp}.\n" + failed,
             255, {"Info.plist": new, "Info.plist.backup": earlier, "{temp}": old}),
            ("folder not flushed", lambda f, p: fault(
                self, f, p, lambda line: re.match(r"fsync\(\d+<[^>]*-dry-[^/>]*>\)", line)),
             "{installing}Could not flush to disk the folder {folder}: Input/output error\n" + unflushed,
             0, replaced),
            ("folder that cannot be read", folder_unreadable,
             "{installing}Could not open the folder {folder}: Permission denied\n" + unflushed,
             0, replaced),
        ]
        for name, arrange, message, status, files in cases:
            with self.subTest(name):
                folder, path, _ = Folder.holding(self, old)
                folder.file("Info.plist.backup", earlier)
                wrap = arrange(folder, path)
                if wrap is None or not sandbox_runs(wrap):
                    continue
                out, got = driverlists.run(BINARY, "-i", path, wrap=wrap)
                expected = re.escape(message.format(installing=installing(range(12)),
                                                    path=path, folder=folder.path, temp="{temp}"))
                temp = re.escape(path) + r"\.[A-Za-z0-9]{6}"
                self.assertRegex(out, "^" + expected.replace(r"\{temp\}", temp) + "$")
                self.assertEqual(got, status)
                self.assertEqual({n if n in files else "{temp}": read(os.path.join(folder.path, n))
                                  for n in os.listdir(folder.path)}, files)


def fault(test, folder, path, picks, error="EIO", wrap=(), nth=1):
    """A wrap that fails with `error` the `nth` system call of `-i PATH`
    (0: the last) that `picks` in a dry run on a copy of the folder, run under `wrap` too;
    None, saying why, without strace."""
    if shutil.which("strace") is None:
        return driverlists.skipped("strace not found (Debian package strace)")
    if wrap and not sandbox_runs(list(wrap)):  # as where it cannot run as nobody
        return None
    dry = Folder(test, "halvo-e2e-dry-").path
    os.chmod(dry, stat.S_IMODE(os.stat(folder.path).st_mode))
    for name in os.listdir(folder.path):
        shutil.copy2(os.path.join(folder.path, name), dry)
    log = os.path.join(dry, "strace.log")
    # LeakSanitizer cannot run under ptrace, and would abort at exit.
    strace = ["env", "ASAN_OPTIONS=%s:detect_leaks=0" % os.environ.get("ASAN_OPTIONS", ""),
              "strace", "-f", "-qq"]
    wrap = list(wrap) + strace
    driverlists.run(BINARY, "-i", os.path.join(dry, os.path.basename(path)),
                    wrap=wrap + ["-y", "-o", log])
    calls = [re.sub(r"^\d+ +", "", line) for line in read(log).splitlines()]
    chosen = [i for i, line in enumerate(calls) if picks(line)][nth - 1]
    call = calls[chosen].split("(")[0]
    when = sum(line.startswith(call + "(") for line in calls[:chosen + 1])
    return wrap + ["-o", "/dev/null", "-e", "trace=" + call,
                   "-e", "inject=%s:error=%s:when=%d" % (call, error, when)]


if __name__ == "__main__":
    BINARY, SANDBOX = driverlists.argument(1), driverlists.argument(2)
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=1)
