"""An SSH server on 127.0.0.1 run as the current user (Debian's
openssh-server, with a host key and an authorised key made for it) and an
agent holding that key: what the mirror tests and the mirrors' benchmark push
to, nothing else being reachable. Each program it starts ends with the
process that started it, even one killed with no chance to clean up."""

import os
import pwd
import shutil
import socket
import subprocess
import time

from processes import ended_with_parent

SSHD = "/usr/sbin/sshd"


def wait_for(condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() >= deadline:
            raise TimeoutError("timed out waiting for the SSH server or agent")
        time.sleep(0.01)


class SshServer:
    """Its keys (`keys`/NAME and NAME.pub: "host", "user", and any `others`)
    and its sshd_config (`config`, which a test may add to while it is
    stopped) in `work`/keys; the user's ~/.ssh is `work`/.ssh."""

    def __init__(self, work, others=()):
        self.work = work
        self.keys = os.path.join(work, "keys")
        os.makedirs(self.keys)
        os.makedirs(os.path.join(work, ".ssh"), mode=0o700)
        for name in ("host", "user", *others):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", name, "-f",
                            os.path.join(self.keys, name)], check=True)
        shutil.copy(os.path.join(self.keys, "user.pub"), os.path.join(self.keys, "authorized"))
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.config = os.path.join(self.keys, "sshd_config")
        with open(self.config, "w") as f:
            f.write("\n".join([
                f"Port {self.port}", "ListenAddress 127.0.0.1",
                f"HostKey {self.keys}/host", f"AuthorizedKeysFile {self.keys}/authorized",
                f"PidFile {self.keys}/sshd.pid", "StrictModes no", "UsePAM no",
                "PasswordAuthentication no", "KbdInteractiveAuthentication no",
                "PermitRootLogin prohibit-password", ""]))
        # sshd run as root wants its privilege separation folder, which the
        # service makes when it starts.
        if os.geteuid() == 0:
            os.makedirs("/run/sshd", exist_ok=True)
        self.known_hosts = os.path.join(work, ".ssh", "known_hosts")
        self.agent_socket = os.path.join(work, "agent.sock")
        self.sshd = None
        self.agent = None

    def know(self, key="host"):
        """The user's known_hosts lists `key` as the server's."""
        with open(os.path.join(self.keys, key + ".pub")) as f:
            public = f.read().split()
        with open(self.known_hosts, "w") as f:
            f.write(f"[127.0.0.1]:{self.port} {public[0]} {public[1]}\n")

    def start(self):
        self.sshd = subprocess.Popen([SSHD, "-D", "-e", "-f", self.config],
                                     stderr=subprocess.DEVNULL, preexec_fn=ended_with_parent)

        def listening():
            with socket.socket() as probe:
                return probe.connect_ex(("127.0.0.1", self.port)) == 0
        wait_for(listening)

    def stop(self):
        if self.sshd is not None:
            self.sshd.terminate()
            self.sshd.wait()
            self.sshd = None

    def start_agent(self):
        self.agent = subprocess.Popen(["ssh-agent", "-D", "-a", self.agent_socket],
                                      stdout=subprocess.DEVNULL, preexec_fn=ended_with_parent)
        wait_for(lambda: os.path.exists(self.agent_socket))
        subprocess.run(["ssh-add", "-q", os.path.join(self.keys, "user")], check=True,
                       env=dict(os.environ, SSH_AUTH_SOCK=self.agent_socket))

    def close(self):
        self.stop()
        if self.agent is not None:
            self.agent.kill()
            self.agent.wait()
            self.agent = None

    def url(self, path):
        return f"ssh://{pwd.getpwuid(os.geteuid()).pw_name}@127.0.0.1:{self.port}{path}"
