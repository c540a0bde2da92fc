"""End-to-end tests of mirrors through the `tarvine` command line: a folder's
history mirrored to a bare repository on another folder (the "disk") and to
an SSH server the test starts on 127.0.0.1 (Debian's sshd, with its own host
key, an authorised key made for the test and a private agent), the disk
unplugged and the server stopped and both caught up later, unknown and
changed host keys refused, and the folder brought back on a fresh data
folder, byte for byte with its modes and links."""

import glob
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ssh_server import SSHD, SshServer  # noqa: E402
from trees import tree_of  # noqa: E402

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
        shown = self.json("roots")["roots"][0]["mirrors"]
        self.assertEqual([(m["url"], m["unpushed"], m["failures"]) for m in shown],
                         [(self.mirror, 0, 0)])
        self.assertIn(self.mirror, self.tarvine("roots").stdout)
        checked = self.json("check", "--mirror", self.root)["mirrors"]
        self.assertEqual([(m["url"], m["intact"], m["snapshots"]) for m in checked],
                         [(self.mirror, True, 2)])

        # A new machine: a fresh data folder, a new folder. A first try cut
        # short after its fetch (a version the mirror does not have) leaves
        # the folder empty, and is taken up again.
        again = os.path.join(self.dir, "again")
        fresh = os.path.join(self.dir, "fresh-data")
        self.assertEqual(self.json("adopt", "--version", "0" * 40, self.mirror, again,
                                   data=fresh, status=1)["kind"], "notFound")
        self.assertEqual(os.listdir(again), [])
        adopted = self.json("adopt", self.mirror, again, data=fresh)
        self.assertEqual(tree_of(again), tree_of(self.root))
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
            (("mirror", "add", self.root, os.path.join(self.root, "m.git")), "refused"),
            (("adopt", self.mirror, self.dir), "refused"),
            (("check", "--mirror", self.dir), "notWatched"),
        ]
        for args, kind in cases:
            with self.subTest(args=args):
                self.assertEqual(self.json(*args, status=1)["kind"], kind)
        self.assertNotEqual(self.tarvine("--version", "x", "roots").returncode, 0)


@unittest.skipUnless(os.path.exists(SSHD), "openssh-server is not installed (install-deps.sh check)")
class OverSsh(Mirrors):
    def setUp(self):
        super().setUp()
        self.server = SshServer(self.dir, others=("stranger",))
        # Cleanups run even when the rest of setUp fails, which tearDown does not.
        self.addCleanup(self.server.close)
        self.server.start()
        self.server.start_agent()
        self.served = os.path.join(self.dir, "server", "folder.git")
        subprocess.run(["git", "init", "-q", "--bare", self.served], check=True)
        self.url = self.server.url(self.served)

    def tarvine(self, *args, data=None):
        env = dict(os.environ, XDG_DATA_HOME=data or self.data, HOME=self.dir,
                   XDG_RUNTIME_DIR=self.dir, SSH_AUTH_SOCK=self.server.agent_socket)
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        return subprocess.run([os.path.join(BUILD, "cli", "tarvine"), *args], env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True)

    def test_host_keys_checked_pushed_through_the_agent_caught_up_and_adopted(self):
        with open(os.path.join(self.root, "a.txt"), "wb") as f:
            f.write(b"one\n")
        os.symlink("a.txt", os.path.join(self.root, "link"))
        self.json("watch", "--manual", self.root)
        self.json("mirror", "add", self.root, self.url)
        # An unknown host key, then one that is not the server's: refused, nothing sent.
        for known, says in ((None, "is not in ~/.ssh/known_hosts"), ("stranger", "does not match")):
            if known:
                self.server.know(known)
            failed = self.json("mirror", "push", status=1)["pushed"][0]
            self.assertEqual(failed["kind"], "refused", failed)
            self.assertIn(says, failed["message"])
        refs = subprocess.run(["git", "--git-dir=" + self.served, "for-each-ref"],
                              capture_output=True, text=True)
        self.assertEqual(refs.stdout, "")

        self.server.know("host")
        pushed = self.json("mirror", "push")["pushed"][0]
        self.assertTrue(pushed["ok"], pushed)
        fsck = subprocess.run(["git", "--git-dir=" + self.served, "fsck", "--strict"],
                              capture_output=True, text=True)
        self.assertEqual(fsck.returncode, 0, fsck.stderr)
        self.assertEqual(self.checked(), [(self.url, True, 1, None)])

        # The server stopped: unreachable, and caught up once it is back.
        self.server.stop()
        with open(os.path.join(self.root, "a.txt"), "wb") as f:
            f.write(b"two\n")
        self.json("snapshot", self.root)
        failed = self.json("mirror", "push", status=1)["pushed"][0]
        self.assertEqual(failed["kind"], "unavailable", failed)
        self.assertEqual(self.checked(status=1), [(self.url, False, None, "unavailable")])
        self.server.start()
        self.assertTrue(self.json("mirror", "push")["pushed"][0]["ok"])
        self.assertEqual(self.json("mirror", "list")["mirrors"][0]["unpushed"], 0)

        again = os.path.join(self.dir, "again")
        fresh = os.path.join(self.dir, "fresh-data")
        self.json("adopt", self.url, again, data=fresh)
        self.assertEqual(tree_of(again), tree_of(self.root))
        # The branch's log came along, naming both snapshots, and stock git
        # finds the adopted history whole with it.
        [store] = glob.glob(os.path.join(fresh, "*", "history", "*.git"))
        [log] = glob.glob(os.path.join(store, "logs", "refs", "heads", "*"))
        with open(log) as f:
            named = {line.split()[1] for line in f}
        versions = self.json("log", os.path.join(self.root, "a.txt"))["versions"]
        self.assertLessEqual({v["id"] for v in versions}, named)
        fsck = subprocess.run(["git", "--git-dir=" + store, "fsck", "--strict"],
                              capture_output=True, text=True)
        self.assertEqual(fsck.returncode, 0, fsck.stderr)

        # A file's content lost on the server: the check finds it there.
        self.assertEqual(self.checked(), [(self.url, True, 2, None)])
        subprocess.run(f"cd {self.served} && mkdir unpacked && mv objects/pack/* unpacked/ && "
                       "for p in unpacked/*.pack; do git --git-dir=. unpack-objects -q < $p; "
                       "done; rm -rf unpacked", shell=True, check=True)
        blob = subprocess.run(["git", "--git-dir=" + self.served, "rev-parse", "HEAD:a.txt"],
                              capture_output=True, text=True, check=True).stdout.strip()
        os.remove(os.path.join(self.served, "objects", blob[:2], blob[2:]))
        self.assertEqual(self.checked(status=1), [(self.url, False, 0, None)])

    def test_a_connection_cut_midway_leaves_the_mirror_unchecked_not_damaged(self):
        # The server's output cut short after some bytes, as a connection
        # dropped midway is.
        cut = self.cut_when('sh -c "$SSH_ORIGINAL_COMMAND" | dd bs=1 count=6000 status=none')
        with open(os.path.join(self.root, "big"), "wb") as f:
            f.write(os.urandom(300000))
        self.server.know("host")
        self.json("watch", "--manual", self.root)
        self.json("mirror", "add", self.root, self.url)
        self.json("mirror", "push", self.root)
        self.assertEqual(self.checked(), [(self.url, True, 1, None)])
        open(cut, "w").close()
        self.assertEqual(self.checked(status=1), [(self.url, False, None, "unavailable")])

    def test_a_packed_history_goes_as_its_packs_hold_it_and_only_what_it_keeps(self):
        # Packed by stock git, uncompressed (so a pack compressed anew would
        # differ), deltas given by where their base lies: the log's older
        # version stored as a delta on its newer, and the notes kept stored
        # as one on a version no snapshot holds now (one thinned).
        lines = b"".join(b"line %d of the log\n" % i for i in range(4000))
        notes = random.Random(7).randbytes(60000)
        for name, content in [("log", lines), ("notes", notes)] + \
                [("%d.txt" % i, b"file %d\n" % i) for i in range(20)]:
            with open(os.path.join(self.root, name), "wb") as f:
                f.write(content)
        self.json("watch", "--manual", self.root)
        version = self.json("log", os.path.join(self.root, "1.txt"))["versions"][0]["id"]
        self.json("pin", os.path.join(self.root, "1.txt"), version)
        with open(os.path.join(self.root, "log"), "ab") as f:
            f.write(b"one line more\n")
        self.json("snapshot", self.root)
        [store] = glob.glob(os.path.join(self.data, "*", "history", "*.git"))
        git = ["git", "--git-dir=" + store]

        def made(*args, data=b""):
            return subprocess.run(git + list(args), input=data, capture_output=True,
                                  check=True).stdout.strip().decode()
        thinned = made("hash-object", "-w", "--stdin", data=notes + b"gone")
        old = made("commit-tree", made("mktree", data=b"100644 blob %s\tnotes\n" %
                                       thinned.encode()), "-m", "thinned")
        made("update-ref", "refs/thinned", old)
        made("-c", "pack.compression=0", "repack", "-a", "-d", "-F")
        made("update-ref", "-d", "refs/thinned")
        [index] = glob.glob(os.path.join(store, "objects", "pack", "*.idx"))
        here = self.packed(index)
        kept, older, newer = made("rev-parse", "HEAD:notes"), made("rev-parse", "HEAD~:log"), \
            made("rev-parse", "HEAD:log")
        self.assertEqual((here[kept][1], here[older][1]), (thinned, newer), "the deltas")

        subprocess.run(["git", "--git-dir=" + self.served, "config", "transfer.unpackLimit", "1"],
                       check=True)
        self.server.know("host")
        self.json("mirror", "add", self.root, self.url)
        # Cut midway (the server reads 2,000 bytes of it): nothing is kept there.
        cut = self.cut_when('head -c 2000 | sh -c "$SSH_ORIGINAL_COMMAND"')
        open(cut, "w").close()
        self.assertFalse(self.json("mirror", "push", status=1)["pushed"][0]["ok"])
        refs = ["git", "--git-dir=" + self.served, "for-each-ref", "--format=%(refname) %(objectname)"]
        self.assertEqual(subprocess.run(refs, capture_output=True, text=True).stdout, "")
        os.remove(cut)
        self.assertTrue(self.json("mirror", "push")["pushed"][0]["ok"])

        # The branch, the pin, and the branch's log (made for the mirror).
        mirrored = dict(line.split() for line in subprocess.run(
            refs, capture_output=True, text=True).stdout.splitlines())
        local = dict(line.split() for line in subprocess.run(
            ["git", "--git-dir=" + store, *refs[2:]], capture_output=True, text=True).stdout
            .splitlines())
        self.assertIn("refs/tarvine/tips", mirrored)
        del mirrored["refs/tarvine/tips"]
        self.assertEqual(mirrored, local)
        fsck = subprocess.run(["git", "--git-dir=" + self.served, "fsck", "--strict"],
                              capture_output=True, text=True)
        self.assertEqual(fsck.returncode, 0, fsck.stderr)
        [served] = glob.glob(os.path.join(self.served, "objects", "pack", "*.idx"))
        there = self.packed(served)
        self.assertNotIn(thinned, there, "an object no snapshot holds was sent")
        # Each whole object packed here sent as it is stored (the branch's
        # log is made for the mirror); the log's delta too, its base given by
        # id; the notes, their base not sent, whole.
        whole = [oid for oid in there if oid in here and here[oid][1] is None]
        self.assertGreater(len(whole), 20)
        for oid in whole:
            self.assertEqual(there[oid], here[oid], oid)
        self.assertEqual(there[older][1], newer)
        self.assertEqual(there[kept][1], None)

    def cut_when(self, command):
        """Has the server run `command` instead of the one asked for while the
        file it returns exists; the server is started again to take it."""
        cut = os.path.join(self.dir, "cut")
        wrapper = os.path.join(self.server.keys, "cut.sh")
        with open(wrapper, "w") as f:
            f.write(f'#!/bin/sh\nif [ -e {cut} ]; then\n  {command}\n'
                    'else\n  exec sh -c "$SSH_ORIGINAL_COMMAND"\nfi\n')
        os.chmod(wrapper, 0o755)
        self.server.stop()
        with open(self.server.config, "a") as f:
            f.write(f"ForceCommand {wrapper}\n")
        self.server.start()
        return cut

    def packed(self, index):
        """Each object of a pack: its size there, and its delta's base or None."""
        listed = subprocess.run(["git", "verify-pack", "-v", index], capture_output=True,
                                text=True, check=True).stdout
        objects = {}
        for line in listed.splitlines():
            fields = line.split()
            if len(fields) >= 5 and len(fields[0]) == 40:
                objects[fields[0]] = (int(fields[3]), fields[6] if len(fields) >= 7 else None)
        return objects

    def checked(self, status=0):
        """`check --mirror`: each mirror's url, whether intact, snapshots read
        and the kind of failure that kept it from being read; no copy left."""
        mirrors = self.json("check", "--mirror", self.root, status=status)["mirrors"]
        copies = [name for _, dirs, _ in os.walk(self.data) for name in dirs
                  if name.startswith("tarvine-check-")]
        self.assertEqual(copies, [])
        return [(m["url"], m["intact"], m.get("snapshots"), m.get("kind")) for m in mirrors]

    # The disk's tests are not run again here.
    test_mirrored_to_a_disk_caught_up_after_unplugging_and_adopted_back = None
    test_bad_input_fails_with_a_reason = None


if __name__ == "__main__":
    args = sys.argv[1:]
    BUILD = args[args.index("--build") + 1]
    unittest.main(argv=[sys.argv[0]], verbosity=2)
