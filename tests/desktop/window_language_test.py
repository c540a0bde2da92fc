"""The Tarvine window in German: tarvine-window under LANG=de_DE.UTF-8 (the
build's catalogues through TARVINE_LOCALEDIR), read through AT-SPI. Its
buttons, a folder's state, versions and size, and the settings' preview
are German, sizes with the locale's decimal comma; so are the folder's
history window's title, its version and its buttons. Neither window says a
GLib critical or warning.

Usage: window_language_test.py --build BUILD"""

import argparse
import os
import re

import desktop_session as ds
import main_window_test as mw

# The title bar's close button, named in German by GTK's own translation.
CLOSE = "Schlie\u00dfen"


def scenario(session, test):
    folder = os.path.join(session.folders, "Notizen")
    os.makedirs(folder)
    for name, text in (("a.txt", "eins\n" * 400), ("b.tmp", "zwei\n")):
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    session.tarvine("watch", "--manual", folder)

    session.spawn([os.path.join(session.build, mw.PROGRAM)], "app.log")
    app = ds.application("tarvine-window", ds.STARTED)
    test.assertIsNotNone(app, session.app_output())
    row = ds.eventually(lambda: session.row(app, "Notizen"), ds.STARTED)
    test.assertRegex(row or "", r"^Notizen, Manuell, 1 Version, letzter Schnappschuss .+ \(.+\), "
                                r"\d+,\d KiB, %s$" % re.escape(folder))
    for name in ("Ordner hinzuf\u00fcgen \u2026", "Jetzt Schnappschuss erstellen", "Pausieren",
                 "Verlauf", "Einstellungen \u2026", "\u00dcberwachung beenden \u2026"):
        test.assertTrue(ds.eventually(lambda: session.button(app, name), ds.ANSWERED), name)

    session.pick(app, "Notizen")
    session.press_when_sensitive(app, "Einstellungen \u2026")
    settings = ds.eventually(lambda: session.frames(app, "Notizen \u2013 Einstellungen"),
                             ds.ANSWERED)
    test.assertTrue(settings, "the folder's settings")
    test.assertTrue(ds.eventually(lambda: session.said(settings[0],
                                                       "0 von 2 Dateien ausgelassen."),
                                  ds.ANSWERED),
                    ds.names(lambda: ds.descendants(settings[0], "label")))

    session.press_when_sensitive(settings[0], CLOSE)
    test.assertTrue(ds.eventually(lambda: not session.frames(app, "Notizen \u2013 Einstellungen"),
                                  ds.ANSWERED))

    # Its history window, in German too: its title, its first version's row
    # and its buttons.
    session.pick(app, "Notizen")
    session.press_when_sensitive(app, "Verlauf")
    history = ds.application("tarvine-history", ds.STARTED)
    test.assertIsNotNone(history, "the history window")
    shown = ds.eventually(lambda: [f for f in ds.descendants(history, "frame")
                                   if f.get_name() == "Notizen \u2013 Verlauf"], ds.ANSWERED)
    test.assertTrue(shown, ds.names(lambda: ds.descendants(history, "frame")))
    rows = ds.eventually(lambda: session.rows(shown[0], "Verlauf aktiviert, "), ds.ANSWERED)
    test.assertTrue(rows, ds.names(lambda: session.rows(shown[0])))
    test.assertRegex(rows[0].get_name(), r"^Verlauf aktiviert, gerade eben \(.+\), "
                                         r"2 Dateien ge\u00e4ndert$")
    # Its policy, one whole sentence in German: no limit is "keine Gr\u00f6\u00dfengrenze".
    test.assertTrue(ds.eventually(lambda: session.said(shown[0], "Regel von Notizen: beh\u00e4lt "),
                                  ds.ANSWERED), ds.names(lambda: ds.descendants(shown[0], "label")))
    test.assertTrue(session.said(shown[0], "Regel von Notizen: beh\u00e4lt all:1d,1h:1w,1d:90d,"
                                           "1w:forever, keine Gr\u00f6\u00dfengrenze."),
                    ds.names(lambda: ds.descendants(shown[0], "label")))
    for name in ("Dateien zeigen", "Wiederherstellen", "Kopie speichern \u2026",
                 "Gel\u00f6schte Dateien"):
        test.assertTrue(ds.eventually(lambda: session.button(shown[0], name), ds.ANSWERED),
                        ds.names(lambda: ds.descendants(shown[0], "push button")))
    session.press_when_sensitive(shown[0], CLOSE)
    test.assertTrue(ds.eventually(lambda: not ds.applications("tarvine-history"), ds.ANSWERED))

    said = [line for line in session.app_output().splitlines()
            if "CRITICAL" in line or "WARNING" in line]
    test.assertEqual(said, [])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args = parser.parse_args()
    session = mw.MainWindow(os.path.abspath(args.build))
    session.speak("de")
    ds.run_once(session, lambda test: scenario(session, test), "the_window_speaks_german",
                missing=session.missing() or session.missing_locale())


if __name__ == "__main__":
    main()
