"""The programs in the user's language: under LANG=de_DE.UTF-8 (with the
build's catalogues, found through TARVINE_LOCALEDIR) the command line's and
the application's usage and errors are German, and so are the history
engine's details of a failure (while --json keeps its kinds); `tarvine
roots` and `log` show dates and sizes as German readers write them, and what
scripts and the extension read (--json, roots.json) is exactly what the C
locale writes."""

import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tools_support  # noqa: E402

BUILD = None
GROUP = "QF7T2K9M4R.com.quillfen.tarvine"
GERMAN = "de_DE.UTF-8"


def german_locale_exists():
    names = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    return any(name.lower().replace("-", "") == "de_de.utf8" for name in names)


class Language(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Without the locale the C library ignores LANG and the test would
        # prove nothing: scripts/install-deps.sh generates it.
        if not german_locale_exists():
            raise AssertionError("the %s locale is not generated (scripts/install-deps.sh)"
                                 % GERMAN)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tarvine-language-e2e-")
        self.base = dict(os.environ, XDG_DATA_HOME=os.path.join(self.dir, "data"),
                         HOME=self.dir, XDG_RUNTIME_DIR=self.dir,
                         TARVINE_LOCALEDIR=os.path.join(BUILD, "locale"))
        for name in ("LANGUAGE", "LC_ALL", "LC_MESSAGES", "LC_TIME", "LC_NUMERIC",
                     "DBUS_SESSION_BUS_ADDRESS"):
            self.base.pop(name, None)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def run_in(self, language, program, *args, data=None):
        env = dict(self.base, LANG=language)
        if data is not None:
            env["XDG_DATA_HOME"] = data
        return subprocess.run([program, *args], env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True)

    def tarvine(self, language, *args, data=None):
        return self.run_in(language, os.path.join(BUILD, "cli", "tarvine"), *args, data=data)

    def folder(self, name, size):
        root = os.path.join(self.dir, name)
        os.makedirs(root)
        with open(os.path.join(root, "notes.bin"), "wb") as f:
            f.write(bytes(range(256)) * (size // 256) + bytes(size % 256))
        return root

    def test_usage_help_and_errors_are_german(self):
        english = self.tarvine("C", "--help")
        german = self.tarvine(GERMAN, "--help")
        self.assertEqual((english.returncode, german.returncode), (0, 0))
        self.assertTrue(german.stdout.startswith("Aufruf: tarvine [--json] [--group GRUPPE] "
                                                 "BEFEHL"), german.stdout)
        # Every command is listed, and none of its English help is left.
        helps = [line[28:] for line in english.stdout.splitlines()
                 if len(line) > 28 and line[27] == " " and line[28] != " "]
        self.assertGreater(len(helps), 20)
        for line in helps:
            self.assertNotIn(line.strip(), german.stdout)
        for command in re.findall(r"^  ([a-z-]+)", english.stdout, re.M):
            self.assertRegex(german.stdout, r"(?m)^  %s\b" % re.escape(command))

        cases = [
            (("frobnicate",), 2, "tarvine: unbekannter Befehl frobnicate"),
            (("--yes", "watch", self.dir), 2, "tarvine: --yes gehört zu forget"),
            (("mode", self.dir, "sometimes"), 1, "kein Modus: sometimes"),
            (("pause", self.dir), 1, "kein überwachter Ordner: " + self.dir),
        ]
        for args, status, said in cases:
            with self.subTest(args=args):
                done = self.tarvine(GERMAN, *args)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertEqual(done.stderr.splitlines()[0], said)

        app = os.path.join(BUILD, "Tarvine.app", "Contents", "MacOS", "tarvine-app")
        self.assertTrue(self.run_in(GERMAN, app, "--help").stdout.startswith(
            "Aufruf: tarvine-app "))
        wrong = self.run_in(GERMAN, app, "--quiet-ms", "soon")
        self.assertEqual(wrong.returncode, 2)
        self.assertIn("--quiet-ms erwartet Millisekunden", wrong.stderr)

    def test_the_engines_failures_are_german_and_their_kinds_english(self):
        def cut_short(data, root, stored):
            """The loose object of `stored` (a file's name, or None for the
            newest snapshot's commit) cut to its first bytes."""
            [history] = glob.glob(os.path.join(data, GROUP, "history", "*.git"))
            if stored is None:
                [branch] = glob.glob(os.path.join(history, "refs", "heads", "*"))
                with open(branch) as f:
                    oid = f.read().strip()
            else:
                with open(os.path.join(root, stored), "rb") as f:
                    content = f.read()
                oid = hashlib.sha1(b"blob %d\0" % len(content) + content).hexdigest()
            loose = os.path.join(history, "objects", oid[:2], oid[2:])
            os.chmod(loose, 0o600)
            with open(loose, "r+b") as f:
                f.truncate(5)
            return oid

        def replaced_by_a_file(data, root):
            shutil.rmtree(root)
            with open(root, "w") as f:
                f.write("not a folder\n")

        def changed_then_commit_cut(data, root):
            with open(os.path.join(root, "notes.bin"), "ab") as f:
                f.write(b"more")
            return cut_short(data, root, None)

        # What breaks, the command, its German detail (with {root}, {oid}),
        # and the kind scripts read (a check's answer has a verdict per root).
        cases = [
            ("no earlier version", lambda data, root: None, ["restore", "{root}/notes.bin"],
             "keine frühere Version von {root}/notes.bin", "noEarlierVersion"),
            ("the folder is a file now", replaced_by_a_file, ["snapshot", "{root}"],
             "kein Ordner: {root}", "unavailable"),
            ("the newest snapshot cut short", changed_then_commit_cut, ["snapshot", "{root}"],
             "Der neueste Schnappschuss kann nicht gelesen werden: Das Objekt {oid} kann nicht "
             "gelesen werden: Seine Datei ist abgeschnitten", "damaged"),
            ("a mirror's disk not mounted", lambda data, root: None,
             ["mirror", "add", "{root}", "{root}-disk/gone/mirror.git"],
             "kein Ordner {root}-disk/gone (ist sein Datenträger eingehängt?)", "unavailable"),
            ("a file's content cut short",
             lambda data, root: cut_short(data, root, "notes.bin"), ["check", "{root}"],
             "die Datei notes.bin ({oid:.12}): Seine Datei ist abgeschnitten", None),
        ]
        for name, damage, command, detail, kind in cases:
            with self.subTest(name):
                data = os.path.join(self.dir, "data-" + name.replace(" ", "-"))
                root = self.folder("Ordner-" + name.replace(" ", "-"), 300)
                self.assertEqual(self.tarvine(GERMAN, "watch", "--manual", root,
                                              data=data).returncode, 0)
                detail = detail.format(root=root, oid=damage(data, root) or "")
                args = [part.format(root=root) for part in command]
                said = self.tarvine(GERMAN, *args, data=data)
                self.assertEqual(said.returncode, 1, said.stdout + said.stderr)
                self.assertIn(detail, said.stdout + said.stderr)
                english = self.tarvine("C", *args, data=data)
                self.assertEqual(english.returncode, 1)
                self.assertNotIn(detail, english.stdout + english.stderr)
                # Scripts read the same answer in both, but for the words.
                answers = [json.loads(self.tarvine(language, "--json", *args, data=data).stdout)
                           for language in ("C", GERMAN)]
                self.assertIn(detail, json.dumps(answers[1], ensure_ascii=False))
                if kind is None:
                    for answer in answers:
                        answer["roots"][0].pop("problems")
                    self.assertEqual(answers[0], answers[1])
                    self.assertFalse(answers[1]["roots"][0]["intact"])
                else:
                    self.assertEqual([(a["ok"], a["kind"]) for a in answers],
                                     [(False, kind)] * 2)

    def test_dates_and_sizes_follow_the_locale(self):
        root = self.folder("Notizen", 3000)
        watched = self.tarvine(GERMAN, "watch", "--manual", root)
        self.assertEqual(watched.returncode, 0, watched.stderr)
        self.assertEqual(watched.stdout.splitlines()[0], root + " wird überwacht")
        self.assertRegex(watched.stdout.splitlines()[1],
                         r"^Schnappschuss [0-9a-f]{12} von .* \(1 Datei gelesen\)$")

        date = r"\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d"
        roots = self.tarvine(GERMAN, "roots").stdout.strip()
        self.assertRegex(roots, r"^%s \(manuell\): 1 Version, (%s) bis \1, \d+,\d KiB belegt$"
                         % (re.escape(root), date))
        log = self.tarvine(GERMAN, "log", os.path.join(root, "notes.bin")).stdout.splitlines()
        self.assertEqual(log[0], "1 Version von %s/notes.bin" % root)
        self.assertRegex(log[1], r"^[0-9a-f]{12} %s hinzugefügt \(Verlauf aktiviert\), "
                                 r"3000 Bytes$" % date)
        # The same in English, as it was before any translation.
        self.assertRegex(self.tarvine("C", "roots").stdout.strip(),
                         r"^%s \(manual\): 1 version, \d{4}-\d\d-\d\d \d\d:\d\d:\d\d to .*, "
                         r"\d+\.\d KiB on disk$" % re.escape(root))

    def test_what_programs_read_is_written_alike_in_every_locale(self):
        # The same folders watched from two containers, one in each locale:
        # the manifests agree but for the moment they were published.
        roots = [self.folder("eins", 5000), self.folder("zwei", 100)]
        manifests = {}
        for language in ("C", GERMAN):
            data = os.path.join(self.dir, "data-" + language)
            for root, args in zip(roots, (["--manual"], [])):
                done = self.tarvine(language, "watch", *args, root, data=data)
                self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(self.tarvine(language, "pause", roots[1], data=data).returncode, 0)
            with open(os.path.join(data, GROUP, "roots.json"), "rb") as f:
                manifests[language] = f.read()
            # Read from the same state, scripts are told the same in both.
            for args in (["--json", "roots"], ["--json", "log", roots[0] + "/notes.bin"],
                         ["--json", "keep", roots[0]], ["--json", "thin", "--dry-run", roots[0]]):
                with self.subTest(language=language, args=args):
                    answers = [self.tarvine(name, *args, data=data) for name in ("C", GERMAN)]
                    self.assertEqual(answers[0].returncode, 0, answers[0].stderr)
                    self.assertEqual(answers[0].stdout, answers[1].stdout)
                    json.loads(answers[1].stdout)
        published = re.compile(rb'"publishedAt":"[^"]*"')
        self.assertEqual(published.sub(b"", manifests["C"]), published.sub(b"", manifests[GERMAN]))
        self.assertIn(b'"isPaused":true', manifests[GERMAN])


if __name__ == "__main__":
    tools_support.main(sys.modules[__name__])
