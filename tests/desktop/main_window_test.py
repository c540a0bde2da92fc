"""The Tarvine window, for real: tarvine-window under Xvfb with the
accessibility bus, started as its desktop entry starts it (tarvine-app
--window), driven and read through AT-SPI. Watched folders in every state
show with their versions and the space their histories take, as `tarvine
roots` counts it; a folder is added through GTK's file chooser; an ignore
pattern typed in a folder's settings is previewed, saved to the history's
rule file, and leaves its files out of the next snapshot; pausing in the
window reaches the command line, and what the command line changes reaches
the window; History opens the folder's history window; stopping to watch a
folder asks whether to keep its history. What the command line does beyond
that, the window does too, each checked against the command line's answers:
a disk mirror added and pushed (and sound to `git fsck --strict`), a history
checked, thinned now, a moved folder told its new place, kept histories
watched again or deleted, and the mirror brought back into a new folder.
The window says no GLib critical or warning on the way.

Usage: main_window_test.py --build BUILD [--screenshot PNG]"""

import argparse
import json
import os
import re
import subprocess

import desktop_session as ds

PROGRAM = "Tarvine.app/Contents/MacOS/tarvine-window"


def centre(node):
    """The middle of `node` on the screen. Asked relative to its window, which
    is at the screen's top left (no window manager places it): GTK answers a
    question in screen coordinates with a warning, which would hide those
    this test looks for."""
    if isinstance(node, ds.Row):
        return node.point
    extents = node.get_extents(ds.Atspi.CoordType.WINDOW)
    return extents.x + extents.width // 2, extents.y + extents.height // 2


class MainWindow(ds.Session):
    program = "tarvine-window"
    needs_root = False
    screenshot_size = (806, 726)

    def __init__(self, build):
        super().__init__(build, None, None)
        self.command_line = os.path.join(build, "cli", "tarvine")

    def missing(self):
        if not os.access(os.path.join(self.build, PROGRAM), os.X_OK):
            return "the Tarvine window is not built"
        return None if ds.shutil.which("Xvfb") else "needs Xvfb"

    def tarvine(self, *args):
        return subprocess.run([self.command_line, *args], env=self.env, check=True,
                              capture_output=True, text=True).stdout

    def roots(self):
        return {r["path"]: r for r in json.loads(self.tarvine("--json", "roots"))["roots"]}

    @staticmethod
    def rows(within, start=""):
        """The rows in sight under `within` whose names start with `start`."""
        return ds.shown_rows(within, start)

    def row(self, app, name):
        """The accessible name of the folder `name`'s row, or None."""
        try:
            found = self.rows(app, name + ", ")
            return found[0].get_name() if found else None
        except ds.GLib.Error:
            return None

    def pick(self, app, name):
        found = ds.eventually(lambda: self.rows(app, name + ", "), ds.ANSWERED)
        assert found, "no row for " + name
        self.click(*centre(found[0]))

    @staticmethod
    def button(within, name):
        found = ds.descendants(within, "push button", name)
        return found[0] if found else None

    def press_when_sensitive(self, within, name):
        found = ds.eventually(lambda: (lambda b: b and ds.sensitive(b) and b)(
            self.button(within, name)), ds.ANSWERED)
        assert found, "no sensitive button " + name
        self.press(found)

    @staticmethod
    def frames(app, start):
        # (GTK 4.8 gives its file chooser the role of a filler.)
        return [f for f in ds.descendants(app, ("frame", "dialog", "filler"), prune=("frame",))
                if (f.get_name() or "").startswith(start)]

    @staticmethod
    def saying(within, start):
        """The text of the first label that starts with `start`, or None."""
        found = [label.get_name() for label in ds.descendants(within, "label")
                 if (label.get_name() or "").startswith(start)]
        return found[0] if found else None

    @staticmethod
    def said(within, start):
        return any((label.get_name() or "").startswith(start)
                   for label in ds.descendants(within, "label"))


def store_of(session, folder):
    """The history's folder of the watched `folder`, as its config names it."""
    history = os.path.join(session.container, "history")
    for store in (os.path.join(history, d) for d in os.listdir(history)):
        with open(os.path.join(store, "config")) as f:
            if folder in f.read():
                return store
    raise AssertionError("no history of " + folder)


def prepare(session):
    """Folders in each state, made with the command line."""
    made = {}
    for name in ("photos", "notes", "old", "usb", "broken", "later"):
        folder = os.path.join(session.folders, name)
        os.makedirs(folder)
        with open(os.path.join(folder, "a.txt"), "w") as f:
            f.write(name + "\n")
        made[name] = folder
    with open(os.path.join(made["notes"], "scratch.tmp"), "w") as f:
        f.write("scratch\n")
    for name in ("photos", "old", "usb", "broken"):
        session.tarvine("watch", made[name])
    session.tarvine("watch", "--manual", made["notes"])
    with open(os.path.join(made["photos"], "b.txt"), "w") as f:
        f.write("two\n")
    session.tarvine("snapshot", made["photos"])
    session.tarvine("pause", made["old"])
    ds.shutil.rmtree(made["usb"])
    # A history damaged beyond what reading it repairs: its HEAD is garbage.
    with open(os.path.join(store_of(session, made["broken"]), "HEAD"), "w") as f:
        f.write("garbage\n")
    return made


def scenario(session, test, screenshot):
    made = prepare(session)

    def sizes():
        """Each history's size as the command line says it now."""
        said = {}
        for line in session.tarvine("roots").splitlines():
            size = re.search(r"([0-9.]+ \S+) on disk", line)
            if size:
                said[line.split(" (")[0]] = size.group(1)
        return said

    # Started as the desktop entry starts it: the application, with its window.
    session.spawn([os.path.join(session.build, "Tarvine.app/Contents/MacOS/tarvine-app"),
                   "--window"], "app.log")
    app = ds.application("tarvine-window", ds.STARTED)
    test.assertIsNotNone(app, "the window's application on the accessibility bus\n" +
                         session.app_output())
    test.assertIn("showing the Tarvine window", session.app_output())

    # Each folder with its state, versions and size; a problem in words where
    # something is wrong.
    expected = {"photos": ("Automatic", "2 versions"), "notes": ("Manual", "1 version"),
                "old": ("Paused", "1 version"), "usb": ("Unavailable", "1 version"),
                "broken": ("Damaged", "0 versions")}
    test.assertTrue(ds.eventually(lambda: all(session.row(app, n) for n in expected), ds.STARTED),
                    ds.names(lambda: session.rows(app)))
    for name, (state, versions) in expected.items():
        # (None for a moment while the list is refilled.)
        label = ds.eventually(lambda: session.row(app, name), ds.ANSWERED)
        when = "no snapshot yet" if name == "broken" else "last snapshot just now ("
        test.assertTrue(label.startswith("%s, %s, %s, %s" % (name, state, versions, when)),
                        label)
        # The same size as the command line's, once both have read it since the
        # application's first look at the folders (which may renew the
        # history's cache of what it saw); the window reads again at least
        # every 30 s.
        test.assertTrue(ds.eventually(lambda: ", %s, %s" % (sizes().get(made[name]), made[name]) in
                                      (session.row(app, name) or ""), ds.STARTED),
                        (session.row(app, name), sizes()))
    test.assertIn("not there now", ds.eventually(lambda: session.row(app, "usb"), ds.ANSWERED))
    test.assertIn("damaged", ds.eventually(lambda: session.row(app, "broken"), ds.ANSWERED))
    test.assertTrue(ds.eventually(lambda: session.row(app, "photos"), ds.ANSWERED).endswith(
        made["photos"]), "no problem said for photos")

    # The desktop entry again, and `tarvine` without a command: the same window.
    for again in ([os.path.join(session.build, "Tarvine.app/Contents/MacOS/tarvine-app"),
                   "--window"], [session.command_line]):
        test.assertEqual(subprocess.run(again, env=session.env, timeout=ds.STARTED,
                                        capture_output=True).returncode, 0, again)
    test.assertEqual(len(session.frames(app, "Tarvine")), 1)
    test.assertEqual(len(ds.applications("tarvine-window")), 1)

    add_through_the_chooser(session, test, app, made["later"])
    ignore_pattern(session, test, app, made["notes"])
    disk = mirror_to_a_disk(session, test, app, made["photos"])

    # Pausing in the window reaches the command line.
    session.pick(app, "photos")
    session.press_when_sensitive(app, "Pause")
    test.assertTrue(ds.eventually(lambda: session.roots()[made["photos"]]["state"] == "paused",
                                  ds.ANSWERED))
    test.assertTrue(ds.eventually(lambda: (session.row(app, "photos") or "").startswith(
        "photos, Paused"), ds.ANSWERED), session.row(app, "photos"))
    test.assertTrue(ds.eventually(lambda: session.button(app, "Resume"), ds.ANSWERED))
    if screenshot:
        session.screenshot(screenshot, *session.screenshot_size)
    # And what the command line does reaches the window, without a restart.
    session.tarvine("resume", made["photos"])
    test.assertTrue(ds.eventually(lambda: (session.row(app, "photos") or "").startswith(
        "photos, Automatic, 2 versions"), ds.ANSWERED), session.row(app, "photos"))
    with open(os.path.join(made["photos"], "c.txt"), "w") as f:
        f.write("three\n")
    session.tarvine("snapshot", made["photos"])
    test.assertTrue(ds.eventually(lambda: (session.row(app, "photos") or "").startswith(
        "photos, Automatic, 3 versions"), ds.ANSWERED), session.row(app, "photos"))
    check(session, test, app, made)
    thin_now(session, test, app, made["photos"])
    moved(session, test, app, made["usb"])

    # The notifications setting is the command line's: each follows the other.
    def notifications_box():
        found = ds.descendants(app, "check box", "Notifications")
        return found[0] if found else None
    test.assertTrue(ds.eventually(lambda: (lambda b: b and ds.checked(b))(notifications_box()),
                                  ds.ANSWERED), "notifications shown on")
    session.tarvine("notifications", "off")
    test.assertTrue(ds.eventually(lambda: (lambda b: b and not ds.checked(b))(notifications_box()),
                                  ds.ANSWERED), "notifications turned off elsewhere")
    session.click(*centre(notifications_box()))
    test.assertTrue(ds.eventually(lambda: json.loads(session.tarvine(
        "--json", "notifications"))["notifications"], ds.ANSWERED), "turned on in the window")

    # History: the folder's history window.
    session.pick(app, "photos")
    session.press_when_sensitive(app, "History")
    history = ds.application("tarvine-history", ds.STARTED)
    test.assertIsNotNone(history, "the history window")
    shown = ds.eventually(lambda: [f for f in ds.descendants(history, "frame")
                                   if (f.get_name() or "").startswith("photos ")], ds.ANSWERED)
    test.assertTrue(shown, "the history window of photos")
    # Closed again: it lies over this window.
    session.press_when_sensitive(shown[0], "Close")
    test.assertTrue(ds.eventually(lambda: not ds.applications("tarvine-history"), ds.ANSWERED))

    # Stop watching asks first; its history is kept when asked to.
    old_versions = json.loads(session.tarvine("--json", "log", made["old"]))["versions"]
    session.pick(app, "old")
    session.press_when_sensitive(app, "Stop Watching\u2026")
    asked = ds.eventually(lambda: session.frames(app, "Stop Watching"), ds.ANSWERED)
    test.assertTrue(asked, "the question")
    session.press_when_sensitive(asked[0], "Keep History")
    test.assertTrue(ds.eventually(lambda: session.row(app, "old") is None and
                                  session.row(app, "photos"), ds.ANSWERED))
    test.assertNotIn(made["old"], session.roots())
    test.assertIn(made["old"], session.tarvine("roots", "--orphans"))
    kept_histories(session, test, app, made, old_versions)
    bring_back(session, test, app, disk)

    # Closed as a user closes it: the window's program ends.
    session.press_when_sensitive(session.frames(app, "Tarvine")[0], "Close")
    test.assertTrue(ds.eventually(lambda: not ds.applications("tarvine-window"), ds.ANSWERED))

    # Nothing GLib or GTK counts as a programming error or a warning was said,
    # closing included.
    said = [line for line in session.app_output().splitlines()
            if "tarvine-window" in line and ("CRITICAL" in line or "WARNING" in line)]
    test.assertEqual(said, [])


def choose(session, test, app, title, folder, accept):
    """GTK's own chooser (no portal on this bus) titled `title`: the folder's
    path typed into its location, then `accept`."""
    chooser = ds.eventually(lambda: session.frames(app, title), ds.ANSWERED)
    test.assertTrue(chooser, "the file chooser " + title)
    chooser = chooser[0]
    # The keys go to the window under the pointer: the chooser's empty list.
    session.click(*centre(chooser))
    session.key("ctrl+l")
    # (GTK 4.8 names it after its type; the chooser's search box is a text too.)
    location = ds.eventually(lambda: ds.descendants(chooser, "text", "GtkFileChooserEntry"),
                             ds.ANSWERED)
    test.assertTrue(location, "the chooser's location")
    location[0].get_editable_text_iface().set_text_contents(folder)
    # GTK 4.8 names its dialogs' buttons with their mnemonics too: "_Watch Watch".
    found = [b for b in ds.descendants(chooser, "push button")
             if (b.get_name() or "").split(" ")[-1] == accept]
    test.assertTrue(found, "the chooser's " + accept)
    session.press(found[0])


def moved(session, test, app, gone):
    """A folder that is not there any more is told its new place, as `tarvine
    move` does: the new one is watched with the old one's history."""
    name = os.path.basename(gone)
    now = gone + "-moved"
    os.makedirs(now)
    with open(os.path.join(now, "a.txt"), "w") as f:
        f.write(name + "\n")
    versions = session.roots()[gone]["versions"]
    session.pick(app, name)
    session.press_when_sensitive(app, "Moved\u2026")
    choose(session, test, app, "Where Is %s Now?" % name, now, "Choose")
    test.assertTrue(ds.eventually(lambda: (session.row(app, name + "-moved") or "").startswith(
        "%s-moved, Automatic, %d version" % (name, versions)), ds.ANSWERED),
        ds.names(lambda: session.rows(app)))
    roots = session.roots()
    test.assertNotIn(gone, roots)
    test.assertEqual((roots[now]["state"], roots[now]["versions"]), ("automatic", versions))


def add_through_the_chooser(session, test, app, folder):
    """Add Folder…: GTK's own chooser here (no portal on this bus), the
    folder's path typed into its location, Watch."""
    session.press_when_sensitive(app, "Add Folder\u2026")
    choose(session, test, app, "Add a Folder to Watch", folder, "Watch")
    test.assertTrue(ds.eventually(lambda: session.said(app, "Watching " + folder), ds.ANSWERED),
                    ds.names(lambda: ds.descendants(app, "label")))
    test.assertTrue(ds.eventually(lambda: (session.row(app, "later") or "").startswith(
        "later, Automatic, 1 version"), ds.ANSWERED), ds.names(lambda: session.rows(app)))
    test.assertIn(folder, session.roots())


def ignore_pattern(session, test, app, folder):
    """A pattern typed in the settings: its preview, the rule file, and the
    next snapshot without what it matches."""
    session.pick(app, "notes")
    session.press_when_sensitive(app, "Settings\u2026")
    settings = ds.eventually(lambda: session.frames(app, "notes \u2013 Settings"), ds.ANSWERED)
    test.assertTrue(settings, "the folder's settings")
    settings = settings[0]
    test.assertTrue(ds.eventually(lambda: session.said(settings, "0 of 2 files left out."),
                                  ds.ANSWERED))
    entry = [e for e in ds.descendants(settings, ("entry", "text")) if e.get_name() == "New pattern"]
    test.assertTrue(entry, "the new pattern's entry, by its name")
    entry[0].get_editable_text_iface().set_text_contents("*.tmp")
    test.assertTrue(ds.eventually(lambda: session.said(
        settings, "With the new pattern: 1 of 2 files left out."), ds.ANSWERED))
    session.press_when_sensitive(settings, "Add")
    test.assertTrue(ds.eventually(lambda: session.rows(settings, "*.tmp"), ds.ANSWERED))
    rules = session.tarvine("ignore-file", folder).strip()
    test.assertTrue(ds.eventually(lambda: "*.tmp\n" in open(rules).read(), ds.ANSWERED))
    for name in ("new.tmp", "new.txt"):
        with open(os.path.join(folder, name), "w") as f:
            f.write("new\n")
    session.press_when_sensitive(settings, "Close")
    test.assertTrue(ds.eventually(lambda: not session.frames(app, "notes \u2013 Settings"),
                                  ds.ANSWERED))
    # Snapshot Now, in the window: the next snapshot leaves them out.
    session.pick(app, "notes")
    session.press_when_sensitive(app, "Snapshot Now")
    test.assertTrue(ds.eventually(lambda: (session.row(app, "notes") or "").startswith(
        "notes, Manual, 2 versions"), ds.ANSWERED), session.row(app, "notes"))
    listed = json.loads(session.tarvine("--json", "log", os.path.join(folder, "new.txt")))
    test.assertEqual(len(listed["versions"]), 1, listed)
    left_out = subprocess.run([session.command_line, "--json", "log",
                               os.path.join(folder, "new.tmp")], env=session.env,
                              capture_output=True, text=True)
    test.assertEqual(json.loads(left_out.stdout).get("versions", []), [], left_out.stdout)


def setting_up(session, test, app, name):
    """The settings of the folder `name`, opened from the window."""
    session.pick(app, name)
    session.press_when_sensitive(app, "Settings\u2026")
    found = ds.eventually(lambda: session.frames(app, name + " \u2013 Settings"), ds.ANSWERED)
    test.assertTrue(found, "the settings of " + name)
    return found[0]


def close_settings(session, test, app, settings, name):
    session.press_when_sensitive(settings, "Close")
    test.assertTrue(ds.eventually(lambda: not session.frames(app, name + " \u2013 Settings"),
                                  ds.ANSWERED))


def mirror_to_a_disk(session, test, app, folder):
    """A mirror on a "disk" (a folder of the test's, the bare repository made
    by adding it), pushed from the window: its status in the window and the
    command line's agree, and git finds the mirror sound."""
    name = os.path.basename(folder)
    disk = os.path.join(session.dir, "disk")
    os.makedirs(disk)
    bare = os.path.join(disk, name + ".git")
    settings = setting_up(session, test, app, name)
    address = [e for e in ds.descendants(settings, ("entry", "text"))
               if e.get_name() == "Mirror address"]
    test.assertTrue(address, "the mirror's address, by its name")
    address[0].get_editable_text_iface().set_text_contents(bare)
    session.press_when_sensitive(settings, "Add Mirror")
    test.assertTrue(ds.eventually(lambda: session.rows(settings, bare + ", "), ds.ANSWERED),
                    ds.names(lambda: ds.descendants(settings, "label")))
    session.click(*centre(session.rows(settings, bare + ", ")[0]))
    session.press_when_sensitive(settings, "Push Now")
    test.assertTrue(ds.eventually(lambda: [r for r in session.rows(settings, bare + ", last pushed")
                                           if "up to date" in r.get_name()], ds.ANSWERED),
                    ds.names(lambda: session.rows(settings)))
    listed = json.loads(session.tarvine("--json", "mirror", "list", folder))["mirrors"]
    test.assertEqual([(m["url"], m["unpushed"], m["failures"]) for m in listed], [(bare, 0, 0)])
    tip = json.loads(session.tarvine("--json", "log", folder))["versions"][0]["id"]
    test.assertEqual(listed[0]["pushed"], tip)
    fsck = subprocess.run(["git", "--git-dir", bare, "fsck", "--strict"], capture_output=True,
                          text=True)
    test.assertEqual(fsck.returncode, 0, fsck.stderr)
    # Check Mirror reads it as `check --mirror` does.
    session.press_when_sensitive(settings, "Check Mirror")
    checked = json.loads(session.tarvine("--json", "check", "--mirror", folder))["mirrors"]
    test.assertEqual([(m["url"], m["intact"]) for m in checked], [(bare, True)])
    test.assertTrue(ds.eventually(lambda: session.said(
        settings, "The mirror %s is intact: %d versions and %d stored objects" %
        (bare, checked[0]["snapshots"], checked[0]["objects"])), ds.ANSWERED),
        ds.names(lambda: ds.descendants(settings, "label")))
    close_settings(session, test, app, settings, name)
    return bare


def check(session, test, app, made):
    """Check reads the history as `tarvine check` does: the verdict in words,
    and for a damaged one what the command line found and what to do."""
    for name, intact in (("photos", True), ("broken", False)):
        session.pick(app, name)
        session.press_when_sensitive(app, "Check")
        verdict = ds.eventually(lambda: session.saying(app, "The history of %s " % name),
                                ds.ANSWERED)
        test.assertTrue(verdict, ds.names(lambda: ds.descendants(app, "label")))
        checked = subprocess.run([session.command_line, "--json", "check", made[name]],
                                 env=session.env, capture_output=True, text=True)
        root = json.loads(checked.stdout)["roots"][0]
        test.assertEqual(root["intact"], intact, checked.stdout)
        if intact:
            test.assertIn("is intact: %d versions" % root["snapshots"], verdict)
        else:
            test.assertIn(root["problems"][0], verdict)
            test.assertIn("delete its history", verdict)


def thin_now(session, test, app, folder):
    """Thin Now says what would go, as `thin --dry-run` does, and thins once
    the user agrees."""
    name = os.path.basename(folder)
    versions = session.roots()[folder]["versions"]
    session.tarvine("keep", folder, "1w:forever")
    going = len(json.loads(session.tarvine("--json", "thin", "--dry-run", folder))["dropped"])
    test.assertGreater(going, 0)
    settings = setting_up(session, test, app, name)
    session.press_when_sensitive(settings, "Thin Now\u2026")
    asked = ds.eventually(lambda: session.frames(app, "Thin Now"), ds.ANSWERED)
    test.assertTrue(asked, "the question")
    test.assertTrue(session.said(asked[0], "Thinning %s now removes %d of its %d versions" %
                                 (name, going, versions)),
                    ds.names(lambda: ds.descendants(asked[0], "label")))
    session.press_when_sensitive(asked[0], "Thin")
    test.assertTrue(ds.eventually(lambda: session.said(settings, "Thinned %s: removed %d of %d" %
                                                       (name, going, versions)), ds.ANSWERED),
                    ds.names(lambda: ds.descendants(settings, "label")))
    test.assertEqual(session.roots()[folder]["versions"], versions - going)
    # Pack Now, as `tarvine pack`: the whole history in one pack.
    session.press_when_sensitive(settings, "Pack Now")
    test.assertTrue(ds.eventually(lambda: session.said(
        settings, "Packed the history of %s into one pack." % name), ds.ANSWERED),
        ds.names(lambda: ds.descendants(settings, "label")))
    packs = os.path.join(store_of(session, folder), "objects", "pack")
    test.assertEqual(len([p for p in os.listdir(packs) if p.endswith(".pack")]), 1)
    close_settings(session, test, app, settings, name)
    test.assertTrue(ds.eventually(lambda: (session.row(app, name) or "").startswith(
        "%s, Automatic, %d version" % (name, versions - going)), ds.ANSWERED),
        session.row(app, name))


def orphans(session):
    return [o["folder"] for o in json.loads(session.tarvine("--json", "roots",
                                                            "--orphans"))["orphans"]]


def kept_histories(session, test, app, made, versions):
    """The histories kept of folders no longer watched: one watched again
    goes on with its versions (as `watch`), one deleted after asking (as
    `forget`)."""
    session.tarvine("unwatch", made["later"])
    session.press_when_sensitive(app, "Kept Histories\u2026")
    kept = ds.eventually(lambda: session.frames(app, "Kept Histories"), ds.ANSWERED)
    test.assertTrue(kept, "the kept histories")
    kept = kept[0]
    for name in ("old", "later"):
        test.assertTrue(ds.eventually(lambda: session.rows(kept, made[name] + ", "), ds.ANSWERED),
                        ds.names(lambda: session.rows(kept)))
    session.click(*centre(session.rows(kept, made["old"] + ", ")[0]))
    session.press_when_sensitive(kept, "Watch Again")
    test.assertTrue(ds.eventually(lambda: made["old"] in session.roots(), ds.ANSWERED))
    # Its history goes on: the versions it had, and the snapshot watching takes
    # when something changed (nothing did).
    test.assertEqual(json.loads(session.tarvine("--json", "log", made["old"]))["versions"],
                     versions)
    test.assertTrue(ds.eventually(lambda: not session.rows(kept, made["old"] + ", "),
                                  ds.ANSWERED))
    session.click(*centre(session.rows(kept, made["later"] + ", ")[0]))
    session.press_when_sensitive(kept, "Delete History\u2026")
    asked = ds.eventually(lambda: session.frames(app, "Delete History"), ds.ANSWERED)
    test.assertTrue(asked, "the question")
    test.assertIn(made["later"], orphans(session))
    session.press_when_sensitive(asked[0], "Delete")
    test.assertTrue(ds.eventually(lambda: made["later"] not in orphans(session), ds.ANSWERED))
    test.assertTrue(ds.eventually(lambda: session.said(kept, "Deleted the history of " +
                                                       made["later"]), ds.ANSWERED))
    session.press_when_sensitive(kept, "Close")
    test.assertTrue(ds.eventually(lambda: not session.frames(app, "Kept Histories"), ds.ANSWERED))


def bring_back(session, test, app, bare):
    """A folder brought back from the disk mirror into a new folder, as
    `adopt` does: watched, and its files those of the version brought back."""
    into = os.path.join(session.folders, "back")
    session.press_when_sensitive(app, "Bring Back from a Mirror\u2026")
    dialog = ds.eventually(lambda: session.frames(app, "Bring Back from a Mirror"), ds.ANSWERED)
    test.assertTrue(dialog, "the dialog")
    dialog = dialog[0]
    for name, text in (("Mirror address", bare), ("Folder to bring it back into", into)):
        found = [e for e in ds.descendants(dialog, ("entry", "text")) if e.get_name() == name]
        test.assertTrue(found, name)
        found[0].get_editable_text_iface().set_text_contents(text)
    session.press_when_sensitive(dialog, "Bring Back")
    test.assertTrue(ds.eventually(lambda: session.said(dialog, into + " is back from " + bare),
                                  ds.STARTED), ds.names(lambda: ds.descendants(dialog, "label")))
    test.assertTrue(ds.eventually(lambda: (session.row(app, "back") or "").startswith(
        "back, Automatic, "), ds.ANSWERED), ds.names(lambda: session.rows(app)))
    version = json.loads(session.tarvine("--json", "log", into))["versions"][0]["id"]

    def git(*args):
        return subprocess.run(["git", "--git-dir", bare, *args], check=True,
                              capture_output=True).stdout
    names = git("ls-tree", "-r", "--name-only", version).decode().split()
    test.assertEqual(sorted(names), sorted(os.listdir(into)))
    for name in names:
        with open(os.path.join(into, name), "rb") as f:
            test.assertEqual(f.read(), git("show", "%s:%s" % (version, name)), name)
    session.press_when_sensitive(dialog, "Close")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--screenshot")
    args = parser.parse_args()
    session = MainWindow(os.path.abspath(args.build))
    ds.run_once(session, lambda test: scenario(session, test, args.screenshot), "folders_added_paused_and_left_out", args.screenshot)


if __name__ == "__main__":
    main()
