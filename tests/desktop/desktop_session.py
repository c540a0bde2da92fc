"""A headless desktop for driving a real file manager: Xvfb, a private session
bus whose only services are the accessibility bus and those a test names, private HOME and XDG folders,
the stand-in main application, and AT-SPI to read and press menus. Shared by
the tests of every file manager; each test supplies how its file manager is
started and how a context menu is opened."""

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


class Desktop:
    """Everything the run starts, and its removal. Every process is started in
    a session of its own and ended by its process group."""

    def __init__(self, build, services=(), accessibility_service=True):
        """`services`: D-Bus services besides the accessibility bus that the
        private bus may start (their .service files from the system). Without
        `accessibility_service` the test starts the accessibility bus itself."""
        self.build = build
        self.services = ([A11Y_SERVICE] if accessibility_service else []) + [
            "/usr/share/dbus-1/services/%s.service" % name for name in services]
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

    # -- input and pictures --------------------------------------------------

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, check=True)

    def click(self, x, y, button=1):
        self.xdotool("mousemove", str(x), str(y))
        time.sleep(0.1)
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


def run_scenario(test, desktop, manager, screenshot=None):
    """The same scenario in every file manager: menus of a file outside every
    root, a folder outside every root, a root, a file inside the root and the
    background of the root, compared with the menu table; then Enable History,
    Snapshot Now and Show History, each of which must reach the application."""
    base = desktop.folders
    for folder in ("outside", "watched/sub"):
        os.makedirs(os.path.join(base, folder))
    for name in ("loose.txt", "watched/file.txt"):
        with open(os.path.join(base, name), "w") as f:
            f.write("x\n")
    desktop.start_app([(os.path.join(base, "watched"), ["--manual"])])

    def menu(opened, label):
        entries = manager.history_entries()
        if entries is None:
            return None
        result = describe_entries(entries, manager.shows_state_in_title)
        test.assertIsInstance(result, tuple, label)
        words, state = result
        if not manager.shows_state_in_title:
            state = "on" if checked(entries[0]) else None
        return words, state, {untick(e.get_name()): e for e in entries}

    def expected(label):
        words, state = EXPECTED[label]
        if manager.omits_disabled_entries:
            words = [w for w in words if w.endswith("+")]
            # The state shows on the enable entry, which is then left out.
            state = state if "enable+" in words else None
        return words, state

    # The first menu of a fresh process (Dolphin loads its plugins only now)
    # is one that must show History: the extension knows at once whether the
    # application runs.
    top = manager.open_folder(base)
    activations = [("folder outside every root", TITLES[0], "enableHistory", base + "/outside"),
                   ("root", TITLES[2], "snapshotNow", base + "/watched")]
    targets = {"folder outside every root": "outside", "root": "watched"}
    for label, entry, kind, target in activations:
        manager.item_menu(top, targets[label])
        seen = eventually(lambda: menu(top, label), 5)
        test.assertIsNotNone(seen, label)
        test.assertEqual(seen[:2], expected(label), label)
        if screenshot and label == "root":
            manager.reveal_submenu()
            time.sleep(0.5)
            desktop.screenshot(screenshot, *getattr(manager, "screenshot_size", (920, 560)))
            seen = eventually(lambda: menu(top, label), 5)
        manager.press(seen[2][entry])
        test.assertTrue(eventually(
            lambda: "request %s %s" % (kind, target) in desktop.app_output(), 5),
            desktop.app_output())
        manager.close_menu()

    manager.item_menu(top, "loose.txt")
    test.assertIsNone(menu(top, "file outside every root"), "file outside every root")
    manager.close_menu()

    inner = manager.open_folder(os.path.join(base, "watched"))
    manager.item_menu(inner, "file.txt")
    seen = eventually(lambda: menu(inner, "file inside the root"), 5)
    test.assertIsNotNone(seen, "file inside the root")
    test.assertEqual(seen[:2], expected("file inside the root"))
    activated = desktop.app_output().count("activated")
    manager.press(seen[2][TITLES[4]])
    test.assertTrue(eventually(
        lambda: "request showHistory %s/watched/file.txt" % base in desktop.app_output()
        and desktop.app_output().count("activated") > activated, 5), desktop.app_output())
    manager.close_menu()

    manager.background_menu(inner)
    seen = eventually(lambda: menu(inner, "background of the root"), 5)
    test.assertIsNotNone(seen, "background of the root")
    test.assertEqual(seen[:2], expected("background of the root"))
    manager.close_menu()
    # Enable wrote a bookmark that resolves; nothing is left in the spool.
    test.assertIn("request enableHistory %s/outside bookmark=yes (resolves)" % base,
                  desktop.app_output())
    test.assertEqual(os.listdir(os.path.join(desktop.container, "requests")), [])


def run_tests(rest, skip_reason=None):
    """Runs the test file's cases, or reports it skipped (for ctest) when
    what it needs is missing."""
    if skip_reason:
        print("skipped: " + skip_reason)
        sys.exit(SKIP)
    result = unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)
