"""`make install`'s rules, run into a scratch DESTDIR: each module lands in
its file manager's folder under the prefix, the bundle under PREFIX/lib/tarvine, and
the bundle path compiled into the module is where the bundle was installed."""

import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tools_support  # noqa: E402

BUILD = None


class InstallLayout(unittest.TestCase):
    def test_install_puts_the_module_and_the_bundle_where_they_find_each_other(self):
        with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
            prefix = re.search(r"^CMAKE_INSTALL_PREFIX:PATH=(.*)$", f.read(), re.M).group(1)
        with tempfile.TemporaryDirectory() as dest:
            for component in ("bundle", "nautilus", "nemo", "caja", "thunar", "dolphin"):
                subprocess.run(["cmake", "--install", BUILD, "--component", component],
                               env=dict(os.environ, DESTDIR=dest), check=True,
                               stdout=subprocess.DEVNULL)
            installed = {os.path.relpath(os.path.join(d, f), dest)
                         for d, _, files in os.walk(dest) for f in files}
            app = prefix.lstrip("/") + "/lib/tarvine/Tarvine.app/Contents/"
            appex = app + "PlugIns/TarvineFinderSync.appex/Contents/"
            for path in [app + "Info.plist", app + "MacOS/tarvine-app", appex + "Info.plist",
                         appex + "Resources/BrandGlyph.png",
                         appex + "Resources/en.lproj/Localizable.strings",
                         appex + "Resources/de.lproj/Localizable.strings",
                         prefix.lstrip("/") + "/share/locale/de/LC_MESSAGES/tarvine.mo"]:
                self.assertIn(path, installed)
            # The programs look for their translations where they are installed.
            with open(os.path.join(dest, prefix.lstrip("/"), "bin/tarvine"), "rb") as f:
                self.assertIn((prefix + "/share/locale").encode() + b"\0", f.read())
            self.assertTrue(os.access(os.path.join(dest, app, "MacOS/tarvine-app"), os.X_OK))
            self.assertTrue(os.access(os.path.join(dest, prefix.lstrip("/"), "bin/tarvine"),
                                      os.X_OK))
            # The history window, when built, is where `tarvine history` looks
            # for it from bin/, beside the application that starts it too.
            window = app + "MacOS/tarvine-history"
            if os.path.exists(os.path.join(BUILD, "Tarvine.app/Contents/MacOS/tarvine-history")):
                self.assertTrue(os.access(os.path.join(
                    dest, prefix.lstrip("/"), "bin/../lib/tarvine/Tarvine.app/Contents/MacOS",
                    "tarvine-history"), os.X_OK))
            else:
                self.assertNotIn(window, installed)
            # The Tarvine window likewise, which the application and `tarvine` start.
            main_window = app + "MacOS/tarvine-window"
            if os.path.exists(os.path.join(BUILD, "Tarvine.app/Contents/MacOS/tarvine-window")):
                self.assertTrue(os.access(os.path.join(dest, main_window), os.X_OK))
            else:
                self.assertNotIn(main_window, installed)
            # The session starts the application, and its bus starts it when
            # woken; its desktop entry starts it with its window.
            exec_line = "Exec=%s/lib/tarvine/Tarvine.app/Contents/MacOS/tarvine-app" % prefix
            for started_by, line in [
                    ("share/dbus-1/services/com.quillfen.tarvine.service", exec_line),
                    ("share/applications/com.quillfen.tarvine.desktop", exec_line + " --window")]:
                with open(os.path.join(dest, prefix.lstrip("/"), started_by)) as f:
                    self.assertIn(line, f.read().splitlines(), started_by)
            autostart = [p for p in installed if p.endswith("xdg/autostart/tarvine-autostart.desktop")]
            self.assertEqual(len(autostart), 1)
            for folder in ("nautilus/extensions-4/libtarvine-nautilus.so",
                           "nemo/extensions-3.0/libtarvine-nemo.so",
                           "caja/extensions-2.0/libtarvine-caja.so",
                           "thunarx-3/libtarvine-thunar.so",
                           "qt5/plugins/kf5/kfileitemaction/libtarvine-dolphin.so"):
                modules = [p for p in installed if p.endswith(folder)]
                # Only the modules this build made, each optional.
                built = os.path.exists(os.path.join(BUILD, "hosts", os.path.basename(folder)))
                self.assertEqual(len(modules), 1 if built else 0, folder)
                if not built:
                    continue
                self.assertTrue(modules[0].startswith(prefix.lstrip("/") + "/"))
                with open(os.path.join(dest, modules[0]), "rb") as f:
                    bundle = "/" + appex.rstrip("/").rsplit("/Contents", 1)[0]
                    self.assertIn(bundle.encode(), f.read(), folder)


if __name__ == "__main__":
    tools_support.main(sys.modules[__name__])
