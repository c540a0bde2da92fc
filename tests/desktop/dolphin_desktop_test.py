"""The extension in the real Dolphin (KDE), headless: the plugin is found
through QT_PLUGIN_PATH, so the system is never touched. Qt joins AT-SPI only
when the accessibility bus starts after its window shows, and its context
menus are not in the tree: they are caught by their "showing" events."""

import argparse
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop_session as ds  # noqa: E402
from gi.repository import GLib  # noqa: E402

BUILD = None
PLUGIN = None
SCREENSHOT = None
LAUNCHER = "/usr/libexec/at-spi-bus-launcher"


class Dolphin:
    shows_state_in_title = False  # Dolphin shows a check mark
    omits_disabled_entries = False
    screenshot_size = (1060, 640)  # the submenu opens to the right

    def __init__(self, desktop):
        self.desktop = desktop
        plugins = os.path.join(desktop.dir, "plugins")
        os.makedirs(os.path.join(plugins, "kf5", "kfileitemaction"))
        shutil.copy(PLUGIN, os.path.join(plugins, "kf5", "kfileitemaction"))
        self.env = dict(desktop.env, QT_PLUGIN_PATH=plugins, QT_QPA_PLATFORM="xcb",
                        QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        self.app = None
        self.view = None
        self.popups = []  # menus that showed, newest last
        self.listener = None

    def _showing(self, event):
        if event.detail1 == 1 and event.source.get_role_name() in ("popup menu", "menu"):
            self.popups.append(event.source)

    def pump(self, seconds):
        """Lets AT-SPI's events arrive while waiting."""
        deadline = time.monotonic() + seconds
        context = GLib.MainContext.default()
        while time.monotonic() < deadline:
            while context.iteration(False):
                pass
            time.sleep(0.02)

    def open_folder(self, folder):
        name = os.path.basename(folder)
        if self.view is not None:
            # A later folder is entered in the same window (the scenario's are
            # children of the first): a second window could be a second
            # process, which would first have to learn who owns the bus name.
            x, y = self._name_of(ds.descendants(self.view, "table cell", name)[0])
            self.desktop.xdotool("mousemove", str(x), str(y))
            self.desktop.xdotool("click", "--repeat", "2", "--delay", "80", "1")
            return self._view(name)
        for attempt in range(2):  # Dolphin once aborted unable to reach the display
            process = self.desktop.spawn(["dolphin", "--new-window", folder], "dolphin.log",
                                         env=self.env)
            shown = ds.eventually(lambda: subprocess.run(
                ["xdotool", "search", "--name", "^%s" % name], env=self.desktop.env,
                capture_output=True).returncode == 0, 20)
            if shown:
                break
            process.kill()
        if not any(p.args[0] == LAUNCHER for p in self.desktop.processes):
            # Only now: started earlier, Dolphin never shows up on AT-SPI.
            self.desktop.spawn([LAUNCHER, "--launch-immediately"], "a11y.log")
            # AT-SPI in this process gives up at once if the bus is not there yet.
            assert ds.eventually(lambda: "true" in subprocess.run(
                ["gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
                 "--object-path", "/org/freedesktop/DBus", "--method",
                 "org.freedesktop.DBus.NameHasOwner", "org.a11y.Bus"], env=self.desktop.env,
                capture_output=True, text=True).stdout, 10), "no accessibility bus"

        return self._view(name)

    def _view(self, name):
        def view():
            desktop = ds.Atspi.get_desktop(0)
            for i in range(desktop.get_child_count()):
                app = desktop.get_child_at_index(i)
                if app is None or app.get_name() != "dolphin":
                    continue
                for frame in ds.descendants(app, "frame", name):
                    tables = [t for t in ds.descendants(frame, "table") if t.get_child_count()]
                    if tables:
                        self.app, self.view = app, tables[0]
                        return tables[0]
            return None

        found = ds.eventually(view, 20)
        assert found, "Dolphin did not show " + name
        if self.listener is None:  # once the accessibility bus is there
            self.listener = ds.Atspi.EventListener.new(self._showing)
            self.listener.register("object:state-changed:showing")
        return found

    def _right_click(self, x, y):
        self.popups.clear()
        self.desktop.click(x, y, 3)
        self.pump(0.8)

    def item_menu(self, view, name):
        cells = ds.descendants(view, "table cell", name)
        assert cells, "no item " + name
        self._right_click(*self._name_of(cells[0]))

    @staticmethod
    def _name_of(cell):
        """Where an item's name is: with no icon theme here, its icon's place is empty."""
        extents = cell.get_extents(ds.Atspi.CoordType.SCREEN)
        return extents.x + extents.width // 2, extents.y + extents.height - 10

    def background_menu(self, view):
        extents = view.get_extents(ds.Atspi.CoordType.SCREEN)
        self._right_click(extents.x + extents.width - 20, extents.y + extents.height - 20)

    def _items(self, menu):
        return [menu.get_child_at_index(i) for i in range(menu.get_child_count())]

    def history_entries(self):
        self.pump(0.2)
        if not self.popups:
            return None
        for item in self._items(self.popups[0]):
            if item is not None and item.get_name() == "History":
                break
        else:
            return None
        if len(self.popups) < 2:
            # The pointer onto "History" in a few steps opens its submenu reliably.
            x, y = ds.centre(item)
            for step in range(4, -1, -1):
                self.desktop.xdotool("mousemove", str(x - 10 * step), str(y))
                self.pump(0.1)
            self.pump(0.5)
        if len(self.popups) < 2:
            return None
        entries = [e for e in self._items(self.popups[-1])
                   if e is not None and e.get_name() in ds.TITLES]
        return entries or None

    def reveal_submenu(self):
        self.history_entries()

    def press(self, entry):
        entry.get_action_iface().do_action(0)
        self.pump(0.3)

    def close_menu(self):
        # An entry pressed through AT-SPI leaves the menu open.
        for _ in range(3):
            self.desktop.key("Escape")
            time.sleep(0.1)
        self.popups.clear()


class RealDolphin(unittest.TestCase):
    def test_menus_and_commands_in_dolphin(self):
        desktop = ds.Desktop(BUILD, accessibility_service=False)
        try:
            desktop.start()
            ds.run_scenario(self, desktop, Dolphin(desktop), SCREENSHOT)
        finally:
            desktop.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--screenshot")
    args, rest = parser.parse_known_args()
    BUILD, PLUGIN, SCREENSHOT = os.path.abspath(args.build), os.path.abspath(args.plugin), \
        args.screenshot
    ready = shutil.which("dolphin") and shutil.which("Xvfb") and os.path.exists(LAUNCHER)
    ds.run_tests(rest, None if ready else "needs dolphin, Xvfb and the accessibility bus launcher")
