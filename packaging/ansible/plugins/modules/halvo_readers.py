#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: the halvo-readers authors
# BSD 3-Clause License (see LICENSE)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: halvo_readers
short_description: Keep the Halvo smart-card readers in a CCID driver list
version_added: "1.0.0"
description:
  - Runs C(halvo-readers -c) on the CCID driver's list and, when Halvo
    readers are missing, C(halvo-readers -i), which adds them and keeps the
    old list as C(PATH.backup).
  - Reports C(changed) only when the list's bytes changed.
  - The diff shows the readers, as C(halvo-readers -l) lists them, before
    and after, not the list's lines, which the install writes anew in the
    generated form (lower-case IDs). Adding the twelve Halvo readers shows
    as twelve added lines.
  - Only the tool's fixed report lines are read. A list the tool refuses,
    a missing list and a missing tool fail the task with the tool's own
    lines, and leave the list as it was.
  - Each reader the list names otherwise is a warning, with the tool's
    C(Name mismatch) line; the list keeps its name.
  - An install that ends half-way (the new list in place, the old one kept
    under the temporary name the tool prints, not as the backup) fails the
    task with the tool's lines and reports C(changed).
  - pcscd reads the list only at start. The module does not restart it;
    the role C(halvo.readers.halvo_readers) does, under systemd (see
    C(ansible-doc -t role halvo.readers.halvo_readers)).
options:
  path:
    description:
      - The driver list, the C(Info.plist) of the CCID bundle.
      - Left out, the tool's own default is used, which this project's
        packages make the list pcscd reads. The module then cannot read the list
        itself, so it returns no C(diff) or C(backup_file), and
        takes C(changed) from the tool's report, which says a list was
        rewritten exactly when readers were missing and the install
        succeeded.
      - Given, it is the CCID list of the host's family, such as
        C(/usr/lib64/pcsc/drivers/ifd-ccid.bundle/Contents/Info.plist) on
        Fedora and RHEL, C(/usr/lib64/readers/ifd-ccid.bundle/Contents/Info.plist)
        on openSUSE or C(/usr/lib/pcsc/drivers/ifd-ccid.bundle/Contents/Info.plist)
        on Arch Linux. On Debian and Ubuntu that path leads to libccid's
        configuration file; install the package there and leave I(path) out.
    type: path
  binary:
    description:
      - The tool, a name looked up on the PATH or a path.
    type: path
    default: halvo-readers
  state:
    description:
      - C(present) keeps every Halvo reader in the list.
    type: str
    choices: [present]
    default: present
attributes:
  check_mode:
    description: Can run in check_mode and return changed status prediction
      without modifying the target.
    support: full
    details: Runs the check only; with diff, the install runs on a copy
      in a private temporary folder that is removed.
  diff_mode:
    description: Will return details on what has changed (or possibly needs
      changing in check_mode), when in diff mode.
    support: full
    details: The readers of the list before and after, as
      C(halvo-readers -l) lists them, when I(path) is given.
requirements:
  - halvo-readers, the tool, on the managed host
author:
  - halvo-readers developers (!UNKNOWN)
'''

EXAMPLES = r'''
- name: Keep the Halvo readers in the CCID list pcscd reads, the tool's default
  halvo.readers.halvo_readers:
  register: readers

- name: Keep them in a Fedora host's CCID list, with a diff and a backup
  halvo.readers.halvo_readers:
    path: /usr/lib64/pcsc/drivers/ifd-ccid.bundle/Contents/Info.plist

- name: Check a whole inventory without changing anything
  # ansible all -m halvo.readers.halvo_readers --check
  halvo.readers.halvo_readers:
  check_mode: true
'''

RETURN = r'''
missing:
  description: The Halvo readers the list lacked (added unless in check mode).
  returned: success
  type: list
  elements: dict
  sample: [{vendor_id: "0x2e5b", product_id: "0x0341", name: "HALVO MERIDOX KEY 341"}]
mismatched:
  description: The Halvo readers the list names otherwise; they are left as
    they are. C(name) is the list's, C(names) the built-in ones.
  returned: success
  type: list
  elements: dict
  sample: [{vendor_id: "0x2e5b", product_id: "0x0352", name: "Reader X",
            names: ["HALVO MERIDOX KEY 540", "KY540"]}]
backup_file:
  description: The backup of the list as it was, when this run wrote one.
  returned: changed and not in check mode, with I(path), unless the install
    ended half-way
  type: str
  sample: /usr/lib64/pcsc/drivers/ifd-ccid.bundle/Contents/Info.plist.backup
package_mode:
  description: How this project's package keeps the readers on the host,
    C(folder), C(in-place) or C(administrator), as its helper's C(mode)
    says, with why in I(package_mode_reason); absent where no package is
    installed.
  returned: where the package is installed
  type: str
  sample: folder
package_mode_reason:
  description: Why the package keeps the readers as it does.
  returned: where the package is installed
  type: str
stdout_lines:
  description: The tool's lines, of the install when one ran, else of the check.
  returned: always
  type: list
  elements: str
'''

import os
import re

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.common.text.converters import to_text

# The packages' helper, which tells their mode: Debian's and the RPM's,
# then the Arch package's.
HELPERS = ('/usr/libexec/halvo-readers/keep-readers', '/usr/share/libalpm/scripts/halvo-readers')
# The tool's exit status for "readers are missing" in check mode.
MISSING = 1
ID = r'(0x[0-9a-f]{4,}|000000)'
MISSING_LINE = re.compile(r'^Missing Reader: %s - %s - (.*)$' % (ID, ID))
# The line of an install that ended half-way, the new list in place.
HALF_WAY = 'The new file is in place at '
MISMATCH_LINE = re.compile(r"^Name mismatch: %s - %s - '(.*?)' or '(.*?)' to '(.*)'$" % (ID, ID))


def find_tool(module):
    binary = module.params['binary']
    found = binary if '/' in binary else module.get_bin_path(binary)
    if not found or not os.access(found, os.X_OK):
        module.fail_json(msg='halvo-readers not found: %s' % binary)
    return found


def run_tool(module, tool, option, path, changed=lambda rc, lines: False):
    """The tool's status and lines; fails the task on any status the option
    does not allow, with `changed` of the status and lines."""
    rc, out, err = module.run_command([tool, option] + ([path] if path else []))
    lines = to_text(out, errors='surrogate_or_replace').splitlines()
    allowed = (0, MISSING) if option == '-c' else (0,)
    if rc not in allowed or (rc == MISSING and not reports_missing(lines)):
        module.fail_json(msg='\n'.join(lines + [to_text(err)]).strip(), rc=rc,
                         stdout_lines=lines, changed=changed(rc, lines))
    return rc, lines


def reports_missing(lines):
    return any(MISSING_LINE.match(line) for line in lines)


def backup_of(path):
    """Where the tool keeps the backup: beside the file a link leads to."""
    return (os.path.realpath(path) if os.path.islink(path) else path) + '.backup'


def parse_report(lines):
    missing, mismatched = [], []
    for line in lines:
        found = MISSING_LINE.match(line)
        if found:
            missing.append(dict(product_id=found.group(1), vendor_id=found.group(2),
                                name=found.group(3)))
        found = MISMATCH_LINE.match(line)
        if found:
            names = [name for name in found.group(3, 4) if name]
            mismatched.append(dict(product_id=found.group(1), vendor_id=found.group(2),
                                   name=found.group(5), names=names))
    return missing, mismatched


def package_mode(module):
    """The package's mode and why, where a package is installed."""
    for helper in HELPERS:
        if os.access(helper, os.X_OK):
            rc, out, err = module.run_command([helper, 'mode'])
            mode, dummy, why = to_text(out).strip().partition(': ')
            if rc == 0 and why:
                return dict(package_mode=mode, package_mode_reason=why)
    return {}


def read_list(module, path):
    try:
        with open(path, 'rb') as handle:
            return handle.read()
    except OSError as e:
        module.fail_json(msg='Could not read %s: %s' % (path, e.strerror))


def readers_of(module, tool, path):
    """The readers of the list at `path`, as the tool lists them."""
    return ''.join(line + '\n' for line in run_tool(module, tool, '-l', path)[1])


def diff_of(path, before, after):
    return dict(before_header=path, after_header=path, before=before, after=after)


def predict(module, tool, path, before):
    """The install's diff, made on a copy of `before`, the list's bytes, in
    the module's private temporary folder, which AnsibleModule removes at
    exit."""
    copy = os.path.join(module.tmpdir, 'Info.plist')
    try:
        with open(copy, 'wb') as handle:
            handle.write(before)
    except OSError as e:
        module.fail_json(msg='Could not write %s: %s' % (copy, e.strerror))
    run_tool(module, tool, '-i', copy)
    return diff_of(path, readers_of(module, tool, path), readers_of(module, tool, copy))


def main():
    module = AnsibleModule(
        argument_spec=dict(
            path=dict(type='path'),
            binary=dict(type='path', default='halvo-readers'),
            state=dict(type='str', default='present', choices=['present']),
        ),
        supports_check_mode=True,
    )
    path = module.params['path']
    tool = find_tool(module)
    rc, lines = run_tool(module, tool, '-c', path)
    missing, mismatched = parse_report(lines)
    for line in lines:
        if MISMATCH_LINE.match(line):
            module.warn(line)
    result = dict(changed=False, missing=missing, mismatched=mismatched, stdout_lines=lines,
                  **package_mode(module))
    if rc == 0:
        module.exit_json(**result)
    if module.check_mode:
        if module._diff and path:
            result['diff'] = predict(module, tool, path, read_list(module, path))
        result['changed'] = True
        module.exit_json(**result)
    before = read_list(module, path) if path else None

    def rewritten(rc, lines):
        """Whether the list changed: its bytes, or without a path the
        tool's word (a success, or an install that ended half-way)."""
        if path:
            return read_list(module, path) != before
        return any(line.startswith(HALF_WAY) for line in lines) if rc else reports_missing(lines)
    listed = readers_of(module, tool, path) if path and module._diff else None
    result['stdout_lines'] = run_tool(module, tool, '-i', path, rewritten)[1]
    result['changed'] = rewritten(0, result['stdout_lines'])
    if not path:
        module.exit_json(**result)
    if result['changed']:
        result['backup_file'] = backup_of(path)
        if module._diff:
            result['diff'] = diff_of(path, listed, readers_of(module, tool, path))
    module.exit_json(**result)


if __name__ == '__main__':
    main()
