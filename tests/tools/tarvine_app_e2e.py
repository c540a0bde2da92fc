"""End-to-end tests of tarvine-app as the spool's consumer: the real program on
a real spool, fed what anyone who can write the spool could put there."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tools_support  # noqa: E402
from tools_support import eventually  # noqa: E402
import uuid

BUILD = None
GROUP = "QF7T2K9M4R.com.quillfen.tarvine"



def request(kind="showHistory", target="/home/u/Docs"):
    rid = str(uuid.uuid4()).upper()
    return rid, json.dumps({"version": 1, "id": rid, "createdAt": "2025-03-14T09:26:53Z",
                            "kind": kind, "target": target})


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def sparse(path, size):
    with open(path, "wb") as f:
        f.truncate(size)


class Sandbox:
    """A data directory, a private session bus (unless told otherwise) and the
    tarvine-app processes started in it, all removed at the end."""

    def __init__(self, bus=True):
        self.dir = tempfile.mkdtemp(prefix="tarvine-app-e2e-")
        self.container = os.path.join(self.dir, "data", GROUP)
        self.spool = os.path.join(self.container, "requests")
        self.env = dict(os.environ, XDG_DATA_HOME=os.path.join(self.dir, "data"),
                        HOME=self.dir, XDG_RUNTIME_DIR=self.dir)
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        self.bus_pid = None
        if bus:
            out = subprocess.run(
                ["dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"],
                check=True, capture_output=True, text=True).stdout.split("\n")
            self.env["DBUS_SESSION_BUS_ADDRESS"] = out[0].strip()
            self.bus_pid = int(out[1])
        self.apps = []

    def start(self, *args, wait=True):
        log = open(os.path.join(self.dir, "app-%d.log" % len(self.apps)), "w+")
        process = subprocess.Popen(
            [os.path.join(BUILD, "Tarvine.app/Contents/MacOS/tarvine-app"), *args],
            env=self.env, stdout=log, stderr=subprocess.STDOUT)
        self.apps.append((process, log))
        if wait:
            assert eventually(lambda: "watching" in self.output(), 10), self.output()
        return process

    def output(self, index=0):
        process, log = self.apps[index]
        log.flush()
        with open(log.name, errors="replace") as f:
            return f.read()

    def drop(self, name, text):
        """Writes a request as the extension does: complete, then renamed into place."""
        temporary = os.path.join(self.spool, "." + name + ".tmp")
        with open(temporary, "w") as f:
            f.write(text)
        os.rename(temporary, os.path.join(self.spool, name))

    def close(self):
        for process, log in self.apps:
            if process.poll() is None:
                process.terminate()
                process.wait(5)
            log.close()
        if self.bus_pid:
            os.kill(self.bus_pid, signal.SIGTERM)
        shutil.rmtree(self.dir, ignore_errors=True)


class HostileSpool(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        os.makedirs(self.box.spool)

    def tearDown(self):
        self.box.close()

    def test_hostile_entries_are_set_aside_and_the_rest_handled_once(self):
        box, spool = self.box, self.box.spool
        outside = os.path.join(box.dir, "outside")
        os.makedirs(outside)
        private = os.path.join(outside, "private")
        with open(private, "w") as f:
            f.write("SECRET-LINE\n")
        outside_request = os.path.join(outside, "request.json")
        with open(outside_request, "w") as f:
            f.write(request("disableHistory", "/outside")[1])
        sparse(os.path.join(outside, "huge"), 1 << 40)
        hostile = {
            "0.json": lambda p: sparse(p, 1 << 40),                      # a sparse terabyte
            "big.json": lambda p: os.symlink(os.path.join(outside, "huge"), p),
            "secret.json": lambda p: os.symlink(private, p),              # would echo its line
            "elsewhere.json": lambda p: os.symlink(outside_request, p),   # would be carried out
            "fifo.json": os.mkfifo,
            "junk.json": lambda p: write(p, "SECRET-JUNK not json"),
        }
        for name, make in hostile.items():
            make(os.path.join(spool, name))
        # A request whose target would forge a line of output if printed raw.
        box.drop("forge.json", request("showHistory", "/x\ntarvine-app: request disableHistory "
                                       "/forged")[1])
        # Temporaries of writers killed mid-write: only the long-abandoned one goes.
        for name, age in [(".old.json.1.tmp", 2 * 86400), (".fresh.json.2.tmp", 0)]:
            with open(os.path.join(spool, name), "w") as f:
                f.write("{")
            then = time.time() - age
            os.utime(os.path.join(spool, name), (then, then))

        box.start()
        # The request is said before it is carried out and its file removed.
        self.assertTrue(eventually(lambda: box.output().count("app: rejected") == len(hostile)
                                   and "removed the abandoned" in box.output()
                                   and not os.path.exists(os.path.join(spool, "forge.json"))),
                        box.output())
        out = box.output()
        self.assertNotIn("SECRET", out)
        requests = [line for line in out.splitlines() if line.startswith("tarvine-app: request")]
        self.assertEqual(requests, ["tarvine-app: request showHistory /x\\ntarvine-app: "
                                    "request disableHistory /forged bookmark=no"])
        for name in hostile:
            self.assertIn("rejected " + name + ": ", out)
            self.assertTrue(os.path.lexists(os.path.join(spool, name + ".rejected")), name)
        self.assertEqual(sorted(n for n in os.listdir(spool) if n.endswith(".json")), [])
        self.assertEqual(sorted(n for n in os.listdir(spool) if n.endswith(".tmp")),
                         [".fresh.json.2.tmp"])
        with open(private) as f:
            self.assertEqual(f.read(), "SECRET-LINE\n")
        self.assertTrue(os.path.exists(outside_request))

        # A second broken file of the same name never replaces the first one's copy.
        box.drop("junk.json", "still not json")
        self.assertTrue(eventually(lambda: os.path.exists(os.path.join(spool,
                                                                       "junk.json.2.rejected"))))
        with open(os.path.join(spool, "junk.json.rejected")) as f:
            self.assertEqual(f.read(), "SECRET-JUNK not json")

    def test_a_request_that_cannot_be_removed_is_handled_once(self):
        path = os.path.join(self.box.spool, "stuck.json")
        with open(path, "w") as f:
            f.write(request("snapshotNow", "/stuck")[1])
        if subprocess.run(["chattr", "+i", path], capture_output=True).returncode != 0:
            self.skipTest("immutable files need root and a file system that has them")
        try:
            self.box.start()
            # Three sweeps at least: the one at start and two timed ones.
            self.assertTrue(eventually(lambda: "cannot remove stuck.json" in self.box.output()))
            time.sleep(4.5)
            self.assertEqual(self.box.output().count("request snapshotNow /stuck"), 1)
        finally:
            subprocess.run(["chattr", "-i", path])

    def test_a_spool_that_is_a_link_is_refused(self):
        documents = os.path.join(self.box.dir, "Documents")
        os.makedirs(documents)
        with open(os.path.join(documents, "a.json"), "w") as f:
            f.write(request("disableHistory", "/documents")[1])
        with open(os.path.join(documents, "b.json"), "w") as f:
            f.write("the user's own file")
        os.rmdir(self.box.spool)
        os.symlink(documents, self.box.spool)
        app = self.box.start(wait=False)
        self.assertEqual(app.wait(10), 1)
        self.assertIn("not a real directory", self.box.output())
        self.assertEqual(sorted(os.listdir(documents)), ["a.json", "b.json"])


class OneConsumer(unittest.TestCase):
    def test_without_a_bus_one_instance_consumes_and_each_request_is_handled_once(self):
        box = Sandbox(bus=False)
        try:
            box.start()
            self.assertIn("running without a bus name", box.output())
            for _ in range(3):  # as the extension's wake-ups would start them
                self.assertEqual(box.start(wait=False).wait(10), 0)
            for i in range(1, 4):
                self.assertIn("already serves", box.output(i))
            targets = set()
            for i in range(300):
                rid, text = request("snapshotNow", "/t/%d" % i)
                box.drop(rid + ".json", text)
                targets.add("/t/%d" % i)
            self.assertTrue(eventually(lambda: box.output().count("request snapshotNow") >= 300,
                                       15))
            time.sleep(2.5)  # one more sweep: nothing is handled twice
            lines = [line for line in box.output().splitlines() if "request snapshotNow" in line]
            self.assertEqual(len(lines), 300)
            self.assertEqual({line.split()[3] for line in lines}, targets)
        finally:
            box.close()

    def test_a_bus_that_never_answers_does_not_hold_the_start(self):
        box = Sandbox(bus=False)
        wedged = os.path.join(box.dir, "wedged-bus")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(wedged)
        listener.listen(8)
        accepted = []
        threading.Thread(target=lambda: [accepted.append(listener.accept()) for _ in range(8)],
                         daemon=True).start()
        box.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + wedged
        try:
            box.start()  # within its bound, as the only consumer
            self.assertIn("running without a bus name", box.output())
            os.makedirs(box.spool, exist_ok=True)
            rid, text = request("restorePrevious", "/wedged")
            box.drop(rid + ".json", text)
            self.assertTrue(eventually(lambda: "request restorePrevious /wedged" in box.output()))
        finally:
            box.close()
            listener.close()

    def test_the_desktop_entrys_window_without_a_display_leaves_the_application_running(self):
        """`--window` (the desktop entry) where no display is: said, and the
        application runs as it would without it; a second launch with it, as
        the desktop entry's second launch is, ends at once."""
        box = Sandbox()
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            box.env.pop(name, None)
        try:
            box.start("--window")
            self.assertIn("cannot show the Tarvine window: no display", box.output())
            self.assertEqual(box.start("--window", wait=False).wait(10), 0)
            self.assertIn("cannot show the Tarvine window: no display", box.output(1))
            rid, text = request("snapshotNow", "/elsewhere")
            box.drop(rid + ".json", text)
            self.assertTrue(eventually(lambda: "request snapshotNow /elsewhere" in box.output()))
            self.assertIsNone(box.apps[0][0].poll())
        finally:
            box.close()

    def test_group_identifiers_follow_the_extensions_rule(self):
        app = os.path.join(BUILD, "Tarvine.app/Contents/MacOS/tarvine-app")
        for group in ["../x", "", ".", "a/b"]:
            result = subprocess.run([app, "--group", group], capture_output=True, text=True,
                                    timeout=10)
            self.assertEqual(result.returncode, 2, group)
            self.assertIn("not a group identifier", result.stderr)


class HistoryLoop(unittest.TestCase):
    """What a user lives: a watched folder's change reaches history on its own,
    Restore Previous brings the old content back and a second one undoes it;
    the command line sees the same history, and git can read it."""

    def setUp(self):
        self.box = Sandbox()
        self.docs = os.path.join(self.box.dir, "docs")
        os.makedirs(self.docs)
        write(os.path.join(self.docs, "a.txt"), "one\n")

    def tearDown(self):
        self.box.close()

    def tarvine(self, *args):
        run = subprocess.run([os.path.join(BUILD, "cli/tarvine"), *args], env=self.box.env,
                             capture_output=True, text=True)
        return run.returncode, run.stdout, run.stderr

    def test_changes_snapshot_on_their_own_and_restores_undo_each_other(self):
        self.box.start("--quiet-ms", "200", self.docs)
        out = self.box.output
        # What the folder held before anyone watched is recorded first.
        self.assertTrue(eventually(lambda: out().count("snapshot ") == 1), out())
        write(os.path.join(self.docs, "a.txt"), "two\n")
        self.assertTrue(eventually(lambda: out().count("snapshot ") == 2), out())
        target = os.path.join(self.docs, "a.txt")
        for expected in ("one\n", "two\n"):
            before = out().count("restored ")
            name, text = request("restorePrevious", target)
            self.box.drop(name + ".json", text)
            self.assertTrue(eventually(lambda: out().count("restored ") == before + 1), out())
            with open(target) as f:
                self.assertEqual(f.read(), expected)
        status, stdout, _ = self.tarvine("--json", "log", target)
        self.assertEqual(status, 0)
        reasons = [v["reason"] for v in json.loads(stdout)["versions"]]
        self.assertEqual(reasons, ["before-restore", "automatic", "automatic"])
        # A request outside every root, and an enable whose folder was replaced,
        # do nothing and say why.
        name, text = request("snapshotNow", "/nowhere")
        self.box.drop(name + ".json", text)
        self.assertTrue(eventually(lambda: "not in a watched folder: /nowhere" in out()), out())
        repository = os.path.join(self.box.container, "history")
        (git_dir,) = os.listdir(repository)
        fsck = subprocess.run(["git", "--git-dir", os.path.join(repository, git_dir), "fsck",
                               "--strict"], capture_output=True, text=True)
        self.assertEqual(fsck.returncode, 0, fsck.stderr)

    def test_a_moved_folder_is_followed_with_its_history(self):
        os.makedirs(os.path.join(self.docs, "sub"))
        write(os.path.join(self.docs, "sub", "b.txt"), "kept\n")
        self.box.start("--quiet-ms", "200", self.docs)
        out = self.box.output
        self.assertTrue(eventually(lambda: out().count("snapshot ") == 1), out())
        moved = os.path.join(self.box.dir, "elsewhere")
        os.rename(self.docs, moved)
        status, _, err = self.tarvine("move", self.docs, moved)
        self.assertEqual(status, 0, err)
        # The application follows the manifest: the folder's new place is
        # watched, and what it holds is no change.
        write(os.path.join(moved, "a.txt"), "two\n")
        self.assertTrue(eventually(lambda: "snapshot " in out() and " of " + moved in out(), 10),
                        out())
        self.assertEqual(out().count("snapshot "), 2, out())
        status, stdout, _ = self.tarvine("--json", "log", os.path.join(moved, "a.txt"))
        self.assertEqual([v["change"] for v in json.loads(stdout)["versions"]],
                         ["modified", "added"])
        status, stdout, _ = self.tarvine("--json", "log", os.path.join(moved, "sub", "b.txt"))
        self.assertEqual([v["change"] for v in json.loads(stdout)["versions"]], ["added"])
        self.assertEqual(len(os.listdir(os.path.join(self.box.container, "history"))), 1)

    def test_changes_deep_in_the_folder_and_new_folders_are_recorded(self):
        # Only the folders the watches saw change are read again: what they
        # hold must still land, with everything else as it was.
        for folder in ("sub/deep", "other"):
            os.makedirs(os.path.join(self.docs, folder))
        write(os.path.join(self.docs, "sub", "deep", "b.txt"), "b\n")
        write(os.path.join(self.docs, "other", "c.txt"), "c\n")
        self.box.start("--quiet-ms", "200", self.docs)
        out = self.box.output
        self.assertTrue(eventually(lambda: out().count("snapshot ") == 1), out())
        repository = os.path.join(self.box.container, "history")
        (git_dir,) = os.listdir(repository)

        def shown(path):
            return subprocess.run(["git", "--git-dir", os.path.join(repository, git_dir), "show",
                                   "HEAD:" + path], capture_output=True, text=True).stdout

        write(os.path.join(self.docs, "sub", "deep", "b.txt"), "b, changed\n")
        self.assertTrue(eventually(lambda: shown("sub/deep/b.txt") == "b, changed\n"), out())
        os.makedirs(os.path.join(self.docs, "new", "inner"))
        write(os.path.join(self.docs, "new", "inner", "d.txt"), "d\n")
        self.assertTrue(eventually(lambda: shown("new/inner/d.txt") == "d\n"), out())
        self.assertEqual(shown("other/c.txt"), "c\n")

    def test_a_root_whose_disk_is_gone_is_unavailable_and_watched_again_once_back(self):
        # An empty file system mounted over the folder, as a disk unmounted
        # leaves its mount point, and then unmounted: needs root.
        self.box.start("--quiet-ms", "200", self.docs)
        out = self.box.output

        def said(start):
            return len([line for line in out().splitlines()
                        if line.startswith("tarvine-app: " + start)])

        self.assertTrue(eventually(lambda: said("snapshot ") == 1), out())
        mount = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tarvine-e2e", self.docs],
                               capture_output=True, text=True)
        if mount.returncode != 0:
            reason = "cannot mount a tmpfs here: " + (mount.stderr.strip() or "needs root")
            if os.environ.get("TARVINE_REQUIRE_ALL"):
                self.fail(reason + "; this build requires every test to run")
            self.skipTest(reason)
        try:
            self.assertTrue(eventually(lambda: said("unavailable: ") == 1, 10),
                            out())
            status, stdout, _ = self.tarvine("--json", "roots")
            self.assertEqual([r["state"] for r in json.loads(stdout)["roots"]], ["unavailable"])
            status, _, _ = self.tarvine("snapshot", self.docs)
            self.assertEqual(status, 1)
        finally:
            subprocess.run(["umount", "-l", self.docs])
        self.assertTrue(eventually(lambda: said(self.docs + " is available again") == 1, 10),
                        out())
        # Watching resumed on its own: an edit is snapshotted.
        write(os.path.join(self.docs, "a.txt"), "two\n")
        self.assertTrue(eventually(lambda: said("snapshot ") == 2, 10), out())
        self.assertEqual(said("unavailable: "), 1, out())
        status, stdout, _ = self.tarvine("--json", "log", os.path.join(self.docs, "a.txt"))
        self.assertEqual([v["change"] for v in json.loads(stdout)["versions"]],
                         ["modified", "added"])
        status, stdout, _ = self.tarvine("--json", "roots")
        self.assertEqual([r["state"] for r in json.loads(stdout)["roots"]], ["automatic"])

    def test_the_command_line_keeps_history_without_the_application(self):
        self.assertEqual(self.tarvine("watch", "--manual", self.docs)[0], 0)
        write(os.path.join(self.docs, "a.txt"), "two\n")
        self.assertEqual(self.tarvine("snapshot", self.docs)[0], 0)
        status, stdout, _ = self.tarvine("--json", "log", os.path.join(self.docs, "a.txt"))
        first = json.loads(stdout)["versions"][-1]["id"]
        self.assertEqual(self.tarvine("cat", os.path.join(self.docs, "a.txt"), first)[1], "one\n")
        status, stdout, _ = self.tarvine("--json", "roots")
        self.assertEqual([{key: root[key] for key in ("path", "isPaused", "mode", "state",
                                                      "versions")}
                          for root in json.loads(stdout)["roots"]],
                         [{"path": self.docs, "isPaused": False, "mode": "manual",
                           "state": "manual", "versions": 2}])
        for args, code in [(("bogus",), 2), (("watch",), 2), (("mode", self.docs, "odd"), 1),
                           (("snapshot", "/"), 1), (("log", self.docs, "extra"), 2)]:
            self.assertEqual(self.tarvine(*args)[0], code, args)
        # Scripts read the kind of a failure, not its words.
        for args, kind in [(("snapshot", "/"), "notWatched"),
                           (("restore", os.path.join(self.docs, "a.txt"), "f" * 12), "notFound"),
                           (("watch", os.path.dirname(self.docs)), "refused"),
                           (("mode", self.docs, "odd"), "invalid")]:
            status, stdout, _ = self.tarvine("--json", *args)
            self.assertEqual((status, json.loads(stdout)["kind"]), (1, kind), args)

    def test_restoring_a_link_brings_the_link_back_not_what_it_points_to(self):
        link = os.path.join(self.docs, "current")
        os.symlink("a.txt", link)
        write(os.path.join(self.docs, "b.txt"), "bee\n")
        self.assertEqual(self.tarvine("watch", "--manual", self.docs)[0], 0)
        os.remove(link)
        os.symlink("b.txt", link)
        status, _, stderr = self.tarvine("restore", link)
        self.assertEqual(status, 0, stderr)
        self.assertEqual(os.readlink(link), "a.txt")
        for name, content in (("a.txt", "one\n"), ("b.txt", "bee\n")):
            with open(os.path.join(self.docs, name)) as f:
                self.assertEqual(f.read(), content, name)
        # A watched folder reached through a link of its own is still found.
        alias = os.path.join(self.box.dir, "alias")
        os.symlink(self.docs, alias)
        write(os.path.join(self.docs, "a.txt"), "changed\n")
        status, _, stderr = self.tarvine("restore", os.path.join(alias, "a.txt"))
        self.assertEqual(status, 0, stderr)
        with open(os.path.join(self.docs, "a.txt")) as f:
            self.assertEqual(f.read(), "one\n")


if __name__ == "__main__":
    tools_support.main(sys.modules[__name__])
