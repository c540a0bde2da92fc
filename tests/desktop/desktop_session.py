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
from gi.repository import Atspi, GLib  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from processes import ended_with_parent  # noqa: E402

# On a busy machine an application can take longer than AT-SPI's default
# 0.8 s to answer, and a call that times out reads as an application that
# does not answer at all. Waits below are bounded by time, not by this.
Atspi.set_timeout(5000, 20000)

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
# The bounds of the waits, in seconds. A wait ends as soon as what it waits
# for is there, so a passing run does not pay them; they are long because CI
# machines are rarely idle, and a busy one is many times slower than an idle one.
STARTED = 60  # a program up and showing its window
ANSWERED = 20  # a menu shown, a command carried out, a window gone
ENDED = object()  # what show() waits for when the program it waits on has ended

# The History submenu's item and entries, and the application's word for a
# restore, in each language the scenario runs in: written out here, not read
# from the bundle, so that a table the extension would not pick fails.
LANGUAGES = {
    "en": {"locale": "C.UTF-8", "history": "History", "restored": "restored ",
           "watching": "tarvine-app: watching ",
           "titles": ["Enable History", "Disable History", "Snapshot Now",
                      "Restore Previous Version", "Show History\u2026"]},
    "de": {"locale": "de_DE.UTF-8", "history": "Verlauf", "restored": " zur\u00fcckgesetzt (",
           "watching": " wird \u00fcberwacht; Manifest ",
           "titles": ["Verlauf aktivieren", "Verlauf deaktivieren",
                      "Jetzt Schnappschuss erstellen", "Vorherige Version wiederherstellen",
                      "Verlauf anzeigen\u2026"]},
}
HISTORY = LANGUAGES["en"]["history"]
TITLES = LANGUAGES["en"]["titles"]
RESTORED = LANGUAGES["en"]["restored"]
WATCHING = LANGUAGES["en"]["watching"]


def eventually(condition, seconds=10.0, step=0.1):
    """The condition's first true value within `seconds`, or its last value.
    An accessibility call that fails on the way (an application that left
    while it was asked, or one too busy to answer in time) counts as not yet."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            value = condition()
        except GLib.Error:
            value = None
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def names(find):
    """The names of what `find` returns, for a failure's message: read after
    the condition, while the window may still be changing, so a read that
    fails is told rather than raised over the failure it explains."""
    try:
        return [each.get_name() for each in find()]
    except GLib.Error as error:
        return "(not readable now: %s)" % error.message


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
    primary = app = None
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

    def speak(self, language):
        """Runs the file manager, the extension in it and the application in
        `language`, with the application's catalogues from the build tree."""
        global HISTORY, TITLES, RESTORED, WATCHING
        words = LANGUAGES[language]
        HISTORY, TITLES = words["history"], words["titles"]
        RESTORED, WATCHING = words["restored"], words["watching"]
        self.env.update(LANGUAGE=language, LANG=words["locale"],
                        TARVINE_LOCALEDIR=os.path.join(self.build, "locale"))

    def spawn(self, argv, log_name, env=None, **kwargs):
        log = open(os.path.join(self.dir, log_name), "ab")
        process = subprocess.Popen(argv, env=env or self.env, stdout=log, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, start_new_session=True,
                                   preexec_fn=ended_with_parent, **kwargs)
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
                               stdout=log, stderr=subprocess.STDOUT, start_new_session=True,
                               preexec_fn=ended_with_parent)
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
                                    stdout=log, stderr=subprocess.STDOUT, start_new_session=True,
                                    preexec_fn=ended_with_parent)
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
        assert eventually(lambda: WATCHING in self.app_output(), STARTED), self.app_output()

    def app_output(self):
        try:
            with open(self.app_log, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def bus_has_owner(self, name):
        """Whether a process owns `name` on the session bus."""
        if "DBUS_SESSION_BUS_ADDRESS" not in self.env:
            return False
        answer = subprocess.run(
            ["gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
             "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.NameHasOwner", name],
            env=self.env, capture_output=True, text=True)
        return "true" in answer.stdout

    def report(self, screenshot=None):
        """What the run's processes said and what the screen showed, so that a
        failure on a CI machine can be understood from its output alone."""
        if screenshot and "DISPLAY" in self.env:
            path = os.path.splitext(screenshot)[0] + "-failure.png"
            try:
                self.screenshot(path, 1280, 800)
                print("the screen at the failure: " + path)
            except (OSError, subprocess.CalledProcessError):
                pass
        for process in self.processes:
            print("process %d %s: %s" % (process.pid, process.args[0], "running"
                                         if process.poll() is None
                                         else "exited with %d" % process.returncode))
        # AT-SPI in this process aborts it if the accessibility bus is not there.
        if self.bus_has_owner("org.a11y.Bus"):
            try:
                print("on the accessibility bus: " + ", ".join(
                    "%s (%s)" % (app.get_name(), process_of(app)) for app in applications()))
            except GLib.Error as error:
                print("the accessibility bus did not answer: %s" % error)
        for name in sorted(os.listdir(self.dir)):
            if name.endswith(".log"):
                with open(os.path.join(self.dir, name), errors="replace") as f:
                    text = f.read()
                print("--- %s%s\n%s" % (name, " (its end)" if len(text) > 4000 else "",
                                       text[-4000:]))
        sys.stdout.flush()

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

    def show(self, launch, shown, what):
        """Launches the file manager with `launch()` until `shown()` returns
        what shows `what`, and returns that. The first launch is the process
        that shows every folder (`primary`, its application `app`); a later
        one hands its folder to that process and leaves. A launch that shows
        nothing in time is ended and made once more: a first start once
        stalled at "Loading…", another failed to reach the display. A primary
        that ends meanwhile is not waited for."""
        for attempt in range(2):
            process = launch()
            if self.primary is None or self.primary.poll() is not None:
                self.primary, self.app = process, None
            primary = self.primary
            found = eventually(lambda: shown() or (primary.poll() is not None and ENDED), STARTED)
            if found and found is not ENDED:
                return found
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        raise AssertionError("%s did not show %s" % (self.program, what))

    def primary_app(self, name):
        """The accessibility application of the primary process, once it is
        there (None before): matched by process, as another instance of the
        program (one handing over its folder, or leaving) may be there too."""
        if self.app is None and self.primary is not None:
            self.app = application(name, 0, pid=self.primary.pid)
        return self.app

    def reveal_submenu(self):
        """Shows the History submenu for the picture, where it is not shown yet,
        and returns once it shows."""

    def press(self, entry):
        entry.get_action_iface().do_action(0)

    def close_menu(self):
        self.key("Escape")
        # Closed menus may stay in the accessibility tree (GTK 4), but not showing.
        eventually(lambda: not any(showing(e) for e in self.history_entries() or []), ANSWERED)

    def missing(self):
        """What this machine lacks to run the file manager, or None."""
        if not shutil.which(self.program) or not shutil.which("Xvfb"):
            return "needs %s and Xvfb" % self.program
        if self.needs_root and os.geteuid() != 0:
            return "needs root, for a private mount namespace"
        return self.missing_locale()

    def missing_locale(self):
        """The session's locale when this machine has not generated it, or None."""
        locales = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout
        wanted = self.env["LANG"].lower().replace("-", "")
        if wanted not in locales.lower().split():
            return "needs the %s locale (scripts/install-deps.sh)" % self.env["LANG"]
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

        def menu(label):
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

        def shown_menu(open_menu, label):
            """The History submenu that `open_menu` shows, checked against the
            menu table. A click while the last menu is still closing can be
            taken for the close: the menu is asked for once more."""
            for attempt in range(2):
                open_menu()
                seen = eventually(lambda: menu(label), ANSWERED)
                if seen:
                    break
                self.close_menu()
            test.assertIsNotNone(seen, label)
            test.assertEqual(seen[:2], expected(label), label)
            return seen

        def reaches_app(text, seen_before=0):
            test.assertTrue(eventually(
                lambda: self.app_output().count(text) > seen_before, ANSWERED), self.app_output())

        # The first menu of a fresh process (Dolphin loads its plugins only now)
        # is one that must show History: the extension knows at once whether the
        # application runs.
        top = self.open_folder(base)
        activations = [("folder outside every root", "outside", TITLES[0], "enableHistory"),
                       ("root", "watched", TITLES[2], "snapshotNow")]
        for label, name, entry, kind in activations:
            seen = shown_menu(lambda: self.item_menu(top, name), label)
            if screenshot and label == "root":
                self.reveal_submenu()
                self.screenshot(screenshot, *self.screenshot_size)
                seen = eventually(lambda: menu(label), ANSWERED)
                test.assertIsNotNone(seen, label)
            self.press(seen[2][entry])
            reaches_app("request %s %s/%s" % (kind, base, name))
            self.close_menu()

        self.item_menu(top, "loose.txt")
        test.assertIsNone(menu("file outside every root"), "file outside every root")
        self.close_menu()

        inner = self.open_folder(os.path.join(base, "watched"))
        seen = shown_menu(lambda: self.item_menu(inner, "file.txt"), "file inside the root")
        activated = self.app_output().count("activated")
        self.press(seen[2][TITLES[4]])
        reaches_app("request showHistory %s/watched/file.txt" % base)
        reaches_app("activated", activated)
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
            restored = self.app_output().count(RESTORED)
            seen = shown_menu(lambda: self.item_menu(inner, "file.txt"), "file inside the root")
            self.press(seen[2][TITLES[3]])
            reaches_app(RESTORED, restored)
            with open(edited) as f:
                test.assertEqual(f.read(), content)
            self.close_menu()

        shown_menu(lambda: self.background_menu(inner), "background of the root")
        self.close_menu()
        # Enable wrote a bookmark that resolves; nothing is left in the spool.
        test.assertIn("request enableHistory %s/outside bookmark=yes (resolves)" % base,
                      self.app_output())
        test.assertEqual(os.listdir(os.path.join(self.container, "requests")), [])

    def expect_history_window(self, test, name):
        """The application shows Show History's target in the history window,
        which is then closed, so that it covers nothing of the file manager."""
        window = application("tarvine-history", STARTED)
        test.assertIsNotNone(window, self.app_output())
        test.assertTrue(eventually(lambda: any(
            f.get_name() == name + " \u2013 " + HISTORY for f in descendants(window, "frame")),
            ANSWERED))
        pid = process_of(window)
        test.assertIsNotNone(pid)
        os.kill(pid, signal.SIGTERM)
        test.assertTrue(eventually(lambda: not any(
            process_of(app) == pid for app in applications("tarvine-history")), ANSWERED))

    # -- input and pictures --------------------------------------------------

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, check=True)

    def click(self, x, y, button=1):
        # One connection to the display keeps the move before the click.
        # (xdotool's --sync waits 15 s for a move that is not needed.)
        self.xdotool("mousemove", str(x), str(y), "click", str(button))

    def key(self, name):
        self.xdotool("key", name)

    def screenshot(self, path, width=920, height=560):
        """The top left of the screen, where the window is."""
        subprocess.run(["import", "-window", "root", "-crop", "%dx%d+0+0" % (width, height),
                        "+repage", path], env=self.env, check=True)

    def pixels(self, width, height):
        return subprocess.run(["import", "-window", "root", "-crop", "%dx%d+0+0" % (width, height),
                               "+repage", "rgb:-"], env=self.env, check=True,
                              capture_output=True).stdout

    def settle(self, before, width, height):
        """Waits until the top left of the screen has changed from `before`
        (its pixels) and stopped changing: an animation that AT-SPI does not
        report has ended."""
        last = [before]

        def settled():
            now = self.pixels(width, height)
            done = now != before and now == last[0]
            last[0] = now
            return done
        eventually(settled, ANSWERED, step=0.2)


# -- AT-SPI ------------------------------------------------------------------

def applications(name=None):
    """The applications on the accessibility bus (those whose name contains
    `name`, if given). One that leaves while they are listed (a second
    instance handing its folder to the first, a window being closed) is left
    out rather than failing the whole list."""
    desktop = Atspi.get_desktop(0)
    found = []
    for i in range(desktop.get_child_count()):
        try:
            app = desktop.get_child_at_index(i)
            if app is None:
                continue
            app_name = app.get_name() or ""
        except GLib.Error:
            continue
        if name is None or name in app_name:
            found.append(app)
    return found


def process_of(app):
    """The process id of an application, or None once it has gone."""
    try:
        return app.get_process_id()
    except GLib.Error:
        return None


def application(name, seconds=20, pid=None):
    """The application whose name contains `name` (and whose process is `pid`,
    if given), waiting up to `seconds` for it; or None."""
    def find():
        for app in applications(name):
            if pid is None or process_of(app) == pid:
                return app
        return None
    return eventually(find, seconds)


class Row:
    """A list row as it was read once: its name and its middle in window
    coordinates (GTK 4 has no others under X11, and the window sits at the
    screen's top left with no window manager). A list view makes its rows
    again whenever its model changes, so a row asked later may be gone; what
    a test checks and clicks is what it saw."""

    def __init__(self, node):
        extents = node.get_extents(Atspi.CoordType.WINDOW)
        self.name = node.get_name() or ""
        self.width = extents.width
        self.point = (extents.x + extents.width // 2, extents.y + extents.height // 2)

    def get_name(self):
        return self.name


def shown_rows(within, start=""):
    """The rows in sight under `within` whose names start with `start`, top to
    bottom, each read at once. (A list view keeps a few rows made beyond those
    in sight, placed nowhere.) Empty while the list is being filled again."""
    try:
        rows = [Row(node) for node in descendants(within, "list item")]
    except GLib.Error:
        return []
    rows = [r for r in rows if r.width > 0 and r.name.startswith(start)]
    return sorted(rows, key=lambda r: r.point[1])


def descendants(root, role=None, name=None, prune=()):
    """The nodes under `root`, and itself, of the role (or one of the roles)
    and the name given, if given. A node whose role is in `prune` is found
    but not walked into: a walk that leaves out what cannot hold its target
    (a menu bar of hundreds of items) makes that many fewer calls into an
    application that may be slow to answer. A node gone meanwhile is
    skipped, with all under it."""
    roles = (role,) if isinstance(role, str) else role
    found = []
    stack = [root]
    while stack:
        node = stack.pop()
        if node is None:
            continue
        try:
            node_role = node.get_role_name() if role is not None or prune else None
            if (roles is None or node_role in roles) and \
                    (name is None or node.get_name() == name):
                found.append(node)
            if node is root or node_role not in prune:
                stack.extend(node.get_child_at_index(i) for i in range(node.get_child_count()))
        except GLib.Error:
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


def visible(node):
    return node.get_state_set().contains(Atspi.StateType.VISIBLE)


def untick(name):
    return name[2:] if name.startswith("\u2713 ") else name


def history_entries(app, through_showing_item=False, prune=()):
    """The entries of the History submenu, in menu order, or None when there
    is none. Where the toolkit keeps menus that are not open in the tree but
    reports what shows (GTK 3), they are the entries under a showing "History"
    item; elsewhere (GTK 4) the enable entry and its siblings. What has a role
    in `prune` is not looked into."""
    if through_showing_item:
        for item in descendants(app, None, HISTORY, prune):
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


def run_once(session, play, name, screenshot=None, missing=None):
    """Runs `play(test)` in `session` as one test case called `name`, with
    the session's report (and a picture of the screen) on failure; or reports
    it skipped (for ctest) when what it needs is missing."""
    reason = missing if missing is not None else session.missing()
    if reason:
        session.close()
        print("skipped: " + reason)
        sys.exit(SKIP)

    def test(self):
        # Ended from outside (a timeout, an interrupted run), it still closes
        # the session: its servers, and what the bus started, go with it.
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
        try:
            session.start()
            play(self)
        except BaseException:
            session.report(screenshot)
            raise
        finally:
            session.close()

    case = type("Real" + type(session).__name__, (unittest.TestCase,), {"test_" + name: test})
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(case)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


def run(session, screenshot, rest):
    """Runs the file manager's scenario in `session`."""
    run_once(session, lambda test: session.run_scenario(test, screenshot), "menus_and_commands",
             screenshot)
