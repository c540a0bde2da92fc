"""A headless desktop for driving a real file manager: Xvfb, a private session
bus whose only services are the accessibility bus and those a file manager
names, private HOME and XDG folders, the stand-in main application, and AT-SPI
to read and press menus. `Session` runs the one scenario every file manager
goes through; a subclass per file manager (desktop_test.py) says how it is
started with the module and how its menus are opened and read."""

import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

SKIP = 77  # ctest's SKIP_RETURN_CODE
GROUP = "QF7T2K9M4R.com.quillfen.tarvine"
A11Y_SERVICE = "/usr/share/dbus-1/services/org.a11y.Bus.service"

# The menu table for the targets of the scenario (the root is watched in manual
# mode, not paused): each entry enabled (+) or not (-), and the enable entry's
# state. A file outside every root gets no menu at all.
EXPECTED = {
    "folder outside every root": (["enable+", "disable-", "snapshot-", "restore-", "show-"], None),
    "root": (["enable-", "disable+", "snapshot+", "restore-", "show+"], "on"),
    "file inside the root": (["enable-", "disable-", "snapshot-", "restore+", "show+"], "on"),
    "background of the root": (["enable-", "disable+", "snapshot+", "restore-", "show+"], "on"),
}
TITLES = ["Enable History", "Disable History", "Snapshot Now", "Restore Previous Version",
          "Show History\u2026"]


def eventually(condition, seconds=10.0, step=0.1):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


class Session:
    """Everything the run starts, and its removal; and the scenario. Every
    process is started in a session of its own and ended by its process group.

    A subclass names its file manager (`program`), what it needs to run
    (`needs_root` for a private mount namespace), the D-Bus `services` the
    private bus may start besides the accessibility bus (or none of those,
    without `accessibility_service`: it starts the bus itself), how its menus
    show (`shows_state_in_title`, `omits_disabled_entries`), and implements
    open_folder, item_menu, background_menu and history_entries."""

    program = None
    needs_root = True
    services = ()
    accessibility_service = True
    shows_state_in_title = True  # no check marks in most extension APIs
    omits_disabled_entries = False
    screenshot_size = (920, 560)

    def __init__(self, build, module, extension_dir):
        self.build, self.module, self.extension_dir = build, module, extension_dir
        self.services = ([A11Y_SERVICE] if self.accessibility_service else []) + [
            "/usr/share/dbus-1/services/%s.service" % name for name in self.services]
        self.processes = []
        self.dir = tempfile.mkdtemp(prefix="tarvine-desktop-")
        # The extension's scope is the user database's home, not $HOME: the
        # test's folders go there, and are removed at the end.
        self.home_of_user = pwd.getpwuid(os.getuid()).pw_dir
        self.folders = tempfile.mkdtemp(prefix="tarvine-desktop-", dir=self.home_of_user)
        home = os.path.join(self.dir, "home")
        runtime = os.path.join(self.dir, "runtime")
        for folder in (home, runtime):
            os.makedirs(folder, mode=0o700)
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": home,
            "XDG_RUNTIME_DIR": runtime,
            "XDG_DATA_HOME": os.path.join(self.dir, "data"),
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_CACHE_HOME": os.path.join(home, ".cache"),
            "GSETTINGS_BACKEND": "memory",
            "GSK_RENDERER": "cairo",
            "GIO_USE_VFS": "local",
            "LANGUAGE": "en",
            "LANG": "C.UTF-8",
            "TARVINE_EXTENSION_BUNDLE": os.path.join(
                build, "Tarvine.app/Contents/PlugIns/TarvineFinderSync.appex"),
        }
        self.container = os.path.join(self.env["XDG_DATA_HOME"], GROUP)
        self.app_log = os.path.join(self.dir, "app.log")

    # -- processes -----------------------------------------------------------

    def spawn(self, argv, log_name, env=None, **kwargs):
        log = open(os.path.join(self.dir, log_name), "ab")
        process = subprocess.Popen(argv, env=env or self.env, stdout=log, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, start_new_session=True, **kwargs)
        log.close()
        self.processes.append(process)
        return process

    def start(self):
        self._start_bus()
        self._start_display()
        os.environ.update(self.env)  # AT-SPI in this process reads the same bus

    def _start_bus(self):
        services = os.path.join(self.dir, "services")
        os.makedirs(services)
        for service in self.services:
            shutil.copy(service, services)
        config = os.path.join(self.dir, "bus.conf")
        with open(config, "w") as f:
            f.write("""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%s</listen>
  <servicedir>%s</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
""" % (self.dir, services))
        read, write = os.pipe()
        log = open(os.path.join(self.dir, "bus.log"), "ab")
        bus = subprocess.Popen(["dbus-daemon", "--config-file=" + config, "--nofork",
                                "--print-address=%d" % write], pass_fds=(write,), env=self.env,
                               stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        log.close()
        os.close(write)
        self.processes.append(bus)
        with os.fdopen(read) as address:
            self.env["DBUS_SESSION_BUS_ADDRESS"] = address.readline().strip()

    def _start_display(self):
        for attempt in range(2):
            read, write = os.pipe()
            log = open(os.path.join(self.dir, "xvfb.log"), "ab")
            xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0",
                                     "1280x800x24", "-nolisten", "tcp"], pass_fds=(write,),
                                    stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
            log.close()
            os.close(write)
            self.processes.append(xvfb)
            with os.fdopen(read) as number:
                display = number.readline().strip()
            if display:
                self.env["DISPLAY"] = ":" + display
                return
        raise RuntimeError("Xvfb did not start")

    def start_app(self, roots):
        argv = [os.path.join(self.build, "Tarvine.app/Contents/MacOS/tarvine-app")]
        for root, flags in roots:
            argv += flags + [root]
        self.spawn(argv, "app.log")
        assert eventually(lambda: "watching" in self.app_output()), self.app_output()

    def app_output(self):
        try:
            with open(self.app_log, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                try:
                    os.killpg(process.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for process in reversed(self.processes):
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait(5)
        shutil.rmtree(self.folders, ignore_errors=True)
        shutil.rmtree(self.dir, ignore_errors=True)

    # -- what a file manager does ---------------------------------------------

    def install_module(self):
        """The module in a folder of the run's own, returned; copied once, as a
        running file manager has it mapped."""
        folder = os.path.join(self.dir, "extensions")
        if not os.path.isdir(folder):
            os.makedirs(folder)
            shutil.copy(self.module, folder)
        return folder

    def in_mount_namespace(self, argv, log_name, env=None):
        """Starts `argv` with the module's folder bound over the folder the file
        manager was built to read, in a private mount namespace: the system is
        never written to."""
        script = 'mount --bind "$1" "$2" && shift 2 && exec "$@"'
        return self.spawn(["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh",
                           self.install_module(), self.extension_dir, *argv], log_name, env=env)

    def reveal_submenu(self):
        """Shows the History submenu for the picture, where it is not shown yet."""

    def press(self, entry):
        entry.get_action_iface().do_action(0)

    def close_menu(self):
        self.key("Escape")
        # Closed menus may stay in the accessibility tree (GTK 4), but not showing.
        eventually(lambda: not any(showing(e) for e in self.history_entries() or []), 2)

    def missing(self):
        """What this machine lacks to run the file manager, or None."""
        if not shutil.which(self.program) or not shutil.which("Xvfb"):
            return "needs %s and Xvfb" % self.program
        if self.needs_root and os.geteuid() != 0:
            return "needs root, for a private mount namespace"
        return None

    def run_scenario(self, test, screenshot=None):
        """The same scenario in every file manager: menus of a file outside every
        root, a folder outside every root, a root, a file inside the root and the
        background of the root, compared with the menu table; then Enable History,
        Snapshot Now and Show History, each of which must reach the application;
        then Restore Previous on an edited file, and again to undo it."""
        base = self.folders
        for folder in ("outside", "watched/sub"):
            os.makedirs(os.path.join(base, folder))
        for name in ("loose.txt", "watched/file.txt"):
            with open(os.path.join(base, name), "w") as f:
                f.write("x\n")
        self.start_app([(os.path.join(base, "watched"), ["--manual"])])

        def menu(opened, label):
            entries = self.history_entries()
            if entries is None:
                return None
            result = describe_entries(entries, self.shows_state_in_title)
            test.assertIsInstance(result, tuple, label)
            words, state = result
            if not self.shows_state_in_title:
                state = "on" if checked(entries[0]) else None
            return words, state, {untick(e.get_name()): e for e in entries}

        def expected(label):
            words, state = EXPECTED[label]
            if self.omits_disabled_entries:
                words = [w for w in words if w.endswith("+")]
                # The state shows on the enable entry, which is then left out.
                state = state if "enable+" in words else None
            return words, state

        # The first menu of a fresh process (Dolphin loads its plugins only now)
        # is one that must show History: the extension knows at once whether the
        # application runs.
        top = self.open_folder(base)
        activations = [("folder outside every root", TITLES[0], "enableHistory", base + "/outside"),
                       ("root", TITLES[2], "snapshotNow", base + "/watched")]
        targets = {"folder outside every root": "outside", "root": "watched"}
        for label, entry, kind, target in activations:
            self.item_menu(top, targets[label])
            seen = eventually(lambda: menu(top, label), 5)
            test.assertIsNotNone(seen, label)
            test.assertEqual(seen[:2], expected(label), label)
            if screenshot and label == "root":
                self.reveal_submenu()
                eventually(lambda: all(showing(e) for e in self.history_entries() or []), 2)
                self.screenshot(screenshot, *self.screenshot_size)
                seen = eventually(lambda: menu(top, label), 5)
            self.press(seen[2][entry])
            test.assertTrue(eventually(
                lambda: "request %s %s" % (kind, target) in self.app_output(), 5),
                self.app_output())
            self.close_menu()

        self.item_menu(top, "loose.txt")
        test.assertIsNone(menu(top, "file outside every root"), "file outside every root")
        self.close_menu()

        inner = self.open_folder(os.path.join(base, "watched"))
        self.item_menu(inner, "file.txt")
        seen = eventually(lambda: menu(inner, "file inside the root"), 5)
        test.assertIsNotNone(seen, "file inside the root")
        test.assertEqual(seen[:2], expected("file inside the root"))
        activated = self.app_output().count("activated")
        self.press(seen[2][TITLES[4]])
        test.assertTrue(eventually(
            lambda: "request showHistory %s/watched/file.txt" % base in self.app_output()
            and self.app_output().count("activated") > activated, 5), self.app_output())
        self.close_menu()
        if os.access(os.path.join(self.build, "Tarvine.app/Contents/MacOS/tarvine-history"),
                     os.X_OK):
            self.expect_history_window(test, "file.txt")

        # The file changes after the root's snapshot: Restore Previous brings
        # the snapshot's content back, and a second one undoes the restore.
        edited = os.path.join(base, "watched", "file.txt")
        with open(edited, "w") as f:
            f.write("edited\n")
        for content in ("x\n", "edited\n"):
            restored = self.app_output().count("restored ")
            # A click while the last menu is still closing can be taken for
            # the close: the menu is asked for once more.
            for attempt in range(2):
                self.item_menu(inner, "file.txt")
                seen = eventually(lambda: menu(inner, "file inside the root"), 4)
                if seen:
                    break
                self.close_menu()
            test.assertIsNotNone(seen, "restore previous (%d restored)" % restored)
            self.press(seen[2][TITLES[3]])
            test.assertTrue(eventually(lambda: self.app_output().count("restored ") > restored, 5),
                            self.app_output())
            with open(edited) as f:
                test.assertEqual(f.read(), content)
            self.close_menu()

        self.background_menu(inner)
        seen = eventually(lambda: menu(inner, "background of the root"), 5)
        test.assertIsNotNone(seen, "background of the root")
        test.assertEqual(seen[:2], expected("background of the root"))
        self.close_menu()
        # Enable wrote a bookmark that resolves; nothing is left in the spool.
        test.assertIn("request enableHistory %s/outside bookmark=yes (resolves)" % base,
                      self.app_output())
        test.assertEqual(os.listdir(os.path.join(self.container, "requests")), [])

    def expect_history_window(self, test, name):
        """The application shows Show History's target in the history window,
        which is then closed, so that it covers nothing of the file manager."""
        window = application("tarvine-history")
        test.assertIsNotNone(window, self.app_output())
        test.assertTrue(eventually(lambda: any(
            f.get_name() == name + " \u2013 History" for f in descendants(window, "frame")), 10))
        os.kill(window.get_process_id(), signal.SIGTERM)
        test.assertTrue(eventually(lambda: application("tarvine-history", 0) is None, 10))

    # -- input and pictures --------------------------------------------------

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, check=True)

    def click(self, x, y, button=1):
        self.xdotool("mousemove", "--sync", str(x), str(y))
        self.xdotool("click", str(button))

    def key(self, name):
        self.xdotool("key", name)

    def screenshot(self, path, width=920, height=560):
        """The top left of the screen, where the window is."""
        subprocess.run(["import", "-window", "root", "-crop", "%dx%d+0+0" % (width, height),
                        "+repage", path], env=self.env, check=True)


# -- AT-SPI ------------------------------------------------------------------

def application(name, seconds=20):
    def find():
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is not None and name in (app.get_name() or ""):
                return app
        return None
    return eventually(find, seconds)


def descendants(root, role=None, name=None):
    found = []
    stack = [root]
    while stack:
        node = stack.pop()
        if node is None:
            continue
        try:
            if (role is None or node.get_role_name() == role) and \
                    (name is None or node.get_name() == name):
                found.append(node)
            stack.extend(node.get_child_at_index(i) for i in range(node.get_child_count()))
        except gi.repository.GLib.Error:
            continue  # gone meanwhile
    return found


def centre(node):
    extents = node.get_extents(Atspi.CoordType.SCREEN)
    return extents.x + extents.width // 2, extents.y + extents.height // 2


def sensitive(node):
    return node.get_state_set().contains(Atspi.StateType.SENSITIVE)


def checked(node):
    return node.get_state_set().contains(Atspi.StateType.CHECKED)


def showing(node):
    return node.get_state_set().contains(Atspi.StateType.SHOWING)


def untick(name):
    return name[2:] if name.startswith("\u2713 ") else name


def history_entries(app, through_showing_item=False):
    """The entries of the History submenu, in menu order, or None when there
    is none. Where the toolkit keeps menus that are not open in the tree but
    reports what shows (GTK 3), they are the entries under a showing "History"
    item; elsewhere (GTK 4) the enable entry and its siblings."""
    if through_showing_item:
        for item in descendants(app, None, "History"):
            if showing(item):
                entries = [entry for entry in descendants(item, "menu item")
                           if untick(entry.get_name() or "") in TITLES]
                # The walk visits children last to first.
                return list(reversed(entries)) or None
        return None
    for first in descendants(app, "menu item"):
        if untick(first.get_name() or "") != TITLES[0]:
            continue
        parent = first.get_parent()
        siblings = [parent.get_child_at_index(i) for i in range(parent.get_child_count())]
        entries = [c for c in siblings if c is not None and c.get_role_name() == "menu item"
                   and untick(c.get_name() or "") in TITLES]
        if len(entries) == len(TITLES):
            return entries
    return None


def describe_entries(entries, shows_state_in_title):
    """The submenu as the menu table words it: enable+ or enable- and so on,
    in menu order; a state shown in the title is read from there. An entry
    left out (where the file manager cannot show it disabled) is absent."""
    names = dict(zip(TITLES, ["enable", "disable", "snapshot", "restore", "show"]))
    titles = [untick(entry.get_name()) for entry in entries]
    if [t for t in TITLES if t in titles] != titles:
        return "unexpected titles %r" % titles
    state = None
    if shows_state_in_title and entries and entries[0].get_name().startswith("\u2713 "):
        state = "on"
    return [names[t] + ("+" if sensitive(e) else "-") for t, e in zip(titles, entries)], state


def run(session, screenshot, rest):
    """Runs the scenario in `session`, or reports it skipped (for ctest) when
    what it needs is missing."""
    reason = session.missing()
    if reason:
        session.close()
        print("skipped: " + reason)
        sys.exit(SKIP)

    class RealFileManager(unittest.TestCase):
        def test_menus_and_commands(self):
            try:
                session.start()
                session.run_scenario(self, screenshot)
            finally:
                session.close()

    RealFileManager.__name__ = "Real" + type(session).__name__
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(RealFileManager)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
