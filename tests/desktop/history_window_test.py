"""The history window, for real: tarvine-history under Xvfb with the
accessibility bus, driven and read through AT-SPI. A watched file with three
snapshots and an edit since: the window lists the three versions in order;
Open hands a read-only copy of the oldest to the user's default application
(a recorder here, so nothing is opened); Restore brings the oldest back and
keeps the edit as a new "before a restore" version, which Undo puts back; a
snapshot taken meanwhile appears on its own; a second Show History for the same file opens no second window.
A folder's history: Show Files on an older version lists its files, the
filter box narrows them by name, and Restore there brings one file back; Save
a Copy writes the older version elsewhere through GTK's file chooser; Deleted
Files finds a file deleted since, and restores it. Compare shows a text's
version against the file now as a diff (the README's picture), then against a
later version picked in its list; Open of a kind
of file no application opens, or with one that fails at once, says so and
offers Save a Copy. Keep Always pins a version as `tarvine pin` does, thinning
keeps it, and the window follows an unpin and a policy set on the command
line; Snapshot Now there takes the folder as it is. Every window is closed as a user closes it, and the
window's output must hold no GLib or GTK critical or warning.
The lists are GTK list views, which make rows only for what is in sight: a
row is found by its accessible name and placed on screen by its extents.

Usage: history_window_test.py --build BUILD [--screenshot PNG] [--compare-screenshot PNG]"""

import argparse
import json
import os
import re
import stat
import subprocess

import desktop_session as ds

WHAT = ("Manual snapshot", "History enabled", "Before a restore", "Automatic snapshot")


def centre(node):
    """Where to click `node`. Asked in window coordinates: GTK 4 has no
    others under X11 (the window sits at the screen's top left, with no window
    manager), and warns each time screen coordinates are asked for."""
    if isinstance(node, ds.Row):
        return node.point
    extents = node.get_extents(ds.Atspi.CoordType.WINDOW)
    return extents.x + extents.width // 2, extents.y + extents.height // 2


class HistoryWindow(ds.Session):
    program = "tarvine-history"
    needs_root = False

    def __init__(self, build):
        super().__init__(build, None, None)
        self.command_line = os.path.join(build, "cli", "tarvine")
        self.opened_log = os.path.join(self.dir, "opened.log")

    def missing(self):
        if not os.access(os.path.join(self.build, "Tarvine.app/Contents/MacOS/tarvine-history"),
                         os.X_OK):
            return "the history window is not built"
        return None if ds.shutil.which("Xvfb") else "needs Xvfb"

    def record_opened_files(self):
        """The default application for text: a script that writes down what it
        was asked to open."""
        opener = os.path.join(self.dir, "opener.sh")
        with open(opener, "w") as f:
            # What it opens, and the GDK setting the window opens its display
            # with, which it must not hand on.
            f.write('#!/bin/sh\nprintf "%%s\\n%%s\\n" "$1" "${GDK_DEBUG-none}" >> "%s"\n'
                    % self.opened_log)
        os.chmod(opener, 0o755)
        applications = os.path.join(self.env["XDG_DATA_HOME"], "applications")
        os.makedirs(applications)
        with open(os.path.join(applications, "tarvine-test-opener.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Recorder\nExec=%s %%f\n"
                    "MimeType=text/plain;\n" % opener)
        os.makedirs(self.env["XDG_CONFIG_HOME"], exist_ok=True)
        # And for tables, one that fails at once without showing anything.
        failing = os.path.join(self.dir, "failing.sh")
        with open(failing, "w") as f:
            f.write("#!/bin/sh\nexit 3\n")
        os.chmod(failing, 0o755)
        with open(os.path.join(applications, "tarvine-test-failing.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Failing\nExec=%s %%f\n"
                    "MimeType=text/csv;\n" % failing)
        with open(os.path.join(self.env["XDG_CONFIG_HOME"], "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\ntext/plain=tarvine-test-opener.desktop\n"
                    "text/csv=tarvine-test-failing.desktop\n")

    def tarvine(self, *args):
        subprocess.run([self.command_line, *args], env=self.env, check=True, stdout=subprocess.DEVNULL)

    def tarvine_json(self, *args):
        """What the command line answers, read as its scripts read it."""
        return json.loads(subprocess.run([self.command_line, "--json", *args], env=self.env,
                                         check=True, capture_output=True, text=True).stdout)

    @staticmethod
    def shown_rows(within, start=""):
        """The rows in sight under `within` whose names start with `start`."""
        return ds.shown_rows(within, start)

    def rows(self, app):
        """The version rows, top to bottom, by their accessible labels."""
        return self.shown_rows(app, WHAT)

    def labels(self, app):
        """What each version row says happened, top to bottom."""
        try:
            return [r.get_name().split(",")[0] for r in self.rows(app)]
        except ds.GLib.Error:
            return []

    @staticmethod
    def frames(start=None, within=None):
        """The windows of every process of the window's program (or of the
        application `within`) whose titles start with `start`; without it,
        the history windows."""
        apps = [within] if within else ds.applications("tarvine-history")
        found = [f for app in apps for f in ds.descendants(app, "frame")]
        if start is None:
            return [f for f in found if "History" in (f.get_name() or "")]
        return [f for f in found if (f.get_name() or "").startswith(start)]

    def button(self, app, name):
        found = ds.descendants(app, "push button", name)
        return found[0] if found else None

    def pressed_when_sensitive(self, within, name):
        """Presses the button `name` under `within` once it can be pressed."""
        found = ds.eventually(lambda: (lambda b: b and ds.sensitive(b[0]) and b[0])(
            ds.descendants(within, "push button", name)), ds.ANSWERED)
        assert found, "%s, sensitive" % name
        self.press(found)

    def close_top_window(self, app, title):
        """Closes the window in front, titled `title...`, as a user does: Ctrl+W
        where the pointer is (there is no window manager to give the focus)."""
        assert self.frames(title, app), title
        self.click(300, 20)
        self.key("ctrl+w")
        assert ds.eventually(lambda: not self.frames(title, app), ds.ANSWERED), title

    def save_in_chooser(self, app, destination):
        """The file chooser Save a Copy opens (GTK's own: the private bus has
        no portal): the place typed as the name, then Save."""
        def choosers():
            # (GTK 4.8 gives the dialog the role of a filler.)
            windows = [app.get_child_at_index(i) for i in range(app.get_child_count())]
            return [w for w in windows if w and (w.get_name() or "").startswith("Save a Copy of ")]
        chooser = ds.eventually(choosers, ds.ANSWERED)
        assert chooser, "the file chooser"
        entry = ds.eventually(lambda: [e for e in ds.descendants(chooser[0], ("text", "entry"))
                                       if e.get_name() == "Name:"], ds.ANSWERED)
        assert entry, [(e.get_role_name(), e.get_name())
                       for e in ds.descendants(chooser[0], ("text", "entry"))]
        entry[0].get_editable_text_iface().set_text_contents(destination)
        # (GTK 4.8 names its own buttons with their mnemonic, then their title.)
        save = [b for b in ds.descendants(chooser[0], "push button")
                if (b.get_name() or "").split(" ")[-1] == "Save"]
        assert save, "the chooser's Save"
        self.press(save[0])
        assert ds.eventually(lambda: not choosers(), ds.ANSWERED)

    def said(self, app, start):
        """The window's message that starts with `start`, if it shows one."""
        return any((label.get_name() or "").startswith(start)
                   for label in ds.descendants(app, "label"))


def scenario(session, test, screenshot, compare_screenshot):
    session.record_opened_files()
    folder = os.path.join(session.folders, "watched")
    os.makedirs(folder)
    path = os.path.join(folder, "notes.txt")
    for content, command in (("first\n", "watch"), ("second\n", "snapshot"),
                             ("third\n", "snapshot")):
        with open(path, "w") as f:
            f.write(content)
        session.tarvine(command, *(["--manual"] if command == "watch" else []), folder)
    with open(path, "w") as f:
        f.write("unsaved edit\n")

    # Without a display: a clear word and a failure, not a crash.
    alone = subprocess.run(
        [os.path.join(session.build, "Tarvine.app/Contents/MacOS/tarvine-history"), path],
        env={k: v for k, v in session.env.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")},
        capture_output=True, text=True, timeout=ds.ANSWERED)
    test.assertEqual((alone.returncode, "cannot open the display" in alone.stderr), (1, True),
                     alone.stderr)

    session.spawn([session.command_line, "history", path], "window.log")
    app = ds.application("tarvine-history", ds.STARTED)
    test.assertIsNotNone(app, "the window's application on the accessibility bus")
    rows = ds.eventually(lambda: len(session.rows(app)) == 3 and session.rows(app), ds.ANSWERED)
    test.assertTrue(rows, "three versions")
    labels = [r.get_name() for r in rows]
    for label, (what, detail) in zip(labels, [("Manual snapshot", "6 bytes, differs from now"),
                                              ("Manual snapshot", "7 bytes, differs from now"),
                                              ("History enabled", "6 bytes, differs from now")]):
        test.assertTrue(label.startswith(what + ", just now ("), labels)
        test.assertTrue(label.endswith(detail), labels)

    # Open: a read-only copy of the oldest, handed to the default application.
    session.click(*centre(rows[2]))
    session.press(ds.eventually(lambda: (lambda b: b and ds.sensitive(b) and b)(
        session.button(app, "Open")), ds.ANSWERED))
    test.assertTrue(ds.eventually(lambda: os.path.exists(session.opened_log), ds.ANSWERED),
                    "the default application was not started")
    with open(session.opened_log) as f:
        copy, gdk_debug = f.read().split("\n")[:2]
    test.assertEqual(gdk_debug, "none")
    with open(copy) as f:
        test.assertEqual(f.read(), "first\n")
    test.assertEqual(stat.S_IMODE(os.stat(copy).st_mode), 0o444)
    test.assertEqual(os.path.basename(copy), "notes.txt")

    # Restore: the oldest comes back, and the edit is kept as a new version.
    session.press(session.button(app, "Restore"))
    test.assertTrue(ds.eventually(lambda: open(path).read() == "first\n", ds.ANSWERED))
    test.assertTrue(ds.eventually(lambda: session.labels(app) == [
        "Before a restore", "Manual snapshot", "Manual snapshot", "History enabled"], ds.ANSWERED),
        session.labels(app))
    test.assertTrue(ds.eventually(lambda: session.said(app, "Restored notes.txt (1 file written)"),
                                  ds.ANSWERED))
    if screenshot:
        session.screenshot(screenshot, 640, 540)
    session.press(session.button(app, "Undo"))
    test.assertTrue(ds.eventually(lambda: open(path).read() == "unsaved edit\n", ds.ANSWERED))
    test.assertTrue(ds.eventually(lambda: session.said(app, "Undone: notes.txt is as it was"),
                                  ds.ANSWERED))

    # A snapshot taken elsewhere shows up on its own.
    with open(path, "w") as f:
        f.write("later\n")
    session.tarvine("snapshot", folder)
    # (The undo kept the restored state first too, as every restore does.)
    test.assertTrue(ds.eventually(lambda: session.labels(app) == [
        "Manual snapshot", "Before a restore", "Before a restore", "Manual snapshot",
        "Manual snapshot", "History enabled"], ds.ANSWERED), session.labels(app))

    # Show History again for the same file: the same window, in front.
    second = subprocess.run([session.command_line, "history", path], env=session.env,
                            timeout=ds.STARTED)
    test.assertEqual(second.returncode, 0)
    test.assertEqual(len(session.frames()), 1)

    keep_always(session, test, app, folder, path)

    # Snapshot Now, from the window: the edit becomes the newest version.
    with open(path, "w") as f:
        f.write("taken from the window\n")
    session.pressed_when_sensitive(app, "Snapshot Now")
    test.assertTrue(ds.eventually(lambda: session.said(app, "Snapshot of watched taken (1 file read)."),
                                  ds.ANSWERED), ds.names(lambda: ds.descendants(app, "label")))
    test.assertTrue(ds.eventually(lambda: (lambda rows: len(rows) == 6 and rows[0].get_name().endswith(
        "22 bytes, same as now"))(session.rows(app)), ds.ANSWERED), ds.names(lambda: session.rows(app)))
    test.assertEqual(len(session.tarvine_json("log", path)["versions"]), 6)
    folder_files(session, test, app, folder)
    compare_open_and_save(session, test, app, folder, compare_screenshot)

    # Each window closed as a user closes it (Ctrl+W, where the pointer is:
    # there is no window manager to give the focus). The last one ends the
    # program, and its copies go with it.
    window = session.processes[-1]
    for title in ("docs ", "notes.txt "):
        session.close_top_window(app, title)
    test.assertEqual(window.wait(ds.ANSWERED), 0)
    test.assertFalse(os.path.exists(os.path.dirname(copy)))

    # Nothing GLib or GTK counts as a programming error or a warning was said
    # on the way: a widget used after it was freed says so here.
    with open(os.path.join(session.dir, "window.log"), errors="replace") as f:
        test.assertEqual([line for line in f if re.search(r"-(CRITICAL|WARNING) \*\*", line)], [])


def keep_always(session, test, app, folder, path):
    """Keep Always on a version the policy would let go: the command line sees
    the pin, thinning keeps it, and an unpin there shows in the window, as a
    policy set there does."""
    policy = "Policy of watched: keeps %s, size limit none."
    test.assertTrue(ds.eventually(lambda: session.said(app, policy % "all:1d,1h:1w,1d:90d,1w:forever"),
                                  ds.ANSWERED), ds.names(lambda: ds.descendants(app, "label")))
    versions = [v["id"] for v in session.tarvine_json("log", path)["versions"]]
    test.assertEqual(len(versions), 6)
    # The second content's snapshot: under one version a week, the first
    # snapshot of the week stays and the ones after it go.
    session.click(*centre(session.rows(app)[4]))
    session.pressed_when_sensitive(app, "Keep Always")

    def kept():
        return [i for i, r in enumerate(session.rows(app)) if r.get_name().endswith(", kept always")]
    test.assertEqual(ds.eventually(lambda: kept() == [4] and kept(), ds.ANSWERED), [4],
                     ds.names(lambda: session.rows(app)))
    test.assertTrue(ds.eventually(lambda: session.button(app, "Let the Policy Decide"), ds.ANSWERED))
    test.assertEqual(session.tarvine_json("keep", folder)["pinned"], [versions[4]])

    session.tarvine("keep", folder, "1w:forever")
    test.assertTrue(ds.eventually(lambda: session.said(app, policy % "1w:forever"), ds.ANSWERED),
                    ds.names(lambda: ds.descendants(app, "label")))
    thinned = session.tarvine_json("thin", folder)
    test.assertEqual([v["id"] for v in thinned["dropped"]], [versions[3]])
    test.assertIn(versions[4], [v["id"] for v in session.tarvine_json("log", path)["versions"]])
    test.assertTrue(ds.eventually(lambda: session.labels(app) == [
        "Manual snapshot", "Before a restore", "Before a restore", "Manual snapshot",
        "History enabled"] and kept() == [3], ds.ANSWERED), ds.names(lambda: session.rows(app)))

    # Unpinned from the command line: the row and the button follow.
    session.tarvine("unpin", path, versions[4])
    test.assertTrue(ds.eventually(lambda: not kept() and session.button(app, "Keep Always"),
                                  ds.ANSWERED), ds.names(lambda: session.rows(app)))
    test.assertEqual(session.tarvine_json("keep", folder)["pinned"], [])
    session.tarvine("keep", folder, "default")
    test.assertTrue(ds.eventually(lambda: session.said(app, policy % "all:1d,1h:1w,1d:90d,1w:forever"),
                                  ds.ANSWERED))


def folder_files(session, test, app, folder):
    """Show Files on a folder's older version, the filter, and a file restored
    from there."""
    docs = os.path.join(folder, "docs")
    os.makedirs(os.path.join(docs, "sub"))
    for name, content in (("plan.txt", "plan 1\n"), ("todo.txt", "todo\n"),
                          ("sub/Plans.md", "# plans\n")):
        with open(os.path.join(docs, name), "w") as f:
            f.write(content)
    session.tarvine("snapshot", folder)
    with open(os.path.join(docs, "plan.txt"), "w") as f:
        f.write("plan 2, rewritten\n")
    session.tarvine("snapshot", folder)
    session.tarvine("history", docs)
    window = ds.eventually(lambda: session.frames("docs ", app), ds.ANSWERED)
    test.assertTrue(window, "the folder's history window")
    window = window[0]
    rows = ds.eventually(lambda: len(session.shown_rows(window, WHAT)) == 2 and
                         session.shown_rows(window, WHAT), ds.ANSWERED)
    test.assertTrue(rows, ds.names(lambda: session.shown_rows(window)))
    test.assertTrue(rows[1].get_name().endswith("3 files changed"), rows[1].get_name())

    # The older version's files, each named with its size.
    session.click(*centre(rows[1]))
    show = ds.eventually(lambda: (lambda b: b and ds.sensitive(b[0]) and b[0])(
        ds.descendants(window, "push button", "Show Files")), ds.ANSWERED)
    test.assertTrue(show, "Show Files, once a version is picked")
    session.press(show)
    files = ds.eventually(lambda: session.frames("Files of docs at ", app), ds.ANSWERED)
    test.assertTrue(files, "the window of the version's files")
    files = files[0]
    names = ds.eventually(lambda: (lambda rows: len(rows) == 3 and rows)(
        [r.get_name() for r in session.shown_rows(files)]), ds.ANSWERED)
    test.assertEqual(names, ["plan.txt, 7 bytes", "sub/Plans.md, 8 bytes", "todo.txt, 5 bytes"])
    test.assertTrue(session.said(files, "3 files"))
    test.assertFalse(ds.sensitive(ds.descendants(files, "push button", "Restore")[0]),
                     "Restore with no file picked")

    # The filter box: names that hold what is typed, whatever its case.
    entry = [e for e in ds.descendants(files, ("entry", "text")) if e.get_name() == "Filter by name"]
    test.assertTrue(entry, "the filter box, by its name")
    entry[0].get_editable_text_iface().set_text_contents("PLAN")
    names = ds.eventually(lambda: (lambda rows: len(rows) == 2 and rows)(
        [r.get_name() for r in session.shown_rows(files)]), ds.ANSWERED)
    test.assertEqual(names, ["plan.txt, 7 bytes", "sub/Plans.md, 8 bytes"])
    test.assertTrue(ds.eventually(lambda: session.said(files, "2 of 3 files match"), ds.ANSWERED))
    # Escape there: every file again.
    session.click(*centre(entry[0]))
    session.key("Escape")
    test.assertTrue(ds.eventually(lambda: len(session.shown_rows(files)) == 3, ds.ANSWERED))
    test.assertTrue(session.said(files, "3 files"))

    # Restore, there: that one file as the version had it.
    session.click(*centre(session.shown_rows(files, "plan.txt")[0]))
    restore = ds.eventually(lambda: (lambda b: ds.sensitive(b) and b)(
        ds.descendants(files, "push button", "Restore")[0]), ds.ANSWERED)
    test.assertTrue(restore, "Restore, once a file is picked")
    session.press(restore)
    plan = os.path.join(docs, "plan.txt")
    test.assertTrue(ds.eventually(lambda: open(plan).read() == "plan 1\n", ds.ANSWERED))
    test.assertTrue(ds.eventually(lambda: session.said(window, "Restored plan.txt (1 file written)"),
                                  ds.ANSWERED))
    with open(os.path.join(docs, "todo.txt")) as f:
        test.assertEqual(f.read(), "todo\n")
    session.close_top_window(app, "Files of docs at ")

    # Save a Copy of the folder as the older version had it, elsewhere.
    # (The list was made again after the restore.)
    oldest = ds.eventually(lambda: [r for r in session.shown_rows(window, WHAT)
                                    if r.get_name().endswith("3 files changed")], ds.ANSWERED)
    session.click(*centre(oldest[0]))
    session.pressed_when_sensitive(window, "Save a Copy\u2026")
    copy = os.path.join(session.folders, "docs as it was")
    session.save_in_chooser(app, copy)
    test.assertTrue(ds.eventually(lambda: session.said(window, "Saved a copy at " + copy),
                                  ds.ANSWERED))
    copied = sorted(os.path.relpath(os.path.join(d, n), copy)
                    for d, _, names in os.walk(copy) for n in names)
    test.assertEqual(copied, ["plan.txt", "sub/Plans.md", "todo.txt"])
    with open(os.path.join(copy, "plan.txt")) as f:
        test.assertEqual(f.read(), "plan 1\n")

    # Deleted Files: one gone since the last snapshot but one, brought back.
    os.remove(os.path.join(docs, "todo.txt"))
    session.tarvine("snapshot", folder)
    session.pressed_when_sensitive(window, "Deleted Files")
    deleted = ds.eventually(lambda: session.frames("Deleted files of docs", app), ds.ANSWERED)
    test.assertTrue(deleted, "the window of deleted files")
    gone = ds.eventually(lambda: session.shown_rows(deleted[0], "todo.txt"), ds.ANSWERED)
    names = [r.get_name() for r in gone]
    test.assertEqual(len(names), 1, names)
    test.assertTrue(names[0].startswith("todo.txt, last seen just now (") and
                    names[0].endswith("), 5 bytes"), names)
    test.assertTrue(session.said(deleted[0], "1 deleted file"))
    session.click(*centre(gone[0]))
    session.pressed_when_sensitive(deleted[0], "Restore")
    test.assertTrue(ds.eventually(lambda: os.path.exists(os.path.join(docs, "todo.txt")),
                                  ds.ANSWERED))
    with open(os.path.join(docs, "todo.txt")) as f:
        test.assertEqual(f.read(), "todo\n")
    session.close_top_window(app, "Deleted files of docs")


def compare_open_and_save(session, test, app, folder, screenshot):
    """Compare a text's version with the file now (the README's picture);
    Open where no application opens the kind of file, and where the one that
    does fails at once: each says so and offers Save a Copy, which saves the
    version where the file chooser says."""
    recipe = os.path.join(folder, "recipe.txt")
    then = ("Pancakes\n\n2 eggs\n250 ml milk\n125 g flour\n1 pinch of salt\n"
            "Whisk, rest 30 minutes.\nFry in butter.\n")
    now = then.replace("2 eggs\n250", "3 eggs\n300").replace("butter.", "butter, serve warm.")
    with open(recipe, "w") as f:
        f.write(then)
    data = os.path.join(folder, "data.bin")
    with open(data, "wb") as f:
        f.write(bytes(range(256)) * 4)
    table = os.path.join(folder, "table.csv")
    with open(table, "w") as f:
        f.write("a,b\n1,2\n")
    session.tarvine("snapshot", folder)
    # A later version, and the file now.
    later = then.replace("2 eggs", "4 eggs")
    with open(recipe, "w") as f:
        f.write(later)
    session.tarvine("snapshot", folder)
    with open(recipe, "w") as f:
        f.write(now)

    session.tarvine("history", recipe)
    window = ds.eventually(lambda: session.frames("recipe.txt ", app), ds.ANSWERED)
    test.assertTrue(window, "the recipe's history window")
    rows = ds.eventually(lambda: len(session.shown_rows(window[0], WHAT)) == 2 and
                         session.shown_rows(window[0], WHAT), ds.ANSWERED)
    test.assertTrue(rows, "two versions")
    session.click(*centre(rows[1]))
    session.pressed_when_sensitive(window[0], "Compare")
    compared = ds.eventually(lambda: session.frames("Compare recipe.txt as of ", app), ds.ANSWERED)
    test.assertTrue(compared, "the comparison's window")

    def differences():
        found = ds.descendants(compared[0], "text", "Differences")
        return found and found[0].get_text_iface().get_text(0, -1)
    text = ds.eventually(lambda: "+3 eggs" in (differences() or "") and differences(), ds.ANSWERED)
    test.assertTrue(text, differences())
    for line in ("-2 eggs", "+3 eggs", "-250 ml milk", "+300 ml milk", " 125 g flour",
                 "-Fry in butter.", "+Fry in butter, serve warm."):
        test.assertIn(line + "\n", text)
    test.assertTrue(session.said(compared[0], "Differs: %d bytes in this version, %d bytes now."
                                 % (len(then), len(now))))
    test.assertTrue(ds.descendants(compared[0], "combo box", "Compare with:"),
                    "the other side's choice, named once by its label")
    if screenshot:
        session.screenshot(screenshot, 720, 520)

    # Against the later version instead, picked from the list with the keys.
    session.click(*centre(ds.descendants(compared[0], "combo box", "Compare with:")[0]))
    session.key("Down")
    session.key("Return")
    test.assertTrue(ds.eventually(lambda: session.said(
        compared[0], "Differs: %d bytes in this version, %d bytes in the other one."
        % (len(then), len(later))), ds.ANSWERED),
        ds.names(lambda: ds.descendants(compared[0], "label")))
    text = ds.eventually(lambda: "+4 eggs" in (differences() or "") and differences(), ds.ANSWERED)
    test.assertTrue(text, differences())
    test.assertNotIn("serve warm", text)
    session.close_top_window(app, "Compare recipe.txt as of ")
    session.close_top_window(app, "recipe.txt ")

    # Open, with no application for the kind of file: said, and Save a Copy.
    for path, said in ((data, "No application is set to open files of this kind"),
                       (table, "Failing ended at once without showing the copy")):
        name = os.path.basename(path)
        session.tarvine("history", path)
        window = ds.eventually(lambda: session.frames(name + " ", app), ds.ANSWERED)
        test.assertTrue(window, name)
        rows = ds.eventually(lambda: session.shown_rows(window[0], WHAT), ds.ANSWERED)
        session.click(*centre(rows[0]))
        session.pressed_when_sensitive(window[0], "Open")
        test.assertTrue(ds.eventually(lambda: session.said(window[0], said), ds.ANSWERED),
                        ds.names(lambda: ds.descendants(window[0], "label")))
        saved = os.path.join(session.folders, "saved " + name)
        session.pressed_when_sensitive(window[0], "Save a Copy\u2026")
        session.save_in_chooser(app, saved)
        test.assertTrue(ds.eventually(lambda: os.path.exists(saved), ds.ANSWERED))
        with open(saved, "rb") as copy, open(path, "rb") as original:
            test.assertEqual(copy.read(), original.read())
        session.close_top_window(app, name + " ")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--screenshot")
    parser.add_argument("--compare-screenshot")
    args = parser.parse_args()
    session = HistoryWindow(os.path.abspath(args.build))
    ds.run_once(session, lambda test: scenario(session, test, args.screenshot, args.compare_screenshot), "versions_open_restore_and_one_window", args.screenshot)


if __name__ == "__main__":
    main()
