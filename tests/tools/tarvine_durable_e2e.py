"""End-to-end tests of a history's durability through the real programs: the
order in which a snapshot reaches stable storage (traced with strace), a
damaged history healed and said so by the command line, `tarvine check`, and
the application's check after an unclean stop."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tools_support  # noqa: E402
from tools_support import eventually  # noqa: E402

BUILD = None
GROUP = "QF7T2K9M4R.com.quillfen.tarvine"
TRACED = "fsync,fdatasync,syncfs,rename,renameat,renameat2,link,linkat"


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


class Box:
    """A data home and watched folders, removed at the end."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="tarvine-durable-e2e-")
        self.container = os.path.join(self.dir, "data", GROUP)
        self.env = dict(os.environ, XDG_DATA_HOME=os.path.join(self.dir, "data"),
                        HOME=self.dir, XDG_RUNTIME_DIR=self.dir)
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)

    def folder(self, name, files):
        root = os.path.join(self.dir, name)
        for relative, text in files.items():
            write(os.path.join(root, relative), text)
        return root

    def tarvine(self, *args, prefix=()):
        return subprocess.run([*prefix, os.path.join(BUILD, "cli", "tarvine"), *args],
                              env=self.env, capture_output=True, text=True)

    def store(self, root):
        """The git folder of `root`'s history: the only one that names it."""
        history = os.path.join(self.container, "history")
        for name in os.listdir(history):
            config = os.path.join(history, name, "config")
            with open(config) as f:
                if "root = " + root + "\n" in f.read():
                    return os.path.join(history, name)
        raise AssertionError("no history of " + root)

    def git(self, root, *args):
        return subprocess.run(["git", "--git-dir=" + self.store(root), *args], check=True,
                              capture_output=True, text=True).stdout.strip()

    def empty(self, root, revision, reboot=True):
        """The loose file of the object `revision` names left empty, as a power
        cut leaves what was never synced; the cut ends the machine's boot."""
        oid = self.git(root, "rev-parse", revision)
        path = os.path.join(self.store(root), "objects", oid[:2], oid[2:])
        if not os.path.exists(path):
            self.unpack(root)
        os.chmod(path, 0o600)
        open(path, "w").close()
        if reboot:
            os.remove(os.path.join(self.store(root), "tarvine-intact-tip"))

    def unpack(self, root):
        """Every object loose again, as before the tidy after a snapshot packed
        them: what a power cut during the snapshot would find."""
        packs = os.path.join(self.store(root), "objects", "pack")
        for name in os.listdir(packs):
            if not name.endswith(".pack"):
                continue
            aside = os.path.join(self.dir, name)
            os.rename(os.path.join(packs, name), aside)
            os.remove(os.path.join(packs, name[:-5] + ".idx"))
            with open(aside, "rb") as data:
                subprocess.run(["git", "--git-dir=" + self.store(root), "unpack-objects", "-q"],
                               stdin=data, check=True)
            os.remove(aside)

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class Durability(unittest.TestCase):
    def setUp(self):
        self.box = Box()

    def tearDown(self):
        self.box.close()

    def watch(self, name, files):
        root = self.box.folder(name, files)
        done = self.box.tarvine("watch", "--manual", root)
        self.assertEqual(done.returncode, 0, done.stderr)
        return root

    def snapshot(self, root):
        done = self.box.tarvine("snapshot", root)
        self.assertEqual(done.returncode, 0, done.stderr)

    def traced_snapshot(self, root):
        """A snapshot of `root` under strace: its calls that sync or name a
        file, in order, as (call, path, second path), and the objects it added
        by kind, each the path of its loose file."""
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        before = self.box.git(root, "rev-parse", "HEAD")
        trace = os.path.join(self.box.dir, "trace")
        done = self.box.tarvine("snapshot", root, prefix=(
            "strace", "-f", "-qq", "-y", "-e", "trace=" + TRACED, "-o", trace))
        if done.returncode != 0 and "ptrace" in done.stderr:
            self.skipTest("tracing is not permitted here: " + done.stderr.strip())
        self.assertEqual(done.returncode, 0, done.stderr)
        events = []
        with open(trace) as f:
            for line in f:
                call = re.match(r"(?:\d+ +)?(\w+)\((.*)\) += 0$", line.strip())
                if not call:
                    continue
                name, arguments = call.groups()
                if name in ("fsync", "fdatasync", "syncfs"):
                    path = re.search(r"<(.*)>", arguments).group(1)
                    events.append(("syncfs" if name == "syncfs" else "sync", path, None))
                else:
                    paths = re.findall(r'"([^"]*)"', arguments)
                    events.append(("name", paths[0], paths[-1]))
        objects = os.path.join(self.box.store(root), "objects")
        added = {"blob": [], "tree": [], "commit": []}
        for line in self.box.git(root, "rev-list", "--objects", "HEAD", "--not",
                                 before).splitlines():
            oid = line.split()[0]
            kind = self.box.git(root, "cat-file", "-t", oid)
            added[kind].append(os.path.join(objects, oid[:2], oid[2:]))
        return events, added

    def at(self, events, kind, path, second=None, after=-1):
        for index, (k, first, other) in enumerate(events):
            if index > after and k == kind and first == path and \
                    (second is None or other == second):
                return index
        self.fail("no %s of %s after event %d in:\n%s" % (kind, path, after, events))

    def named(self, events, path):
        """When libgit2 linked its temporary file to `path`."""
        return next(i for i, e in enumerate(events) if e[0] == "name" and e[2] == path)

    def branch_moves(self, events, root):
        """The branch's log and HEAD's synced, then the branch written beside
        and synced, renamed over, and its folder synced: where it moved."""
        store = self.box.store(root)
        branch = os.path.join(store, self.box.git(root, "symbolic-ref", "HEAD"))
        moved = self.at(events, "name", branch + ".lock", branch)
        log = self.at(events, "sync", os.path.join(store, "logs", os.path.relpath(branch, store)))
        self.assertLess(log, moved)
        self.assertLess(self.at(events, "sync", os.path.join(store, "logs", "HEAD")), moved)
        self.assertLess(self.at(events, "sync", branch + ".lock"), moved)
        self.at(events, "sync", os.path.dirname(branch), after=moved)
        return log

    def test_a_snapshot_is_on_stable_storage_before_its_branch_moves(self):
        root = self.watch("root", {"a.txt": "one", "dir/b.txt": "two"})
        write(os.path.join(root, "dir/b.txt"), "changed")
        write(os.path.join(root, "new/deeper/c.txt"), "added")
        events, added = self.traced_snapshot(root)
        self.assertEqual(len(added["blob"]), 2, added)
        synced = {}
        for kind, paths in added.items():
            synced[kind] = []
            for path in paths:
                sync = self.at(events, "sync", path, after=self.named(events, path))
                synced[kind].append(self.at(events, "sync", os.path.dirname(path), after=sync))
        # Files, then trees (each with its folder), then the commit; the
        # objects folder, which may have gained folders, too; then the branch.
        self.assertLess(max(synced["blob"]), min(synced["tree"]))
        self.assertLess(max(synced["tree"]), min(synced["commit"]))
        objects = os.path.dirname(os.path.dirname(added["commit"][0]))
        log = self.branch_moves(events, root)
        self.assertLess(self.at(events, "sync", objects, after=max(synced["commit"])), log)

    def test_a_large_snapshot_is_synced_with_its_file_system_before_its_commit(self):
        root = self.watch("root", {"a.txt": "one"})
        for i in range(300):
            write(os.path.join(root, "many", "f%03d" % i), "file %d" % i)
        events, added = self.traced_snapshot(root)
        objects = os.path.dirname(os.path.dirname(added["commit"][0]))
        whole = self.at(events, "syncfs", objects)
        for path in added["blob"] + added["tree"]:
            self.assertLess(self.named(events, path), whole, path)
        commit = added["commit"][0]
        self.assertLess(whole, self.named(events, commit))
        synced = self.at(events, "sync", commit, after=self.named(events, commit))
        self.assertLess(synced, self.branch_moves(events, root))

    def test_a_damaged_history_heals_and_the_command_line_says_so(self):
        root = self.watch("root", {"a.txt": "one"})
        first = self.box.git(root, "rev-parse", "HEAD")
        write(os.path.join(root, "a.txt"), "two")
        self.snapshot(root)
        damaged = self.box.git(root, "rev-parse", "HEAD")
        self.box.empty(root, "HEAD:a.txt")
        done = self.box.tarvine("log", root)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue(done.stdout.startswith("1 version of "), done.stdout)
        self.assertIn("was damaged", done.stderr)
        self.assertIn(first[:12], done.stderr)
        kept = re.search(r"kept as (tarvine-damaged/tips/\S+) in its history", done.stderr).group(1)
        with open(os.path.join(self.box.store(root), kept)) as named:
            self.assertEqual(named.read().strip(), damaged)
        # Stock git finds nothing missing, in the branch, its log or anywhere.
        self.box.git(root, "fsck", "--strict", "--no-dangling")
        # Once healed, nothing more is said; the next snapshot records it whole.
        again = self.box.tarvine("log", root)
        self.assertEqual(again.stderr, "")
        self.snapshot(root)
        self.assertEqual(self.box.git(root, "cat-file", "-p", "HEAD:a.txt"), "two")
        # Under --json, what was healed is part of the one answer.
        write(os.path.join(root, "a.txt"), "three")
        self.snapshot(root)
        self.box.empty(root, "HEAD^{tree}")
        answer = json.loads(self.box.tarvine("--json", "log", root).stdout)
        self.assertTrue(answer["ok"])
        self.assertEqual(answer["healed"][0]["root"], root)
        self.assertEqual(len(answer["versions"]), 2)

    def test_check_says_which_root_is_damaged_and_fails(self):
        whole = self.watch("whole", {"a.txt": "one"})
        damaged = self.watch("damaged", {"a.txt": "one", "b.txt": "b"})
        write(os.path.join(damaged, "a.txt"), "two")
        self.snapshot(damaged)
        done = self.box.tarvine("check")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("intact: " + damaged, done.stdout)
        # An older snapshot's file: the newest is whole, so nothing heals it.
        self.box.empty(damaged, "HEAD^:a.txt", reboot=False)
        done = self.box.tarvine("check")
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        self.assertIn("intact: " + whole, done.stdout)
        self.assertIn("damaged: " + damaged, done.stdout)
        self.assertRegex(done.stdout, r"snapshot [0-9a-f]{12}: the file a\.txt")
        answer = json.loads(self.box.tarvine("--json", "check").stdout)
        self.assertFalse(answer["ok"])
        verdicts = {r["root"]: r["intact"] for r in answer["roots"]}
        self.assertEqual(verdicts, {whole: True, damaged: False})
        self.assertEqual(self.box.tarvine("check", whole).returncode, 0)
        self.assertEqual(self.box.tarvine("check", damaged).returncode, 1)
        self.assertEqual(self.box.tarvine("check", self.box.dir).returncode, 1)

    def test_the_application_checks_every_history_after_an_unclean_stop(self):
        root = self.box.folder("root", {"a.txt": "one"})
        app = os.path.join(BUILD, "Tarvine.app/Contents/MacOS/tarvine-app")
        marker = os.path.join(self.box.container, ".tarvine-app-running")
        logs = []

        def start():
            log = open(os.path.join(self.box.dir, "app-%d.log" % len(logs)), "w+")
            logs.append(log)
            process = subprocess.Popen([app, "--manual", root], env=self.box.env,
                                       stdout=log, stderr=subprocess.STDOUT)
            self.assertTrue(eventually(lambda: "watching" in output(), 10), output())
            return process

        def output():
            logs[-1].flush()
            with open(logs[-1].name, errors="replace") as f:
                return f.read()

        try:
            process = start()
            self.assertTrue(os.path.exists(marker))
            self.assertNotIn("did not end cleanly", output())
            self.snapshot(root)
            write(os.path.join(root, "a.txt"), "two")
            self.snapshot(root)
            process.kill()
            process.wait(5)
            self.box.empty(root, "HEAD^:a.txt", reboot=False)
            process = start()
            self.assertTrue(eventually(lambda: "damaged: " + root in output(), 30), output())
            self.assertIn("did not end cleanly", output())
            process.send_signal(signal.SIGTERM)
            process.wait(10)
            self.assertFalse(os.path.exists(marker))
            process = start()
            self.assertNotIn("did not end cleanly", output())
            process.send_signal(signal.SIGTERM)
            process.wait(10)
        finally:
            for log in logs:
                log.close()


if __name__ == "__main__":
    tools_support.main(sys.modules[__name__])
