"""The extension in the real Nautilus 43, headless: the module is bound over
Nautilus's extension folder in a private mount namespace, so the system is
never written to; menus are read and pressed through AT-SPI."""

import argparse
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop_session as ds  # noqa: E402

BUILD = None
MODULE = None
EXTENSION_DIR = None
SCREENSHOT = None


class Nautilus:
    shows_state_in_title = True  # no check marks for extensions in Nautilus 43
    omits_disabled_entries = False

    def __init__(self, desktop):
        self.desktop = desktop
        self.modules = os.path.join(desktop.dir, "extensions")
        os.makedirs(self.modules)
        shutil.copy(MODULE, self.modules)
        self.app = None

    def launch(self, folder):
        script = 'mount --bind "$1" "$2" && exec nautilus --new-window "$3"'
        return self.desktop.spawn(["unshare", "-m", "--propagation", "private", "sh", "-c",
                                   script, "sh", self.modules, EXTENSION_DIR, folder],
                                  "nautilus.log")

    def open_folder(self, folder):
        name = os.path.basename(folder)

        def frame():
            if self.app is None:
                self.app = ds.application("org.gnome.Nautilus", 1)
            if self.app is None:
                return None
            for window in ds.descendants(self.app, "frame", name):
                if ds.descendants(window, "table cell"):
                    return window
            return None

        # A first start on a machine once stalled at "Loading…": one more try.
        for attempt in range(2):
            process = self.launch(folder)
            found = ds.eventually(frame, 20)
            if found:
                return found
            process.kill()
        raise AssertionError("Nautilus did not show " + folder)

    def item_menu(self, frame, name):
        cells = [c for c in ds.descendants(frame, "table cell", name)]
        assert cells, "no item " + name
        x, y = ds.centre(cells[-1])
        self.desktop.click(x, y, 3)

    def background_menu(self, frame):
        grid = ds.descendants(frame, "table")[0]
        extents = grid.get_extents(ds.Atspi.CoordType.SCREEN)
        self.desktop.click(extents.x + extents.width - 30, extents.y + extents.height - 30, 3)

    def history_entries(self):
        return ds.history_entries(self.app)

    def reveal_submenu(self):
        """Slides the popover to the History page, for the picture: up from
        the top wraps to Properties, once more is History."""
        for key in ("Up", "Up", "Right"):
            self.desktop.key(key)
            ds.time.sleep(0.2)

    def press(self, entry):
        entry.get_action_iface().do_action(0)

    def close_menu(self):
        self.desktop.key("Escape")


class RealNautilus(unittest.TestCase):
    def test_menus_and_commands_in_nautilus(self):
        desktop = ds.Desktop(BUILD)
        try:
            desktop.start()
            ds.run_scenario(self, desktop, Nautilus(desktop), SCREENSHOT)
        finally:
            desktop.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--extension-dir", required=True)
    parser.add_argument("--screenshot")
    args, rest = parser.parse_known_args()
    BUILD, MODULE = os.path.abspath(args.build), os.path.abspath(args.module)
    EXTENSION_DIR, SCREENSHOT = args.extension_dir, args.screenshot
    ready = os.geteuid() == 0 and shutil.which("nautilus") and shutil.which("Xvfb")
    ds.run_tests(rest, None if ready else
                 "needs root (for a private mount namespace), nautilus and Xvfb")
