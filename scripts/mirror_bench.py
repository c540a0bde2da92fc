#!/usr/bin/env python3
"""Times mirrors over SSH against git's command line on the same history, side
by side in one run, and prints a Markdown table:

- the first push of a folder's history (the 10,000-file, 1 GB tree of
  scripts/history_bench.py, one snapshot) with `tarvine mirror push`, against
  `git push` of the very same repository to another bare repository: as the
  snapshot leaves it (loose objects), and packed as the application keeps
  it;
- the bytes a push sends after one file changed, against that file's
  compressed size (the server keeps every push as the pack it received:
  transfer.unpackLimit 1, so the pack's size is what was sent);
- `tarvine adopt` of the mirror on a fresh data folder, against `git clone`
  (which checks the branch out) of the same mirror, twice each (adopt,
  clone, clone, adopt: creating files costs more soon after many were
  deleted).

The server is Debian's sshd on a free port of 127.0.0.1, started by the
benchmark as the mirror end-to-end test starts it: its own host key, an
authorised key made here and a private agent, all ended with the benchmark
even when it is killed. CPU time is the user and system time of the client
and of the server's processes for that connection (sshd started afresh for
each measurement, so that its children's time is counted when it ends);
wall time is given beside it with the load average, as the machine is
shared.

Exits non-zero when a target is missed (in a smoke run, only the bytes
sent). Usage: mirror_bench.py BUILD_DIR [--smoke | --files N --megabytes M]
(--files and --megabytes: a tree of that many files and that size; --smoke: a small tree,
to see that it works)"""

import os
import random
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from history_bench import make_tree  # noqa: E402  (the same tree as the history's table)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "support"))
from ssh_server import SSHD, SshServer  # noqa: E402  (the mirror tests' server)
from trees import tree_of  # noqa: E402

# Slack the targets allow: bytes beyond twice the changed file's compressed
# size (the commit and the trees along its path), and the noise of timing
# two programs on a shared machine.
FEW_KB = 8 << 10
SLACK = 1.10


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


class Server(SshServer):
    """The tests' SSH server, its host known to the client, each measurement
    against a server started for it alone."""

    def __init__(self, work):
        super().__init__(work)
        self.know()

    def measured(self, args, env, cwd=None):
        """Runs `args` against a server started for it alone: (wall seconds,
        the client's CPU seconds, the client's and the server's together)."""
        self.start()
        before = children_cpu()
        start = time.monotonic()
        client = subprocess.Popen(args, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(client.pid, 0)
        wall = time.monotonic() - start
        client.returncode = os.waitstatus_to_exitcode(status)
        errors = client.stderr.read().decode(errors="replace")
        client.stderr.close()
        # The connection's server process ends as the client does; it is
        # counted once sshd has reaped it and ended itself.
        time.sleep(0.3)
        self.stop()
        if client.returncode != 0:
            raise RuntimeError("%s failed: %s" % (" ".join(args), errors.strip()))
        return wall, usage.ru_utime + usage.ru_stime, children_cpu() - before


def run(*args, env=None, cwd=None):
    done = subprocess.run(args, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args), done.stderr.strip()))
    return done.stdout


def pack_bytes(repository):
    folder = os.path.join(repository, "objects", "pack")
    return sum(os.path.getsize(os.path.join(folder, name)) for name in os.listdir(folder)
               if name.endswith(".pack"))


def store_of(data):
    """The one history under a data folder."""
    for top, dirs, files in os.walk(data):
        if "HEAD" in files and "objects" in dirs:
            return top
    raise RuntimeError("no history under " + data)


def seconds(value):
    return "%.2f s" % value


def main():
    build = os.path.abspath(sys.argv[1])
    smoke = "--smoke" in sys.argv
    files, total = (300, 20 << 20) if smoke else (10_000, 1 << 30)
    for flag, at in (("--files", 1), ("--megabytes", 1 << 20)):
        if flag in sys.argv:
            given = sys.argv[sys.argv.index(flag) + 1:sys.argv.index(flag) + 2]
            if not given or not given[0].isdigit() or int(given[0]) == 0:
                sys.exit("mirror_bench: %s takes a positive number" % flag)
            if flag == "--files":
                files = int(given[0])
            else:
                total = int(given[0]) * at
    tarvine = os.path.join(build, "cli", "tarvine")
    if not os.path.exists(SSHD):
        print("mirror_bench: openssh-server is not installed (install-deps.sh check)")
        return 1
    # Killed by a signal: the cleanup below still runs.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    work = tempfile.mkdtemp(prefix="tarvine-mirror-bench-")
    server = Server(work)
    try:
        server.start_agent()
        folder = os.path.join(work, "folder")
        paths = make_tree(folder, files, total, random.Random(1))
        os.symlink("d00", os.path.join(folder, "link"))
        os.chmod(paths[0], 0o755)
        env = dict(os.environ, XDG_DATA_HOME=os.path.join(work, "data"), HOME=work,
                   XDG_RUNTIME_DIR=work, SSH_AUTH_SOCK=server.agent_socket,
                   GIT_SSH_COMMAND="ssh -o UserKnownHostsFile=%s -o StrictHostKeyChecking=yes "
                   "-o BatchMode=yes" % server.known_hosts,
                   GIT_AUTHOR_NAME="b", GIT_AUTHOR_EMAIL="b@b", GIT_COMMITTER_NAME="b",
                   GIT_COMMITTER_EMAIL="b@b")
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        run(tarvine, "watch", "--manual", folder, env=env)
        store = store_of(os.path.join(work, "data"))
        branch = run("git", "--git-dir=" + store, "symbolic-ref", "HEAD").strip()
        ours, theirs = os.path.join(work, "server", "ours.git"), \
            os.path.join(work, "server", "theirs.git")
        for bare in (ours, theirs):
            run("git", "init", "-q", "--bare", bare)
            # Every push kept as the pack received, so that its size is what was sent.
            run("git", "--git-dir=" + bare, "config", "transfer.unpackLimit", "1")
        server.start()
        run(tarvine, "mirror", "add", folder, server.url(ours), env=env)
        server.stop()
        run("sync")
        load = os.getloadavg()[0]
        rows, missed = [], []

        def compare(what, mine, git, target):
            wall, _, cpu = mine
            git_wall, _, git_cpu = git
            met = cpu <= git_cpu * SLACK
            if not met:
                missed.append(what)
            rows.append((what, "%s CPU (%s client), %s wall" % (seconds(cpu), seconds(mine[1]),
                                                                 seconds(wall)),
                         "%s CPU (%s client), %s wall" % (seconds(git_cpu), seconds(git[1]),
                                                          seconds(git_wall)),
                         "%.2f CPU, %.2f wall; %s: %s" % (cpu / git_cpu, wall / git_wall, target,
                                                         "met" if met else "**not met**")))

        pushed = server.measured([tarvine, "mirror", "push", folder], env)
        git_pushed = server.measured(["git", "--git-dir=" + store, "push", "-q",
                                      server.url(theirs), "%s:%s" % (branch, branch)], env)
        compare("first push, %d files, %d MB" % (files, total >> 20), pushed, git_pushed,
                "no slower than `git push`")
        rows.append(("mirror's size after the first push", "%d MB" % (pack_bytes(ours) >> 20),
                     "%d MB" % (pack_bytes(theirs) >> 20), ""))

        # One file changed: a middling one, rewritten with new content half
        # random, half text, as the tree's files are.
        changed = sorted(paths, key=os.path.getsize)[len(paths) // 2]
        size = os.path.getsize(changed)
        content = os.urandom(size // 2) + b"changed line of text\n" * (size // 42 + 1)
        with open(changed, "wb") as f:
            f.write(content)
        run(tarvine, "snapshot", folder, env=env)
        before = pack_bytes(ours)
        server.measured([tarvine, "mirror", "push", folder], env)
        sent = pack_bytes(ours) - before
        compressed = len(zlib.compress(content))
        met = sent <= 2 * compressed + FEW_KB
        if not met:
            missed.append("push after one file changed")
        rows.append(("push after one %d-byte file changed: bytes sent" % size, "%d" % sent,
                     "file compressed: %d" % compressed,
                     "%.2fx; target 2x + %d KB: %s" % (sent / compressed, FEW_KB >> 10,
                                                      "met" if met else "**not met**")))

        # Each twice, in the order adopt, clone, clone, adopt, and the two
        # runs of each added up: creating a file costs more while many were
        # deleted in the minutes before (ext4 looks past recently freed
        # inodes, and the snapshots above packed and deleted every loose
        # object), and that cost falls as the runs go on.
        again = os.path.join(work, "again")
        runs = {"adopt": [], "clone": []}
        for turn, which in enumerate(("adopt", "clone", "clone", "adopt")):
            into = os.path.join(work, "%s-%d" % (which, turn))
            if which == "adopt":
                # The first is the one checked below.
                data = "fresh-data" if not runs[which] else "fresh-data-%d" % turn
                runs[which].append(server.measured(
                    [tarvine, "adopt", server.url(ours), again if not runs[which] else into],
                    dict(env, XDG_DATA_HOME=os.path.join(work, data))))
            else:
                runs[which].append(server.measured(["git", "clone", "-q", server.url(ours), into],
                                                   env))
        adopted, git_cloned = (tuple(map(sum, zip(*runs[which]))) for which in ("adopt", "clone"))
        compare("adopt, %d files, %d MB (two runs each)" % (files, total >> 20), adopted,
                git_cloned, "no slower than `git clone` with its checkout")
        if tree_of(again, (".git",)) != tree_of(folder, (".git",)):
            raise RuntimeError("the adopted folder is not the folder's newest version")
        # What adopt recorded of the files it wrote must not hide a change:
        # one byte of a file changed at once, its size kept, is in the next snapshot.
        edited = os.path.join(again, os.path.relpath(changed, folder))
        with open(edited, "r+b") as f:
            first = f.read(1)
            f.seek(0)
            f.write(bytes([first[0] ^ 0xFF]))
        fresh = dict(env, XDG_DATA_HOME=os.path.join(work, "fresh-data"))
        run(tarvine, "snapshot", again, env=fresh)
        kept = subprocess.run(["git", "--git-dir=" + store_of(fresh["XDG_DATA_HOME"]), "show",
                               "HEAD:" + os.path.relpath(changed, folder)],
                              capture_output=True, check=True).stdout
        with open(edited, "rb") as f:
            if kept != f.read():
                raise RuntimeError("a file changed after adopt is not in the next snapshot")

        # The same history as the application keeps it once its quiet
        # moments have packed it (the first snapshot leaves its objects
        # loose): git's push sends the packs' data as it is, where libgit2's
        # pack builder reads and compresses every object again.
        run(tarvine, "pack", folder, env=env)
        packed_ours, packed_theirs = ours[:-4] + "-packed.git", theirs[:-4] + "-packed.git"
        for bare in (packed_ours, packed_theirs):
            run("git", "init", "-q", "--bare", bare)
            run("git", "--git-dir=" + bare, "config", "transfer.unpackLimit", "1")
        run(tarvine, "mirror", "remove", folder, server.url(ours), env=env)
        run(tarvine, "mirror", "add", folder, server.url(packed_ours), env=env)
        run("sync")
        pushed = server.measured([tarvine, "mirror", "push", folder], env)
        git_pushed = server.measured(["git", "--git-dir=" + store, "push", "-q",
                                      server.url(packed_theirs), "%s:%s" % (branch, branch)], env)
        compare("first push of that history packed (`tarvine pack`)", pushed, git_pushed,
                "no slower than `git push`")
        if run("git", "--git-dir=" + packed_ours, "rev-parse", branch) != \
                run("git", "--git-dir=" + store, "rev-parse", branch):
            raise RuntimeError("the packed history's mirror does not have its newest snapshot")

        print("Load average %.1f on %d cores when the measurements began; CPU is user + system "
              "time of the client and the server's processes for the connection." %
              (load, os.cpu_count()))
        print()
        print("| measurement | tarvine | git command line | ratio and target |")
        print("| --- | --- | --- | --- |")
        for row in rows:
            print("| %s |" % " | ".join(row))
        if missed:
            print("\nmirror_bench: target missed: " + "; ".join(missed), file=sys.stderr)
        # A smoke run's tree is too small for its times to say anything (the
        # programs' start and the SSH handshakes are most of them): only the
        # bytes sent, and what is checked on the way, can fail it.
        timed = ("first push", "adopt")
        return 1 if [m for m in missed if not smoke or not m.startswith(timed)] else 0
    finally:
        server.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
