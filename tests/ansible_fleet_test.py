#!/usr/bin/env python3
"""The Ansible collection on a fleet: ansible-playbook runs the role on four
hosts over SSH, each host an sshd on its own loopback port in its own
throwaway overlay of /: Debian with the .deb installed by the role,
Fedora-like and Arch-like plain lists with the executable copied, and a
list the tool refuses. A check with diff changes nothing, a run adds the
readers once (the backup the original, pcscd try-restarted once), a second
run changes nothing, and the refused list fails its host alone.

Usage: ansible_fleet_test.py PATH-TO-halvo-readers PATH-TO-sandbox.sh SOURCE-TREE
"""
import json
import os
import signal
import socket
import subprocess
import time

import driverlists
from driverlists import HALVO, argument, need, plist_readers

LIST = "/ifd-ccid.bundle/Contents/Info.plist"
# Each host: its port, what it starts from, its list and how the tool comes.
HOSTS = {"debian": (42201, "true", "", "package"),
         "fedora": (42202, 'mkdir -p /usr/lib64/pcsc/drivers/ifd-ccid.bundle/Contents && cp "$1" "$2"',
                    "/usr/lib64/pcsc/drivers", "binary"),
         "arch": (42203, 'rm "$2" && cp "$1" "$2"', "", "binary"),
         "refused": (42204, 'rm "$2" && cp "$1" "$2" && echo "<key>ifdVendorID</key>" >> "$2"', "",
                     "binary")}
SSHD = """ListenAddress 127.0.0.1\nHostKey {0}/host_key\nAuthorizedKeysFile {0}/key.pub
PermitRootLogin prohibit-password\nPasswordAuthentication no\nKbdInteractiveAuthentication no
UsePAM no\nStrictModes no\nSubsystem sftp internal-sftp\n"""
SYSTEMCTL = '#!/bin/sh\necho "$*" >> "$PWD/restarts.log"\n'


def start(sandbox, work, name, real, drivers):
    port, prepare, own, _ = HOSTS[name]
    home = os.path.join(work, name)
    os.makedirs(home)
    driverlists.write_file(os.path.join(home, "systemctl"), SYSTEMCTL.replace("$PWD", home))
    script = (prepare + ' && mkdir -p /run/sshd /run/systemd/system && install systemctl /usr/bin/ &&'
              ' exec timeout 900 /usr/sbin/sshd -D -e -p %d -f ../sshd_config -o PidFile=%s/sshd.pid'
              % (port, home))
    log = open(os.path.join(home, "sshd.log"), "wb")
    return subprocess.Popen(["bash", sandbox, "overlay", "sh", "-c", script, "sh", real,
                             (own or drivers) + LIST], cwd=home, stdout=log, stderr=log)


def playbook(work, *options):
    env = dict(os.environ, HOME=work, ANSIBLE_COLLECTIONS_PATH=work + "/collections",
               ANSIBLE_STDOUT_CALLBACK="json", ANSIBLE_HOST_KEY_CHECKING="False",
               ANSIBLE_SSH_ARGS="-o ControlMaster=auto -o ControlPersist=5s")
    proc = subprocess.run(["ansible-playbook", "-i", work + "/hosts.json", work + "/site.json"]
                          + list(options), env=env, capture_output=True, text=True, check=False)
    try:
        report = json.loads(proc.stdout)
    except ValueError:
        raise AssertionError(proc.stdout + proc.stderr) from None
    tasks = report["plays"][0]["tasks"]
    module = [t["hosts"] for t in tasks if t["task"]["name"].endswith("Keep the Halvo readers in the CCID driver list")]
    return (module or [{}])[0], report["stats"]


def on(work, name, *command):
    return subprocess.run(["ssh", "-i", work + "/key", "-p", str(HOSTS[name][0]), "-o",
                           "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                           "-o", "LogLevel=ERROR", "root@127.0.0.1"] + list(command),
                          capture_output=True, check=False).stdout


def main():
    tool, sandbox, top = argument(1), argument(2), argument(3)
    real = need(sandbox, "need-root", "driver-list")
    for command in ("ansible-playbook", "sshd", "ssh-keygen", "dpkg-buildpackage"):
        if not any(os.path.exists(d + "/" + command) for d in ("/usr/bin", "/usr/sbin")):
            need(sandbox, "skip %s not found (Debian packages ansible-core, openssh-server, dpkg-dev)" % command)
    drivers = need(sandbox, "ccid-list")[:-len(LIST)]
    with driverlists.folder("fleet") as work:
        subprocess.run(["bash", top + "/packaging/build-deb.sh", work + "/deb"], check=True,
                       stdout=subprocess.DEVNULL)
        deb = [work + "/deb/" + f for f in os.listdir(work + "/deb") if f.startswith("halvo-readers_") and f.endswith(".deb")][0]
        for key in ("key", "host_key"):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", work + "/" + key],
                           check=True)
        driverlists.write_file(work + "/sshd_config", SSHD.format(work))
        os.makedirs(work + "/collections/ansible_collections/halvo")
        os.symlink(top + "/packaging/ansible", work + "/collections/ansible_collections/halvo/readers")
        hosts = {name: dict(ansible_port=port, halvo_readers_path=(own or drivers) + LIST,
                            **({"halvo_readers_package": deb} if how == "package" else
                               {"halvo_readers_binary": tool}))
                 for name, (port, _, own, how) in HOSTS.items()}
        driverlists.write_file(work + "/hosts.json", json.dumps({"all": {"hosts": hosts, "vars": dict(
            ansible_host="127.0.0.1", ansible_user="root", ansible_python_interpreter="/usr/bin/python3",
            ansible_ssh_private_key_file=work + "/key",
            ansible_ssh_common_args="-o UserKnownHostsFile=/dev/null")}}))
        driverlists.write_file(work + "/site.json", json.dumps(
            [{"hosts": "all", "gather_facts": False, "roles": ["halvo.readers.halvo_readers"]}]))
        servers = [start(sandbox, work, name, real, drivers) for name in HOSTS]
        try:
            for name, (port, *_) in HOSTS.items():
                wait_for(port, os.path.join(work, name, "sshd.log"))
            fleet(work, tool, hosts)
        finally:
            for name, server in zip(HOSTS, servers):
                stop(os.path.join(work, name, "sshd.pid"))
                server.wait()
    driverlists.summary("ansible fleet", 4)


def stop(pid_file):
    """Ends a host's sshd, and with it its overlay."""
    if os.path.exists(pid_file):
        os.kill(int(driverlists.read_bytes(pid_file)), signal.SIGTERM)


def wait_for(port, log):
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.1)
    raise AssertionError("no sshd on port %d: %s" % (port, driverlists.read_bytes(log)))


def fleet(work, tool, hosts):
    module, stats = playbook(work, "--tags", "halvo_readers_install")
    assert all(s["failures"] == 0 and s["unreachable"] == 0 for s in stats.values()), stats
    lists = {name: on(work, name, "cat", hosts[name]["halvo_readers_path"]) for name in HOSTS}
    for name in HOSTS:
        if os.path.exists(os.path.join(work, name, "restarts.log")):
            os.remove(os.path.join(work, name, "restarts.log"))
    lacking = {"fedora", "arch"}
    module, stats = playbook(work, "--check", "--diff")
    for name in lacking:
        after = plist_readers(module[name]["diff"]["after"].encode())[1]
        assert module[name]["changed"] and all(r[:3] in after for r in HALVO), name
    refused = hosts["refused"]["halvo_readers_path"]
    assert module["refused"]["failed"] and module["refused"]["msg"].startswith(refused + ", line") \
        and module["refused"]["msg"].endswith("\nFillExistingReaders returned an error."), "refused"
    assert not module["debian"]["changed"] and stats["debian"]["changed"] == 0, module["debian"]
    for name in HOSTS:
        path = hosts[name]["halvo_readers_path"]
        assert on(work, name, "cat", path) == lists[name] and not on(work, name, "cat", path + ".backup")
    print("check with diff: the readers shown, nothing written")
    module, stats = playbook(work)
    for name in lacking:
        path = hosts[name]["halvo_readers_path"]
        with driverlists.folder("expected") as local:
            driverlists.write_file(local + "/Info.plist", lists[name])
            assert driverlists.run(tool, "-i", local + "/Info.plist")[1] == 0
            assert on(work, name, "cat", path) == driverlists.read_bytes(local + "/Info.plist")
        assert on(work, name, "cat", path + ".backup") == lists[name], name + " backup"
        assert module[name]["changed"] and module[name]["backup"] == path + ".backup"
    for name in HOSTS:
        restarts = os.path.join(work, name, "restarts.log")
        got = driverlists.read_bytes(restarts) if os.path.exists(restarts) else b""
        assert got == (b"try-restart pcscd.service\n" if name in lacking else b""), name
    print("run: the readers added once, pcscd try-restarted once per changed host")
    module, stats = playbook(work)
    assert [n for n, s in stats.items() if s["changed"] or s["failures"]] == ["refused"], stats
    assert on(work, "refused", "cat", hosts["refused"]["halvo_readers_path"]) == lists["refused"]
    print("again: nothing changed; the refused list failed its host alone, untouched")


if __name__ == "__main__":
    main()
