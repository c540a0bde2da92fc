"""End-to-end tests of the space a history takes, through the `tarvine`
command line: the command line's snapshots pack as the application's do."""

import os
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


if __name__ == "__main__":
    tools_support.main(sys.modules[__name__])
