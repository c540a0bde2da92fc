"""End-to-end tests of mirrors through the `tarvine` command line: a folder's
history mirrored to a bare repository on another folder (the "disk"), the
disk unplugged and caught up later, and the folder brought back on a fresh
data folder, byte for byte with its modes and links."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BUILD = None


class Mirrors(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tarvine-mirror-e2e-")
        self.root = os.path.join(self.dir, "folder")
        self.disk = os.path.join(self.dir, "disk")
        self.mirror = os.path.join(self.disk, "folder.git")
        os.makedirs(self.root)
        os.makedirs(self.disk)
        self.data = os.path.join(self.dir, "data")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def tarvine(self, *args, data=None):
        env = dict(os.environ, XDG_DATA_HOME=data or self.data, HOME=self.dir,
                   XDG_RUNTIME_DIR=self.dir)
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        return subprocess.run([os.path.join(BUILD, "cli", "tarvine"), *args], env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True)

    def json(self, *args, status=0, data=None):
        done = self.tarvine("--json", *args, data=data)
        self.assertEqual(done.returncode, status, done.stdout + done.stderr)
        return json.loads(done.stdout)

    def tree(self, top):
        """Every file, folder and link below `top`: content, executable bit, target."""
        seen = {}
        for folder, dirs, names in os.walk(top):
            for name in dirs + names:
                path = os.path.join(folder, name)
                key = os.path.relpath(path, top)
                if os.path.islink(path):
                    seen[key] = ("link", os.readlink(path))
                elif os.path.isdir(path):
                    seen[key] = ("folder",)
                else:
                    with open(path, "rb") as f:
                        seen[key] = ("file", f.read(), os.stat(path).st_mode & 0o111 != 0)
        return seen

    def test_mirrored_to_a_disk_caught_up_after_unplugging_and_adopted_back(self):
        with open(os.path.join(self.root, "a.txt"), "wb") as f:
            f.write(b"one\n")
        os.makedirs(os.path.join(self.root, "bin"))
        with open(os.path.join(self.root, "bin", "tool"), "wb") as f:
            f.write(os.urandom(70000))
        os.chmod(os.path.join(self.root, "bin", "tool"), 0o755)
        os.symlink("a.txt", os.path.join(self.root, "link"))
        self.json("watch", "--manual", self.root)
        self.json("mirror", "add", self.root, self.mirror)
        listed = self.json("mirror", "list")["mirrors"]
        self.assertEqual([(m["url"], m["pushedAt"], m["unpushed"]) for m in listed],
                         [(self.mirror, None, 1)])
        pushed = self.json("mirror", "push", self.root)["pushed"]
        self.assertTrue(pushed[0]["ok"], pushed)
        fsck = subprocess.run(["git", "--git-dir=" + self.mirror, "fsck", "--strict"],
                              capture_output=True, text=True)
        self.assertEqual(fsck.returncode, 0, fsck.stderr)

        # Unplugged: reported, counted, and caught up once it is back.
        os.rename(self.disk, self.disk + "-away")
        with open(os.path.join(self.root, "a.txt"), "wb") as f:
            f.write(b"two\n")
        self.json("snapshot", self.root)
        failed = self.json("mirror", "push", status=1)
        self.assertEqual(failed["pushed"][0]["kind"], "unavailable")
        listed = self.json("mirror", "list", self.root)["mirrors"][0]
        self.assertEqual((listed["failures"], listed["unpushed"]), (1, 1))
        os.rename(self.disk + "-away", self.disk)
        self.assertTrue(self.json("mirror", "push")["pushed"][0]["ok"])
        self.assertEqual(self.json("mirror", "list")["mirrors"][0]["unpushed"], 0)

        # A new machine: a fresh data folder, a new folder.
        again = os.path.join(self.dir, "again")
        fresh = os.path.join(self.dir, "fresh-data")
        adopted = self.json("adopt", self.mirror, again, data=fresh)
        self.assertEqual(self.tree(again), self.tree(self.root))
        roots = self.json("roots", data=fresh)["roots"]
        self.assertEqual([r["path"] for r in roots], [os.path.realpath(again)])
        kept = self.json("mirror", "list", data=fresh)["mirrors"]
        self.assertEqual([(m["url"], m["pushed"], m["unpushed"]) for m in kept],
                         [(self.mirror, adopted["version"], 0)])

        # An older version on request; never into a folder that holds anything.
        older = os.path.join(self.dir, "older")
        first = self.json("log", os.path.join(self.root, "a.txt"))["versions"][-1]["id"]
        self.json("adopt", "--version", first, self.mirror, older,
                  data=os.path.join(self.dir, "third-data"))
        with open(os.path.join(older, "a.txt"), "rb") as f:
            self.assertEqual(f.read(), b"one\n")

    def test_bad_input_fails_with_a_reason(self):
        self.json("watch", "--manual", self.root)
        cases = [
            (("mirror", "add", self.root, "relative/path"), "invalid"),
            (("mirror", "add", self.root, os.path.join(self.dir, "nodisk", "m.git")), "unavailable"),
            (("mirror", "add", self.dir, self.mirror), "notWatched"),
            (("mirror", "remove", self.root, self.mirror), "notFound"),
            (("mirror", "frobnicate"), "invalid"),
            (("adopt", self.mirror, self.dir), "refused"),
        ]
        for args, kind in cases:
            with self.subTest(args=args):
                self.assertEqual(self.json(*args, status=1)["kind"], kind)
        self.assertNotEqual(self.tarvine("--version", "x", "roots").returncode, 0)


if __name__ == "__main__":
    args = sys.argv[1:]
    BUILD = args[args.index("--build") + 1]
    unittest.main(argv=[sys.argv[0]], verbosity=2)
