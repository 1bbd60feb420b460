#!/usr/bin/env python3
"""The Ansible collection on a fleet: ansible-playbook runs the role over SSH
on five hosts, each an sshd on its own loopback port in its own throwaway
overlay of /: Debian with the package installed by the role, once from a
signed repository with its pcscd and once from the .deb with pcscd 2 (the package's own driver folder, libccid's
files untouched), a Fedora-like plain list and an Arch-like list behind a
link with the executable copied, a list the tool refuses, and one whose
backup cannot be renamed into place. A check with diff writes nothing and
checks every list, even where an install would replace the tool; each
package reports its mode; a run adds the readers (the
backup the original, beside the link's target, pcscd try-restarted once),
an install that ends half-way fails its host as changed, a second run
changes nothing, and the refused list fails its host alone, untouched.

Usage: ansible_fleet_test.py PATH-TO-halvo-readers PATH-TO-sandbox.sh SOURCE-TREE PCSC-LITE-DIR
"""
import json
import os
import shutil
import signal
import subprocess
import time

import driverlists
from driverlists import HALVO, argument, listing, need

LIST = "/ifd-ccid.bundle/Contents/Info.plist"
# Each host: its port, how its list is made from the machine's ($1, the
# list at $2), that list's driver folder if not pcsc-lite's, the role's
# variable for the tool.
HOSTS = {"debian": (42201, "true", "", "halvo_readers_repository"),
         "folder": (42205, 'install ../pcscd2 /usr/sbin/pcscd', "", "halvo_readers_package"),
         "fedora": (42202, 'mkdir -p "${2%/*}" && cp "$1" "$2"', "/usr/lib64/pcsc/drivers",
                    "halvo_readers_binary"),
         "arch": (42203, 'rm "$2" && cp "$1" /root/Info.plist && ln -s /root/Info.plist "$2"', "",
                  "halvo_readers_binary"),
         "refused": (42204, 'rm "$2" && cp "$1" "$2" && echo "<key>ifdVendorID</key>" >> "$2"', "",
                     "halvo_readers_binary"),
         "halfway": (42206, 'rm "$2" && cp "$1" "$2" && touch "$2.backup" && '
                     'mount --bind "$2.backup" "$2.backup"', "", "halvo_readers_binary")}
# Where each host's backup is, by the list's path.
BACKUP = {"arch": "/root/Info.plist.backup"}
SSHD = ("ListenAddress 127.0.0.1\nHostKey {0}/host_key\nAuthorizedKeysFile {0}/key.pub\n"
        "PasswordAuthentication no\nUsePAM no\nStrictModes no\nSubsystem sftp internal-sftp\n")
# systemd_stand_in.sh answers for systemd on each host, noting the restarts.
START = ('%s && mkdir -p /run/sshd /run/systemd/system && for c in systemctl busctl; do '
         'sed "s|@HERE@|/root|" ../systemd_stand_in.sh > /usr/bin/$c && chmod +x /usr/bin/$c; done && '
         'systemctl daemon-reload && exec timeout 900 /usr/sbin/sshd -D -e -f ../sshd_config -p %d -o PidFile=$PWD/sshd.pid')


def playbook(work, *options, task="Keep the Halvo readers in the CCID driver list"):
    """The role on every host: the result of TASK (the module's) and the totals, by host."""
    env = dict(os.environ, HOME=work, ANSIBLE_COLLECTIONS_PATH=work + "/collections",
               ANSIBLE_STDOUT_CALLBACK="json", ANSIBLE_SSH_ARGS="-o ControlMaster=auto -o ControlPersist=5s")
    proc = subprocess.run(["ansible-playbook", "-i", work + "/hosts.json", work + "/site.json"]
                          + list(options), env=env, capture_output=True, text=True, check=False,
                          stdin=subprocess.DEVNULL)
    assert proc.stdout.startswith("{"), proc.stdout + proc.stderr
    report = json.loads(proc.stdout)
    module = [t["hosts"] for t in report["plays"][0]["tasks"]
              if t["task"]["name"].endswith(task)]
    return (module or [{}])[0], report["stats"]


def on(work, name, *command):
    """What COMMAND prints on a host, over SSH."""
    return subprocess.run(["ssh", "-i", work + "/key", "-p", str(HOSTS[name][0]), "-o",
                           "UserKnownHostsFile=/dev/null", "-o", "StrictHostKeyChecking=no", "-o",
                           "LogLevel=ERROR", "root@127.0.0.1"] + list(command),
                          capture_output=True, stdin=subprocess.DEVNULL, check=False).stdout


def main():
    tool, sandbox, top = argument(1), argument(2), argument(3)
    real = need(sandbox, "need-root", "driver-list")
    pcscd2 = need(sandbox, "pcscd2 " + argument(4))
    for command in ("ansible-playbook", "/usr/sbin/sshd", "ssh-keygen", "dpkg-buildpackage"):
        if not subprocess.run(["which", command], capture_output=True).stdout:
            need(sandbox, "skip %s not found (Debian packages ansible-core, openssh-server, "
                 "dpkg-dev)" % command)
    drivers = need(sandbox, "ccid-list")[:-len(LIST)]
    with driverlists.folder("fleet") as work:
        subprocess.run(["bash", top + "/packaging/build-deb.sh", work + "/deb"], check=True,
                       stdout=subprocess.DEVNULL)
        deb = [work + "/deb/" + f for f in os.listdir(work + "/deb")
               if f.startswith("halvo-readers_") and f.endswith(".deb")][0]
        os.chmod(work, 0o755)  # apt reads the repository as its own user
        signer = dict(os.environ, GNUPGHOME=work + "/gnupg")
        os.mkdir(signer["GNUPGHOME"], 0o700)
        subprocess.run(["gpg", "--batch", "--passphrase", "", "--quick-gen-key", "fleet@halvo-readers.invalid",
                        "rsa3072", "sign", "never"], env=signer, check=True, capture_output=True)
        subprocess.run(["bash", top + "/packaging/publish.sh", work + "/repo", "fleet@halvo-readers.invalid", deb],
                       env=signer, check=True, stdout=subprocess.DEVNULL)
        shutil.copy(work + "/repo/halvo-readers.asc", work + "/fleet.asc")  # the key the hosts are given
        for key in ("key", "host_key"):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", work + "/" + key],
                           check=True)
        driverlists.write_file(work + "/sshd_config", SSHD.format(work))
        shutil.copy(top + "/tests/systemd_stand_in.sh", work)
        shutil.copy(pcscd2, work + "/pcscd2")
        shutil.copy(tool, work + "/halvo-readers")
        os.makedirs(work + "/collections/ansible_collections/halvo")
        os.symlink(top + "/packaging/ansible", work + "/collections/ansible_collections/halvo/readers")
        tools = {"halvo_readers_package": deb, "halvo_readers_binary": work + "/halvo-readers",
                 "halvo_readers_repository": "file://" + work + "/repo"}
        hosts = {name: {"ansible_port": port, "halvo_readers_path": (own or drivers) + LIST,
                        how: tools[how], "halvo_readers_repository_key": work + "/fleet.asc"}
                 for name, (port, _, own, how) in HOSTS.items()}
        driverlists.write_file(work + "/hosts.json", json.dumps({"all": {"hosts": hosts, "vars": {
            "ansible_host": "127.0.0.1", "ansible_user": "root", "ansible_ssh_private_key_file":
            work + "/key", "ansible_ssh_common_args": "-o StrictHostKeyChecking=no "
            "-o UserKnownHostsFile=/dev/null", "ansible_python_interpreter": "/usr/bin/python3"}}}))
        driverlists.write_file(work + "/site.json", json.dumps(
            [{"hosts": "all", "gather_facts": False, "roles": ["halvo.readers.halvo_readers"]}]))
        for name, (port, prepare, own, _) in HOSTS.items():
            os.makedirs(work + "/" + name)
            subprocess.Popen(["bash", sandbox, "overlay", "sh", "-c", START % (prepare, port), "sh",
                              real, (own or drivers) + LIST], cwd=work + "/" + name,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        pids = [work + "/" + name + "/sshd.pid" for name in HOSTS]
        try:
            deadline = time.monotonic() + 10
            while not all(map(os.path.exists, pids)) and time.monotonic() < deadline:
                time.sleep(0.1)
            fleet(work, tool, {name: host["halvo_readers_path"] for name, host in hosts.items()})
            # A host set up, now given another key than the repository's, fails naming the repository.
            subprocess.run(["gpg", "--batch", "--passphrase", "", "--quick-gen-key", "other@halvo-readers.invalid",
                            "rsa3072", "sign", "never"], env=signer, check=True, capture_output=True)
            driverlists.write_file(work + "/other.asc", subprocess.run(
                ["gpg", "--armor", "--export", "other@halvo-readers.invalid"], env=signer, check=True,
                capture_output=True).stdout)
            index, stats = playbook(work, "--tags", "halvo_readers_install", "-e", "halvo_readers_repository_key="
                                    + work + "/other.asc", task="Fetch the apt repository's index")
            assert [n for n, s in stats.items() if s["failures"]] == ["debian"] and \
                work + "/repo/apt" in index["debian"]["stderr"], (stats, index)
        finally:
            for pid in filter(os.path.exists, pids):
                os.kill(int(driverlists.read_bytes(pid)), signal.SIGTERM)
    driverlists.summary("ansible fleet", len(HOSTS))


def fleet(work, tool, lists):
    stats = playbook(work, "--tags", "halvo_readers_install")[1]
    assert all(s["failures"] == s["unreachable"] == 0 for s in stats.values()), stats
    before = {name: on(work, name, "cat", lists[name]) for name in HOSTS}
    libccid = on(work, "folder", "cat", "/etc/libccid_Info.plist")
    assert on(work, "folder", "readlink", "/usr/lib/halvo-readers/drivers").startswith(b"drivers."), \
        "not in folder mode"
    for name in HOSTS:  # the package restarted pcscd itself
        on(work, name, "rm", "-f", "/root/restarts.log")
    lacking = ["fedora", "arch"]  # and "halfway", whose install fails
    installed, listed = {}, {}  # by host: its list after -i, and -l before and after
    with driverlists.folder("expected") as local:
        for name in lacking:
            driverlists.write_file(local + "/Info.plist", before[name])
            old = driverlists.run(tool, "-l", local + "/Info.plist")[0]
            assert driverlists.run(tool, "-i", local + "/Info.plist")[1] == 0
            installed[name] = driverlists.read_bytes(local + "/Info.plist")
            listed[name] = (old, driverlists.run(tool, "-l", local + "/Info.plist")[0])
            os.unlink(local + "/Info.plist.backup")
    with open(work + "/halvo-readers", "ab") as handle:  # an install would replace the tool
        handle.write(b"\0")
    module, stats = playbook(work, "--check", "--diff")
    for name in lacking:
        diff, (old, new) = module[name]["diff"], listed[name]
        assert module[name]["changed"] and (diff["after_header"], diff["before"], diff["after"]) \
            == (lists[name], old, new), name
        assert new == old + "".join(listing(r[:3] for r in HALVO).splitlines(True)[1:]), name
    assert module["refused"]["failed"] and module["refused"]["msg"].startswith(
        lists["refused"] + ", line") and module["refused"]["msg"].endswith(
        "\nFillExistingReaders returned an error."), module["refused"]["msg"]
    for name in ("debian", "folder"):  # each package already added them
        assert not module[name]["changed"] and stats[name]["changed"] == 0, module[name]
    assert [module[n].get("package_mode") for n in ("debian", "folder", "fedora")] == \
        ["in-place", "folder", None], module
    for name in HOSTS:
        assert on(work, name, "cat", lists[name]) == before[name], name
        assert not on(work, name, "cat", lists[name] + ".backup", "/root/restarts.log"), name
    module, stats = playbook(work)
    for name in lacking:
        assert on(work, name, "cat", lists[name]) == installed[name], name
        backup = BACKUP.get(name, lists[name] + ".backup")
        assert module[name]["changed"] and module[name]["backup_file"] == backup, module[name]
        assert on(work, name, "cat", backup) == before[name], name
    halfway = module["halfway"]
    assert halfway["changed"] and halfway["failed"] and "\nThe new file is in place at %s; the old " \
        "one is kept at " % lists["halfway"] in halfway["msg"], halfway
    for name in HOSTS:
        restarts = b"try-restart pcscd.service\n" if name in lacking else b""
        assert on(work, name, "cat", "/root/restarts.log") == restarts, name
    module, stats = playbook(work)
    assert [n for n, s in stats.items() if s["changed"] or s["failures"]] == ["refused"], stats
    assert on(work, "refused", "cat", lists["refused"]) == before["refused"]
    assert on(work, "folder", "cat", "/etc/libccid_Info.plist") == libccid
    assert on(work, "folder", "dpkg", "--verify", "libccid") == b"", "libccid changed"


if __name__ == "__main__":
    main()
