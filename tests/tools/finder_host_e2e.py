"""End-to-end tests: finder-host drives the extension against a sandbox with
the stand-in main application on a private session bus."""

import base64
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tools_support  # noqa: E402
from tools_support import eventually  # noqa: E402

BUILD = None
MINTED = "Tarvine: extension minted a bookmark for the clicked folder"
GROUP = "QF7T2K9M4R.com.quillfen.tarvine"



class PrivateBus:
    """A session bus of our own, so that nothing outside the test is touched."""

    def __enter__(self):
        out = subprocess.run(
            ["dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"],
            check=True, capture_output=True, text=True).stdout.split("\n")
        self.address, self.pid = out[0].strip(), int(out[1])
        return self

    def __exit__(self, *exc):
        os.kill(self.pid, signal.SIGTERM)


class Sandbox:
    def __init__(self, bus):
        self.dir = tempfile.mkdtemp(prefix="tarvine-e2e-")
        self.home = os.path.realpath(os.path.join(self.dir, "home"))
        for folder in ["outside", "auto/sub", "manual/sub", "paused/sub"]:
            os.makedirs(os.path.join(self.home, folder))
        for folder in ["outside", "auto", "manual", "paused"]:
            open(os.path.join(self.home, folder, "a.txt"), "w").close()
        self.env = dict(os.environ, XDG_DATA_HOME=os.path.join(self.dir, "data"),
                        HOME=self.home, DBUS_SESSION_BUS_ADDRESS=bus.address, LANGUAGE="en")
        self.container = os.path.join(self.dir, "data", GROUP)
        self.spool = os.path.join(self.container, "requests")
        self.app = None

    def path(self, relative):
        return os.path.join(self.home, relative)

    def start_app(self):
        self.app_log = open(os.path.join(self.dir, "app.log"), "w+")
        self.app = subprocess.Popen(
            [os.path.join(BUILD, "Tarvine.app/Contents/MacOS/tarvine-app"), self.path("auto"),
             "--manual", self.path("manual"), "--paused", "--manual", self.path("paused")],
            env=self.env, stdout=self.app_log, stderr=subprocess.STDOUT)
        assert eventually(lambda: "watching" in self.app_output()), self.app_output()

    def app_output(self):
        self.app_log.flush()
        with open(self.app_log.name) as f:
            return f.read()

    def close(self):
        if self.app:
            self.app.terminate()
            self.app.wait(5)
            self.app_log.close()
        shutil.rmtree(self.dir)


class Host:
    """finder-host in --json mode, one command and one answer at a time."""

    def __init__(self, sandbox, bundle=None, cwd=None):
        bundle = bundle or os.path.join(
            BUILD, "Tarvine.app/Contents/PlugIns/TarvineFinderSync.appex")
        self.stderr = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen(
            [os.path.join(BUILD, "tools/finder-host"), "--json", bundle], env=sandbox.env,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr, text=True,
            cwd=cwd)

    def __call__(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def close(self):
        self.process.stdin.close()
        status = self.process.wait(10)
        self.process.stdout.close()
        self.stderr.seek(0)
        log = self.stderr.read()
        self.stderr.close()
        return status, log


def describe(answer):
    items = answer["menu"]["items"]
    if not items:
        return "empty"
    top = items[0]
    names = ["enable", "disable", None, "snapshot", "restore", None, "show"]
    words = [top["action"]]
    for name, entry in zip(names, top["submenu"]["items"]):
        if name is None:
            assert entry == {"separator": True}
            continue
        word = name + ("+" if entry["enabled"] else "-")
        if name == "enable":
            word += "(%s)" % entry["state"]
        words.append(word)
    return " ".join(words)


class WithRunningApp(unittest.TestCase):
    # Each test has an application of its own: commands change its roots.
    def setUp(self):
        self.bus = PrivateBus().__enter__()
        self.box = Sandbox(self.bus)
        self.box.start_app()

    def tearDown(self):
        self.box.close()
        self.bus.__exit__()

    def test_every_row_of_the_menu_table(self):
        host = Host(self.box)
        rows = [
            ("outside/", "enableHistory: enable+(off) disable- snapshot- restore- show-"),
            ("outside/a.txt", "empty"),
            ("manual/", "showHistory: enable-(on) disable+ snapshot+ restore- show+"),
            ("auto/", "showHistory: enable-(on) disable+ snapshot- restore- show+"),
            ("paused/", "showHistory: enable+(off) disable- snapshot- restore- show+"),
            ("auto/sub/", "showHistory: enable-(on) disable- snapshot- restore- show+"),
            ("paused/sub/", "showHistory: enable-(off) disable- snapshot- restore- show+"),
            ("auto/a.txt", "showHistory: enable-(on) disable- snapshot- restore+ show+"),
            ("paused/a.txt", "showHistory: enable-(off) disable- snapshot- restore+ show+"),
        ]
        for relative, expected in rows:
            self.assertEqual(host("select " + self.box.path(relative)), {"ok": True})
            self.assertEqual(describe(host("menu items")), expected, relative)
        top = host("menu 0")["menu"]["items"][0]
        self.assertEqual(top["title"], "History")
        self.assertEqual(top["image"], {"name": "BrandGlyph", "width": 17, "height": 16,
                                        "template": False})
        self.assertEqual(top["submenu"]["items"][6]["title"], "Show History\u2026")
        self.assertFalse(top["submenu"]["autoenablesItems"])
        # The shown folder, through the targeted URL; other kinds get nothing.
        host("select")
        host("target " + self.box.path("manual/"))
        self.assertEqual(describe(host("menu container")),
                         "showHistory: enable-(on) disable+ snapshot+ restore- show+")
        for kind in ["sidebar", "toolbar", "18446744073709551615"]:
            self.assertEqual(host("menu " + kind)["menu"]["items"], [])
        self.assertEqual(host("toolbar"), {"toolbarItemName": "Tarvine",
                                           "toolbarItemToolTip": "Tarvine"})
        self.assertEqual(len(host("scope")["scope"]), 1)
        self.assertEqual(host.close()[0], 0)

    def test_commands_reach_the_app_with_their_wake_ups(self):
        before = self.box.app_output().count("activated")
        host = Host(self.box)
        host("select " + self.box.path("outside/"))
        host("menu 0")
        self.assertEqual(host("pick 0"), {"sent": "enableHistory:"})
        host("select " + self.box.path("manual/"))
        host("menu 0")
        self.assertEqual(host("pick 0.1"), {"sent": "disableHistory:"})
        self.assertEqual(host("pick 0.3"), {"sent": "snapshotNow:"})
        self.assertEqual(host("pick 0.4"), {"sent": None})  # disabled: nothing is sent
        self.assertEqual(host("pick 0.6"), {"sent": "showHistory:"})
        host("select " + self.box.path("auto/a.txt"))
        host("menu 0")
        self.assertEqual(host("pick 0.4"), {"sent": "restorePrevious:"})
        status, log = host.close()
        self.assertEqual(status, 0)
        self.assertEqual(log.count(MINTED), 1)
        expected = [
            "request enableHistory %s bookmark=yes (resolves)" % self.box.path("outside"),
            "request disableHistory %s bookmark=no" % self.box.path("manual"),
            "request snapshotNow %s bookmark=no" % self.box.path("manual"),
            "request showHistory %s bookmark=no" % self.box.path("manual"),
            "request restorePrevious %s bookmark=no" % self.box.path("auto/a.txt"),
        ]
        # Each is carried out on the history, in order.
        expected += [
            "watching %s" % self.box.path("outside"),
            "paused %s" % self.box.path("manual"),
            "snapshot ",
        ]
        # However many versions the manual root holds by then.
        listed = re.compile(r"\b\d+ versions? of %s\n" % re.escape(self.box.path("manual")))
        # Restore Previous finds nothing to go back to: the root's first
        # snapshot may or may not have been taken yet.
        nothing = ["no earlier version of %s" % self.box.path("auto/a.txt"),
                   "no history of %s yet" % self.box.path("auto")]
        self.assertTrue(eventually(lambda: all(line in self.box.app_output() for line in expected)
                                   and listed.search(self.box.app_output())
                                   and any(line in self.box.app_output() for line in nothing)),
                        self.box.app_output())
        self.assertTrue(eventually(
            lambda: self.box.app_output().count("activated") - before == 3), self.box.app_output())
        self.assertEqual(os.listdir(self.box.spool), [])

    def test_bad_commands_are_reported_and_the_run_goes_on(self):
        host = Host(self.box)
        for command in ["bogus", "select relative/path", "menu -1", "menu nine",
                        "send showHistory", "pick 0", "target /a /b", "scope extra", "'",
                        # a NUL would otherwise cut the line and run "target /tmp/a"
                        "target /tmp/a\0/../../etc/"]:
            self.assertIn("error", host(command), command)
        self.assertIn("scope", host("scope\r"))  # CRLF input works
        self.assertEqual(host("select '%s'" % self.box.path("outside/")), {"ok": True})
        self.assertEqual(host("menu 0")["menu"]["items"][0]["action"], "enableHistory:")
        self.assertIn("error", host("pick 0.7"))
        self.assertIn("error", host("pick 1"))
        self.assertEqual(host.close()[0], 1)


class WithoutARunningApp(unittest.TestCase):
    def setUp(self):
        self.bus = PrivateBus().__enter__()
        self.box = Sandbox(self.bus)
        os.makedirs(self.box.container)

    def tearDown(self):
        self.box.close()
        self.bus.__exit__()

    def test_request_files_for_all_five_commands(self):
        # An extension bundle outside any application: the wake-up finds nothing to open.
        loose = os.path.join(self.box.dir, "x/y/z/TarvineFinderSync.appex")
        shutil.copytree(os.path.join(BUILD, "Tarvine.app/Contents/PlugIns/TarvineFinderSync.appex"),
                        loose)
        host = Host(self.box, loose)
        self.assertEqual(host("menu 0")["menu"]["items"], [])  # the app is not running
        host("select " + self.box.path("auto/"))
        for selector in ["showHistory:", "enableHistory:", "disableHistory:", "snapshotNow:",
                         "restorePrevious:"]:
            self.assertEqual(host("send " + selector), {"sent": selector})
        status, log = host.close()
        self.assertEqual(status, 0)
        self.assertEqual(log.count(MINTED), 1)
        names = os.listdir(self.box.spool)
        kinds = {}
        for name in names:
            self.assertRegex(name, r"^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                                   r"[0-9A-F]{12}\.json$")
            with open(os.path.join(self.box.spool, name)) as f:
                request = json.load(f)
            self.assertEqual(request["id"] + ".json", name)
            self.assertEqual(request["version"], 1)
            self.assertEqual(request["target"], self.box.path("auto"))
            self.assertRegex(request["createdAt"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
            kinds[request["kind"]] = request.get("bookmark")
        self.assertEqual(sorted(kinds), ["disableHistory", "enableHistory", "restorePrevious",
                                         "showHistory", "snapshotNow"])
        bookmark = base64.b64decode(kinds.pop("enableHistory"))
        self.assertTrue(bookmark.startswith(b"tarvine-bookmark 1\n"))
        self.assertEqual(set(kinds.values()), {None})

    def test_wake_up_starts_the_stopped_app(self):
        # A relative bundle path with "." and ".." still finds the application
        # three components up.
        host = Host(self.box, "Contents/PlugIns/../PlugIns/./TarvineFinderSync.appex",
                    cwd=os.path.join(BUILD, "Tarvine.app"))
        host("select " + self.box.path("auto/"))
        self.assertEqual(host("send showHistory:"), {"sent": "showHistory:"})
        # The stand-in starts detached, takes the request and owns its name.
        self.assertTrue(eventually(lambda: os.path.isdir(self.box.spool)
                                   and os.listdir(self.box.spool) == [], 10))
        # Running now, so a folder gets its menu (the stand-in published an empty manifest).
        self.assertTrue(eventually(lambda: host("menu 0")["menu"]["items"] != []))
        self.assertEqual(host.close()[0], 0)

    def test_missing_bundle_is_a_clear_error(self):
        result = subprocess.run([os.path.join(BUILD, "tools/finder-host"), "-e", "scope",
                                 os.path.join(self.box.dir, "Nothing.appex")],
                                env=self.box.env, capture_output=True, text=True)
        self.assertEqual(result.returncode, 2)
        self.assertIn("not a readable bundle", result.stderr)
        result = subprocess.run([os.path.join(BUILD, "tools/finder-host")], capture_output=True,
                                text=True)
        self.assertEqual(result.returncode, 2)
        self.assertIn("usage", result.stderr)

    def test_readable_mode_shows_a_tree(self):
        result = subprocess.run(
            [os.path.join(BUILD, "tools/finder-host"), "-e", "select " + self.box.path("auto/"),
             "-e", "menu 0", os.path.join(BUILD, "Tarvine.app/Contents/PlugIns/TarvineFinderSync.appex")],
            env=self.box.env, capture_output=True, text=True)
        self.assertEqual(result.returncode, 0)
        self.assertIn("(empty menu)", result.stdout)


if __name__ == "__main__":
    tools_support.main(sys.modules[__name__])
