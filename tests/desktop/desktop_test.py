"""The extension in a real file manager, headless: Nautilus, Nemo, Caja,
Thunar or Dolphin, each through the same scenario (desktop_session.Session).
Each class here says only how its file manager is started with the module and
how its menus are opened and read. The system is never written to: modules
are bound over their file manager's folder in a private mount namespace, or
found through the file manager's own search path.

Usage: desktop_test.py --build DIR --manager NAME --module FILE
                       [--extension-dir DIR] [--screenshot PNG] [--language en|de]"""

import argparse
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop_session as ds  # noqa: E402
from gi.repository import GLib  # noqa: E402


class Nautilus(ds.Session):
    """Nautilus 43 (GTK 4): menus are popovers in the accessibility tree."""

    program = "nautilus"

    def __init__(self, *args):
        super().__init__(*args)
        self.places = {}

    def open_folder(self, folder):
        name = os.path.basename(folder)

        def frame():
            app = self.primary_app("org.gnome.Nautilus")
            for window in ds.descendants(app, "frame", name) if app else []:
                if ds.descendants(window, "table cell"):
                    return window
            return None

        return self.show(lambda: self.in_mount_namespace(
            ["nautilus", "--new-window", folder], "nautilus.log"), frame, folder)

    def item_menu(self, frame, name):
        # Nautilus keeps every popover it showed in the tree, so walking it
        # slows with each menu: an item's place, which does not move, is kept.
        key = (frame.get_name(), name)
        if key not in self.places:
            cells = ds.descendants(frame, "table cell", name)
            assert cells, "no item " + name
            self.places[key] = ds.centre(cells[-1])
        self.click(*self.places[key], 3)

    def background_menu(self, frame):
        grid = ds.descendants(frame, "table")[0]
        extents = grid.get_extents(ds.Atspi.CoordType.SCREEN)
        self.click(extents.x + extents.width - 30, extents.y + extents.height - 30, 3)

    def history_entries(self):
        return ds.history_entries(self.app)

    def reveal_submenu(self):
        """Slides the popover to the History page: up from the top wraps to
        Properties, once more is History. GTK 4 tells AT-SPI nothing of the
        slide, so the screen is watched until it ends."""
        before = self.pixels(*self.screenshot_size)
        self.xdotool("key", "--delay", "200", "Up", "Up", "Right")
        self.settle(before, *self.screenshot_size)

    def close_menu(self):
        # Walking Nautilus's whole tree to see the popover go costs more than
        # the retry of a menu whose first click it swallowed.
        self.key("Escape")


class Gtk3FileManager(ds.Session):
    """Nemo, Caja and Thunar (GTK 3), reached through the ATK bridge. An item
    is selected through the view's selection and its menu opened with
    Shift+F10, as Nemo's icons have no usable screen position."""

    def __init__(self, *args):
        super().__init__(*args)
        self.env = dict(self.env, GTK_MODULES="gail:atk-bridge")
        self.shown = []  # (view, the folder it shows)

    def launch(self, folder):
        return self.in_mount_namespace([self.program, folder], self.program + ".log",
                                       env=self.env)

    def open_folder(self, folder):
        name = os.path.basename(folder)

        def view():
            app = self.primary_app(self.program)
            # The windows are the application's children (a context menu is
            # one too); their menu bars are most of what is in them, and hold
            # no view.
            windows = ds.descendants(app, "frame", prune=("frame", "window")) if app else []
            for frame in windows:
                if name not in (frame.get_name() or ""):
                    continue
                # Icons in a layered pane (Nemo, Caja), or rows of a table
                # under its column headers (Thunar's details view).
                for view in ds.descendants(frame, ("layered pane", "table"), prune=("menu bar",)):
                    names = self.names(view)
                    if "loose.txt" in names or "file.txt" in names or "Type" in names:
                        self.shown.append((view, folder))
                        return view
            return None

        return self.show(lambda: self.launch(folder), view, folder)

    @staticmethod
    def names(view):
        children = (view.get_child_at_index(i) for i in range(view.get_child_count()))
        return [child.get_name() if child is not None else None for child in children]

    def select(self, view, name):
        assert view.select_child(self.names(view).index(name)), name

    def open_menu(self, view):
        # The keyboard opens the menu of the focused view's selection. The
        # view has the focus once grab_focus returns; it says so only while
        # its window is the active one, which no window manager keeps here.
        ds.Atspi.Component.grab_focus(view)
        self.key("shift+F10")

    def item_menu(self, view, name):
        view.clear_selection()
        self.select(view, name)
        self.open_menu(view)

    def background_menu(self, view):
        view.clear_selection()
        self.open_menu(view)

    def history_entries(self):
        # A context menu is a window of its own beside the folders' windows,
        # which need not be walked.
        return ds.history_entries(self.app, through_showing_item=True, prune=("frame",))


class Nemo(Gtk3FileManager):
    """Nemo reads only its compiled-in folder: the module is bound over it."""

    program = "nemo"


class Caja(Gtk3FileManager):
    """Caja reads the folders CAJA_EXTENSION_DIRS names, and then always its
    own: a module installed there (by `make install` or the tarvine-caja
    package) would be loaded beside the one under test, and two copies of the
    module end Caja as it starts. As root, where that folder exists, the
    module's folder is bound over it, as for Nemo. Otherwise the environment
    names the module's folder; without root, that is only right while no
    Tarvine module is installed in Caja's."""

    program = "caja"

    @property
    def needs_root(self):
        return os.path.exists(os.path.join(self.extension_dir, os.path.basename(self.module)))

    def launch(self, folder):
        argv = ["caja", "--no-desktop", folder]
        if os.path.isdir(self.extension_dir) and os.geteuid() == 0:
            return self.in_mount_namespace(argv, "caja.log", env=self.env)
        self.env["CAJA_EXTENSION_DIRS"] = self.install_module()
        return self.spawn(argv, "caja.log", env=self.env)


class Thunar(Gtk3FileManager):
    """Debian's Thunar ignores THUNARX_DIRS: the module is bound over its folder.
    It shows every entry as enabled, so the module leaves disabled ones out;
    its icon view has no accessible items, so the details view is used."""

    program = "thunar"
    services = ("org.xfce.Xfconf",)
    omits_disabled_entries = True

    def launch(self, folder):
        subprocess.run(["xfconf-query", "-c", "thunar", "-p", "/default-view", "-n", "-t",
                        "string", "-s", "ThunarDetailsView"], env=self.env, check=True)
        return super().launch(folder)

    def select(self, view, name):
        # The name cells have no accessible name: the row is found by the view's
        # order (folders first, then by name), its type cell checked.
        names = self.names(view)
        folder = next(path for shown, path in self.shown if shown == view)
        entries = sorted(os.listdir(folder),
                         key=lambda n: (not os.path.isdir(os.path.join(folder, n)), n.lower()))
        columns = names.index("Type") + 2  # Name, Size, Type, Date Modified
        row = entries.index(name)
        is_folder = names[columns * (row + 1) + 2] == "folder"
        assert is_folder == os.path.isdir(os.path.join(folder, name)), (name, names)
        assert ds.Atspi.Table.add_row_selection(view, row), name

    def background_menu(self, view):
        for row in ds.Atspi.Table.get_selected_rows(view):
            ds.Atspi.Table.remove_row_selection(view, row)
        super().background_menu(view)


class Dolphin(ds.Session):
    """KDE's Dolphin: the plugin is found through QT_PLUGIN_PATH. Qt joins
    AT-SPI only when the accessibility bus starts after its window shows, and
    its context menus are not in the tree: they are caught by their "showing"
    events."""

    program = "dolphin"
    needs_root = False
    accessibility_service = False
    shows_state_in_title = False  # Dolphin shows a check mark
    screenshot_size = (1060, 640)  # the submenu opens to the right
    LAUNCHER = "/usr/libexec/at-spi-bus-launcher"

    def __init__(self, *args):
        super().__init__(*args)
        plugins = os.path.join(self.dir, "plugins")
        os.makedirs(os.path.join(plugins, "kf5", "kfileitemaction"))
        shutil.copy(self.module, os.path.join(plugins, "kf5", "kfileitemaction"))
        self.env = dict(self.env, QT_PLUGIN_PATH=plugins, QT_QPA_PLATFORM="xcb",
                        QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        self.view = self.listener = None
        self.popups = []  # menus that showed, newest last

    def missing(self):
        if not os.path.exists(self.LAUNCHER):
            return "needs the accessibility bus launcher"
        return super().missing()

    def _showing(self, event):
        if event.detail1 == 1 and event.source.get_role_name() in ("popup menu", "menu"):
            self.popups.append(event.source)

    def pump_until(self, condition, seconds):
        """Lets AT-SPI's events arrive until `condition` holds or time is up."""
        deadline = time.monotonic() + seconds
        context = GLib.MainContext.default()
        while not condition() and time.monotonic() < deadline:
            if not context.iteration(False):
                time.sleep(0.02)
        return condition()

    def open_folder(self, folder):
        name = os.path.basename(folder)
        if self.view is not None:
            # A later folder is entered in the same window (the scenario's are
            # children of the first): a second window could be a second
            # process, which would first have to learn who owns the bus name.
            x, y = self._name_of(ds.descendants(self.view, "table cell", name)[0])
            self.xdotool("mousemove", str(x), str(y), "click", "--repeat", "2", "--delay", "80",
                         "1")
            return self._view(name)

        def window():
            return subprocess.run(["xdotool", "search", "--name", "^%s" % name], env=self.env,
                                  capture_output=True).returncode == 0

        # Dolphin once aborted unable to reach the display: show() tries again.
        self.show(lambda: self.spawn(["dolphin", "--new-window", folder], "dolphin.log",
                                     env=self.env), window, folder)
        if not any(p.args[0] == self.LAUNCHER for p in self.processes):
            # Only now: started earlier, Dolphin never shows up on AT-SPI.
            self.spawn([self.LAUNCHER, "--launch-immediately"], "a11y.log")
            # AT-SPI in this process gives up at once if the bus is not there yet.
            assert ds.eventually(lambda: self.bus_has_owner("org.a11y.Bus"), ds.STARTED), \
                "no accessibility bus"
        return self._view(name)

    def _view(self, name):
        def view():
            for app in ds.applications("dolphin"):
                for frame in ds.descendants(app, "frame", name):
                    tables = [t for t in ds.descendants(frame, "table") if t.get_child_count()]
                    if tables:
                        self.app, self.view = app, tables[0]
                        return tables[0]
            return None

        found = ds.eventually(view, ds.STARTED)
        assert found, "Dolphin did not show " + name
        if self.listener is None:  # once the accessibility bus is there
            self.listener = ds.Atspi.EventListener.new(self._showing)
            self.listener.register("object:state-changed:showing")
        return found

    def _right_click(self, x, y):
        self.popups.clear()
        self.click(x, y, 3)
        self.pump_until(lambda: self.popups, 2)

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

    @staticmethod
    def _items(menu):
        return [menu.get_child_at_index(i) for i in range(menu.get_child_count())]

    def history_entries(self):
        self.pump_until(lambda: self.popups, 0.2)
        if not self.popups:
            return None
        item = next((i for i in self._items(self.popups[0])
                     if i is not None and i.get_name() == ds.HISTORY), None)
        if item is None:
            return None
        if len(self.popups) < 2:
            # The pointer onto "History" in a few steps opens its submenu reliably.
            x, y = ds.centre(item)
            for step in range(4, -1, -1):
                self.xdotool("mousemove", "--sync", str(x - 10 * step), str(y))
                self.pump_until(lambda: len(self.popups) >= 2, 0.1)
            self.pump_until(lambda: len(self.popups) >= 2, 0.5)
        if len(self.popups) < 2:
            return None
        entries = [e for e in self._items(self.popups[-1])
                   if e is not None and e.get_name() in ds.TITLES]
        return entries or None

    def reveal_submenu(self):
        self.history_entries()

    def close_menu(self):
        # An entry pressed through AT-SPI leaves the menu open.
        self.xdotool("key", "--delay", "100", "Escape", "Escape", "Escape")
        self.popups.clear()


SESSIONS = {cls.program: cls for cls in (Nautilus, Nemo, Caja, Thunar, Dolphin)}

if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--manager", required=True, choices=sorted(SESSIONS))
    parser.add_argument("--module", required=True)
    parser.add_argument("--extension-dir", default="")
    parser.add_argument("--screenshot")
    parser.add_argument("--language", default="en", choices=sorted(ds.LANGUAGES))
    args, rest = parser.parse_known_args()
    session = SESSIONS[args.manager](os.path.abspath(args.build), os.path.abspath(args.module),
                                     args.extension_dir)
    session.speak(args.language)
    ds.run(session, args.screenshot, rest)
