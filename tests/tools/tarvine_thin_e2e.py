"""End-to-end tests of retention through the `tarvine` command line: `keep`
shows and sets a root's policy, `thin --dry-run` lists what would go and
changes nothing, `thin` drops just that and leaves a store stock git finds
whole, and a pinned version stays."""

import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = None
GROUP = "QF7T2K9M4R.com.quillfen.tarvine"
# Everything for a second, then one a week: snapshots taken a moment apart
# fall in one week (unless a week begins between them, which the test
# avoids), so all but the oldest and the newest go.
WEEKLY = "all:1s,1w:forever"


class Retention(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tarvine-thin-e2e-")
        self.root = os.path.join(self.dir, "folder")
        os.makedirs(self.root)
        self.env = dict(os.environ, XDG_DATA_HOME=os.path.join(self.dir, "data"),
                        HOME=self.dir, XDG_RUNTIME_DIR=self.dir)
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def tarvine(self, *args):
        return subprocess.run([os.path.join(BUILD, "cli", "tarvine"), *args], env=self.env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True)

    def json(self, *args, status=0):
        done = self.tarvine("--json", *args)
        self.assertEqual(done.returncode, status, done.stdout + done.stderr)
        return json.loads(done.stdout)

    def store(self):
        history = os.path.join(self.dir, "data", GROUP, "history")
        return os.path.join(history, [n for n in os.listdir(history) if n.endswith(".git")][0])

    def store_files(self):
        digests = {}
        for top, _, names in os.walk(self.store()):
            for name in names:
                with open(os.path.join(top, name), "rb") as f:
                    digests[os.path.join(top, name)] = hashlib.sha256(f.read()).hexdigest()
        return digests

    def versions(self):
        return [v["id"] for v in self.json("log", os.path.join(self.root, "f.txt"))["versions"]]

    def test_keep_shows_and_sets_the_policy_and_refuses_bad_ones(self):
        self.json("watch", "--manual", self.root)
        shown = self.json("keep", self.root)
        self.assertEqual(shown["keep"], "all:1d,1h:1w,1d:90d,1w:forever")
        self.assertIsNone(shown["sizeLimit"])
        self.assertEqual(self.json("keep", self.root, "all:2d,1d:52w", "5G")["sizeLimit"], 5 << 30)
        self.assertEqual(self.json("keep", self.root)["keep"], "all:2d,1d:52w")
        self.assertEqual(self.json("keep", self.root, "default", "none")["keep"],
                         "all:1d,1h:1w,1d:90d,1w:forever")
        for bad in (["1h:7d,1d:1d"], ["all:1d", "lots"]):
            self.assertEqual(self.json("keep", self.root, *bad, status=1)["kind"], "invalid")
        self.assertEqual(self.tarvine("--dry-run", "log", self.root).returncode, 2)

    def test_thin_drops_what_its_dry_run_lists_and_keeps_what_is_pinned(self):
        # Not where a week begins (Thursday 00:00 UTC), for the few seconds
        # this takes.
        while time.gmtime().tm_wday == 3 and time.gmtime().tm_hour == 0 and \
                time.gmtime().tm_min == 0:
            time.sleep(1)
        path = os.path.join(self.root, "f.txt")
        for n in range(6):
            with open(path, "w") as f:
                f.write("version %d\n" % n)
            self.json("watch" if n == 0 else "snapshot", *(["--manual"] if n == 0 else []),
                      self.root)
        made = self.versions()  # newest first
        self.assertEqual(len(made), 6)
        self.json("keep", self.root, WEEKLY)
        self.json("pin", path, made[2][:12])
        time.sleep(1.5)  # all but the newest older than the first tier
        before = self.store_files()
        dry = self.json("thin", "--dry-run", self.root)
        self.assertEqual(self.store_files(), before)
        self.assertTrue(dry["dryRun"])
        # Kept: the newest, the pinned one, and the oldest of the week.
        self.assertEqual([d["id"] for d in dry["dropped"]], [made[1], made[3], made[4]])
        self.assertEqual({d["why"] for d in dry["dropped"]}, {"thinned"})
        thinned = self.json("thin", self.root)
        self.assertEqual([d["id"] for d in thinned["dropped"]], [made[1], made[3], made[4]])
        self.assertEqual(thinned["kept"], 3)
        kept = self.versions()
        self.assertEqual(len(kept), 3)
        self.assertEqual(kept[-1], made[5])  # the oldest, before anything dropped: the same id
        contents = [self.tarvine("cat", path, v).stdout for v in kept]
        self.assertEqual(contents, ["version 5\n", "version 3\n", "version 0\n"])
        self.assertEqual(self.json("keep", self.root)["pinned"], [kept[1]])
        fsck = subprocess.run(["git", "--git-dir=" + self.store(), "fsck", "--strict",
                               "--unreachable", "--no-reflogs"], capture_output=True, text=True)
        self.assertEqual(fsck.returncode, 0, fsck.stderr)
        self.assertNotIn("unreachable", fsck.stdout)


if __name__ == "__main__":
    args = sys.argv[1:]
    BUILD = args[args.index("--build") + 1]
    unittest.main(argv=[sys.argv[0]], verbosity=2)
