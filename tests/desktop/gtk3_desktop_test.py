"""The extension in the real GTK 3 file managers, headless: Nemo, Caja and
Thunar, each with the shared scenario. GTK 3 reaches AT-SPI through the ATK
bridge; an item is selected through the view's selection and its menu opened
with Shift+F10, as Nemo's icons have no usable screen position."""

import argparse
import os
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop_session as ds  # noqa: E402

BUILD = None
MODULE = None
MANAGER = None
EXTENSION_DIR = None
SCREENSHOT = None


class Gtk3FileManager:
    """A GTK 3 file manager: how it is started and given the module differs;
    how its menus are opened and read does not."""

    shows_state_in_title = True  # no check marks in these extension APIs

    def __init__(self, desktop, name):
        self.desktop, self.name = desktop, name
        self.modules = os.path.join(desktop.dir, "extensions")
        os.makedirs(self.modules)
        shutil.copy(MODULE, self.modules)
        self.env = dict(desktop.env, GTK_MODULES="gail:atk-bridge")
        self.app = None
        # Thunar shows every entry as enabled, so the module leaves disabled ones out.
        self.omits_disabled_entries = name == "thunar"
        self.folders = []  # (view, the folder it shows)

    def launch(self, folder):
        if self.name == "caja":
            self.env["CAJA_EXTENSION_DIRS"] = self.modules
            return self.desktop.spawn(["caja", "--no-desktop", folder], "caja.log", env=self.env)
        argv = ["nemo", folder]
        if self.name == "thunar":
            # Thunar's icon view has no accessible items; its list view has.
            ds.subprocess.run(["xfconf-query", "-c", "thunar", "-p", "/default-view", "-n",
                               "-t", "string", "-s", "ThunarDetailsView"], env=self.env,
                              check=True)
            argv = ["thunar", folder]
        # Nemo reads only its compiled-in folder, and Debian's Thunar ignores
        # THUNARX_DIRS (built without custom folders): the module is bound over
        # that folder in a private mount namespace, so the system is not written.
        script = 'mount --bind "$1" "$2" && exec "$3" "$4"'
        return self.desktop.spawn(["unshare", "-m", "--propagation", "private", "sh", "-c",
                                   script, "sh", self.modules, EXTENSION_DIR, *argv],
                                  self.name + ".log", env=self.env)

    def open_folder(self, folder):
        name = os.path.basename(folder)

        def view():
            self.app = self.app or ds.application(self.name, 1)
            if self.app is None:
                return None
            for frame in ds.descendants(self.app, "frame"):
                if name in (frame.get_name() or ""):
                    # Icons in a layered pane (Nemo, Caja), or rows of a table
                    # under its column headers (Thunar's details view).
                    for view in ds.descendants(frame, "layered pane") + ds.descendants(frame,
                                                                                    "table"):
                        names = [view.get_child_at_index(i).get_name()
                                 for i in range(view.get_child_count())]
                        if "loose.txt" in names or "file.txt" in names or "Type" in names:
                            self.folders.append((view, folder))
                            return view
            return None

        for attempt in range(2):  # a first start can fail to reach the display: once more
            process = self.launch(folder)
            found = ds.eventually(view, 20)
            if found:
                return found
            process.kill()
        raise AssertionError("%s did not show %s" % (self.name, folder))

    def child_index(self, view, name):
        names = [view.get_child_at_index(i).get_name() for i in range(view.get_child_count())]
        if view.get_role_name() != "table":
            return names.index(name)
        # Thunar's name cells have no accessible name: the row is found by the
        # view's order (folders first, then by name), its type cell checked.
        folder = next(path for shown, path in self.folders if shown == view)
        entries = sorted(os.listdir(folder),
                         key=lambda n: (not os.path.isdir(os.path.join(folder, n)), n.lower()))
        columns = names.index("Type") + 2  # Name, Size, Type, Date Modified
        row = entries.index(name)
        is_folder = names[columns * (row + 1) + 2] == "folder"
        assert is_folder == os.path.isdir(os.path.join(folder, name)), (name, names)
        return row

    def open_menu(self, view):
        # The keyboard opens the menu of the focused view's selection.
        ds.Atspi.Component.grab_focus(view)
        time.sleep(0.3)
        self.desktop.key("shift+F10")

    def item_menu(self, view, name):
        view.clear_selection()
        index = self.child_index(view, name)
        if view.get_role_name() == "table":
            assert ds.Atspi.Table.add_row_selection(view, index), name
        else:
            assert view.select_child(index), name
        self.open_menu(view)

    def background_menu(self, view):
        view.clear_selection()
        if view.get_role_name() == "table":
            for row in ds.Atspi.Table.get_selected_rows(view):
                ds.Atspi.Table.remove_row_selection(view, row)
        self.open_menu(view)

    def history_entries(self):
        return ds.history_entries(self.app, through_showing_item=True)

    def reveal_submenu(self):
        pass

    def press(self, entry):
        entry.get_action_iface().do_action(0)

    def close_menu(self):
        self.desktop.key("Escape")
        time.sleep(0.3)


class RealFileManager(unittest.TestCase):
    def test_menus_and_commands(self):
        desktop = ds.Desktop(BUILD, ["org.xfce.Xfconf"] if MANAGER == "thunar" else [])
        try:
            desktop.start()
            ds.run_scenario(self, desktop, Gtk3FileManager(desktop, MANAGER), SCREENSHOT)
        finally:
            desktop.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--manager", required=True, choices=["nemo", "caja", "thunar"])
    parser.add_argument("--module", required=True)
    parser.add_argument("--extension-dir")
    parser.add_argument("--screenshot")
    args, rest = parser.parse_known_args()
    BUILD, MODULE, MANAGER = os.path.abspath(args.build), os.path.abspath(args.module), args.manager
    EXTENSION_DIR, SCREENSHOT = args.extension_dir, args.screenshot
    needs_root = MANAGER != "caja"  # for the private mount namespace
    ready = shutil.which(MANAGER) and shutil.which("Xvfb") and not (needs_root and os.geteuid())
    ds.run_tests(rest, None if ready else "needs %s and Xvfb%s"
                 % (MANAGER, " and root" if needs_root else ""))
