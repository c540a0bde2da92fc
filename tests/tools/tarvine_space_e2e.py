"""End-to-end tests of the space a history takes, through the `tarvine`
command line: the command line's snapshots pack as the application's do,
`roots` (and --json) says what each history holds, `roots --orphans`,
`forget` (which asks first) and `move`."""

import json
import os
import pty
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tools_support  # noqa: E402

BUILD = None
GROUP = "QF7T2K9M4R.com.quillfen.tarvine"


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def loose_objects(store):
    objects = os.path.join(store, "objects")
    return sum(len(os.listdir(os.path.join(objects, name))) for name in os.listdir(objects)
               if len(name) == 2)


class Space(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tarvine-space-e2e-")
        self.container = os.path.join(self.dir, "data", GROUP)
        self.env = dict(os.environ, XDG_DATA_HOME=os.path.join(self.dir, "data"),
                        HOME=self.dir, XDG_RUNTIME_DIR=self.dir)
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def tarvine(self, *args, stdin=subprocess.DEVNULL):
        return subprocess.run([os.path.join(BUILD, "cli", "tarvine"), *args], env=self.env,
                              stdin=stdin, capture_output=True, text=True)

    def ok(self, *args):
        done = self.tarvine(*args)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout

    def watched(self, name, files):
        root = os.path.join(self.dir, name)
        for relative, text in files.items():
            write(os.path.join(root, relative), text)
        os.makedirs(root, exist_ok=True)
        self.ok("watch", "--manual", root)
        return root

    def stores(self):
        history = os.path.join(self.container, "history")
        return sorted(name for name in os.listdir(history) if name.endswith(".git"))

    def roots(self):
        return {root["path"]: root for root in json.loads(self.ok("--json", "roots"))["roots"]}

    def test_a_command_line_snapshot_packs_as_the_applications_do(self):
        # More loose objects than git's gc --auto allows (6700), by its
        # estimate from one of the 256 fan-out folders (these contents are
        # the same at every run, and so is that estimate).
        root = self.watched("many", {"f%d/%d" % (i % 50, i): "file %d" % i
                                     for i in range(7200)})
        store = os.path.join(self.container, "history", self.stores()[0])
        self.assertGreater(len(os.listdir(os.path.join(store, "objects", "17"))), 6700 // 256)
        write(os.path.join(root, "f0/0"), "changed")
        self.ok("snapshot", root)
        packs = [name for name in os.listdir(os.path.join(store, "objects", "pack"))
                 if name.endswith(".pack")]
        self.assertEqual(len(packs), 1)
        self.assertLess(loose_objects(store), 100)
        subprocess.run(["git", "--git-dir=" + store, "fsck", "--strict"], check=True,
                       capture_output=True)

    def test_roots_shows_versions_dates_and_space(self):
        root = self.watched("kept", {"a.txt": "one"})
        write(os.path.join(root, "a.txt"), "two")
        self.ok("snapshot", root)
        listed = self.roots()[root]
        self.assertEqual(listed["state"], "manual")
        self.assertEqual(listed["versions"], 2)
        store = os.path.join(self.container, "history", self.stores()[0])
        log = subprocess.run(["git", "--git-dir=" + store, "log", "--format=%cI"], check=True,
                             capture_output=True, text=True,
                             env=dict(self.env, TZ="UTC")).stdout.split()
        self.assertEqual(len(log), 2)
        self.assertEqual(listed["newest"], log[0].replace("+00:00", "Z"))
        self.assertEqual(listed["oldest"], log[-1].replace("+00:00", "Z"))
        du = subprocess.run(["du", "-s", "-B1", store], check=True, capture_output=True,
                            text=True).stdout.split()[0]
        self.assertEqual(listed["bytes"], int(du))
        # For people: the same, in one line.
        line = self.ok("roots").strip()
        self.assertTrue(line.startswith(root + " (manual): 2 versions, "), line)
        self.assertTrue(line.endswith(" on disk"), line)

    def test_forget_asks_and_deletes_only_a_history_no_longer_watched(self):
        kept = self.watched("kept", {"a.txt": "one"})
        gone = self.watched("gone", {"b.txt": "two"})
        self.assertEqual(len(self.stores()), 2)
        # Watched: refused, whatever the answer.
        refused = self.tarvine("--json", "forget", "--yes", kept)
        self.assertEqual(refused.returncode, 1)
        self.assertEqual(json.loads(refused.stdout)["kind"], "refused")
        self.ok("unwatch", gone)
        shutil.rmtree(gone)
        orphans = json.loads(self.ok("--json", "roots", "--orphans"))["orphans"]
        self.assertEqual([orphan["folder"] for orphan in orphans], [gone])
        self.assertGreater(orphans[0]["bytes"], 0)
        self.assertIn(gone + ": ", self.ok("roots", "--orphans"))
        # Nobody at a terminal to ask: nothing deleted without --yes.
        asked = self.tarvine("--json", "forget", gone)
        self.assertEqual(asked.returncode, 1)
        self.assertEqual(json.loads(asked.stdout)["kind"], "refused")
        self.assertEqual(len(self.stores()), 2)
        # At a terminal: anything but yes keeps it.
        for answer, deleted in (("n\n", False), ("\n", False), ("y\n", True)):
            master, slave = pty.openpty()
            os.write(master, answer.encode())
            done = self.tarvine("forget", gone, stdin=slave)
            os.close(slave)
            os.close(master)
            self.assertIn("Delete the history of " + gone, done.stderr)
            self.assertEqual(done.returncode, 0 if deleted else 1, done.stderr)
            self.assertEqual(len(self.stores()), 1 if deleted else 2)
        self.assertEqual(json.loads(self.ok("--json", "roots", "--orphans"))["orphans"], [])
        self.assertEqual(list(self.roots()), [kept])
        self.assertEqual(self.roots()[kept]["versions"], 1)

    def test_a_moved_folder_keeps_its_history(self):
        old = self.watched("old", {"a.txt": "one", "sub/b.txt": "two"})
        write(os.path.join(old, "a.txt"), "three")
        self.ok("snapshot", old)
        new = os.path.join(self.dir, "elsewhere", "new")
        os.makedirs(os.path.dirname(new))
        os.rename(old, new)
        # Refused while `new` is not there yet, and for a folder not watched.
        missing = self.tarvine("--json", "move", old, new + "-missing")
        self.assertEqual(json.loads(missing.stdout)["kind"], "notFound")
        unknown = self.tarvine("--json", "move", os.path.join(self.dir, "other"), new)
        self.assertEqual(json.loads(unknown.stdout)["kind"], "notWatched")
        self.ok("move", old, new)
        self.assertEqual(list(self.roots()), [new])
        self.assertEqual(self.roots()[new]["versions"], 2)
        self.assertIn("no change in " + new, self.ok("snapshot", new))
        self.assertEqual(json.loads(self.ok("--json", "roots", "--orphans"))["orphans"], [])
        log = json.loads(self.ok("--json", "log", os.path.join(new, "sub/b.txt")))["versions"]
        self.assertEqual([version["change"] for version in log], ["added"])


if __name__ == "__main__":
    tools_support.main(sys.modules[__name__])
