"""Every translation in po/ is complete and valid against the template the
build makes from the sources: merged with it as a translator would, each
must compile with `msgfmt --check` (placeholders and plural forms as the
English ones) with no message untranslated or fuzzy. A text marked in the
sources without its translation fails here."""

import argparse
import os
import subprocess
import sys
import tempfile
import unittest

POT = PO_DIR = None


def languages():
    with open(os.path.join(PO_DIR, "LINGUAS")) as f:
        return [line.strip() for line in f if line.strip() and not line.startswith("#")]


class Translations(unittest.TestCase):
    def test_each_translation_is_complete_and_valid(self):
        self.assertTrue(languages())
        for language in languages():
            with self.subTest(language=language), tempfile.TemporaryDirectory() as scratch:
                merged = os.path.join(scratch, language + ".po")
                subprocess.run(["msgmerge", "--quiet", "--output-file=" + merged,
                                os.path.join(PO_DIR, language + ".po"), POT], check=True)
                checked = subprocess.run(
                    ["msgfmt", "--check", "--statistics", "--output-file=/dev/null", merged],
                    capture_output=True, text=True)
                statistics = checked.stderr.strip()
                self.assertEqual(checked.returncode, 0, statistics)
                self.assertRegex(statistics, r"^\d+ translated messages?\.$",
                                 "%s.po lacks translations (msgmerge %s.po tarvine.pot "
                                 "shows which)" % (language, language))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--pot", required=True)
    parser.add_argument("--po", required=True)
    args, rest = parser.parse_known_args()
    POT, PO_DIR = args.pot, args.po
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
