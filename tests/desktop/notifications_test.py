"""Notifications, for real: tarvine-app on a private session bus whose
notification service is a double (notification_server.py) that records what
it is sent and clicks as a user would. A restore asked from the menu is told
with what it wrote and an Undo, which puts the file back and is told in turn;
clicking that notice shows the file's history window. Turned off from the
command line, a restore is told of no more; turned on again, a watched folder
that goes away is told unavailable at once, and clicking that shows it
picked in the Tarvine window, where its problem is said with what to do.

Usage: notifications_test.py --build BUILD"""

import argparse
import json
import os
import subprocess
import sys
import uuid

import desktop_session as ds

SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "notification_server.py")


class Notifications(ds.Session):
    program = "tarvine-app"
    needs_root = False

    def __init__(self, build):
        super().__init__(build, None, None)
        self.command_line = os.path.join(build, "cli", "tarvine")
        self.record = os.path.join(self.dir, "notifications.jsonl")

    def missing(self):
        for window in ("tarvine-history", "tarvine-window"):
            if not os.access(os.path.join(self.build, "Tarvine.app/Contents/MacOS", window),
                             os.X_OK):
                return window + " is not built"
        return None if ds.shutil.which("Xvfb") else "needs Xvfb"

    def tarvine(self, *args):
        subprocess.run([self.command_line, *args], env=self.env, check=True,
                       stdout=subprocess.DEVNULL)

    def start_server(self):
        self.spawn([sys.executable, "-B", SERVER, self.record], "notification-server.log")
        assert ds.eventually(lambda: self.bus_has_owner("org.freedesktop.Notifications"),
                             ds.STARTED), "the notification service double did not start"

    def notices(self):
        try:
            with open(self.record) as f:
                return [json.loads(line) for line in f if line.endswith("\n")]
        except FileNotFoundError:
            return []

    def notice(self, summary, after=0):
        """The first notice sent after the first `after` whose summary is `summary`."""
        return ds.eventually(lambda: next(
            (n for n in self.notices()[after:] if n["summary"] == summary), None), ds.ANSWERED)

    def invoke(self, notice, action):
        """What the user's click on `action` ("default": the notice itself) does."""
        subprocess.run(["gdbus", "call", "--session", "--dest", "org.freedesktop.Notifications",
                        "--object-path", "/org/freedesktop/Notifications", "--method",
                        "com.quillfen.tarvine.test.NotificationServer.Invoke",
                        str(notice["id"]), action], env=self.env, check=True,
                       stdout=subprocess.DEVNULL)

    def ask(self, kind, target):
        """A request in the spool, as the file manager's menu leaves it."""
        rid = str(uuid.uuid4()).upper()
        spool = os.path.join(self.container, "requests")
        temporary = os.path.join(spool, "." + rid + ".tmp")
        with open(temporary, "w") as f:
            json.dump({"version": 1, "id": rid, "createdAt": "2025-03-14T09:26:53Z",
                       "kind": kind, "target": target}, f)
        os.rename(temporary, os.path.join(spool, rid + ".json"))


def buttons(notice):
    """A notice's buttons, label: key (its actions come as key, label pairs)."""
    actions = notice["actions"]
    return {label: key for key, label in zip(actions[0::2], actions[1::2]) if key != "default"}


def scenario(session, test):
    # Another folder first in the list, so that the one a notice is about
    # must be picked for it.
    another = os.path.join(session.folders, "another")
    os.makedirs(another)
    session.tarvine("watch", another)
    folder = os.path.join(session.folders, "watched")
    os.makedirs(folder)
    path = os.path.join(folder, "notes.txt")
    for content, command in (("first\n", "watch"), ("second\n", "snapshot")):
        with open(path, "w") as f:
            f.write(content)
        session.tarvine(command, folder)
    session.start_server()
    session.start_app([])

    # Restore Previous from the menu: told with what it wrote, and an Undo.
    session.ask("restorePrevious", path)
    restored = session.notice("Restored notes.txt")
    test.assertIsNotNone(restored, session.app_output())
    test.assertEqual(restored["body"], "1 file written:\nnotes.txt")
    test.assertIn("default", restored["actions"][0::2])
    test.assertEqual(restored["hints"].get("desktop-entry"), "com.quillfen.tarvine")
    with open(path) as f:
        test.assertEqual(f.read(), "first\n")
    undo = buttons(restored).get("Undo")
    test.assertTrue(undo and undo.startswith("app.undo-restore("), restored["actions"])
    session.invoke(restored, undo)
    test.assertIsNotNone(session.notice("Undone: notes.txt"), session.app_output())
    with open(path) as f:
        test.assertEqual(f.read(), "second\n")
    # Clicked, the notice shows the file's history.
    session.invoke(session.notice("Undone: notes.txt"), "default")
    session.expect_history_window(test, "notes.txt")

    # Turned off: a restore is carried out, and told of no more.
    session.tarvine("notifications", "off")
    told = len(session.notices())
    session.ask("restorePrevious", path)
    test.assertTrue(ds.eventually(lambda: open(path).read() == "first\n", ds.ANSWERED))
    test.assertTrue(ds.eventually(lambda: session.app_output().count("restored ") >= 2,
                                  ds.ANSWERED), session.app_output())

    # On again: the folder goes away, and that is told at once.
    session.tarvine("notifications", "on")
    os.rename(folder, folder + "-away")
    gone = session.notice("watched is not available", told)
    test.assertIsNotNone(gone, "%s\n%s" % (session.notices(), session.app_output()))
    test.assertEqual(session.notices()[told:], [gone], "the restore while off was not told")
    test.assertIn(folder, gone["body"])
    session.invoke(gone, "default")
    window = ds.application("tarvine-window", ds.STARTED)
    test.assertIsNotNone(window, session.app_output())
    # Moved… is offered for the folder picked, when it is unavailable.
    test.assertTrue(ds.eventually(lambda: any(
        ds.visible(b) for b in ds.descendants(window, "push button", "Moved\u2026")),
        ds.ANSWERED), ds.names(lambda: ds.descendants(window, "push button")))
    os.rename(folder + "-away", folder)
    for word in ("CRITICAL", "WARNING"):
        test.assertNotIn(word, session.app_output())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args = parser.parse_args()
    session = Notifications(os.path.abspath(args.build))
    ds.run_once(session, lambda test: scenario(session, test), "told_clicked_undone_and_turned_off")


if __name__ == "__main__":
    main()
