#!/usr/bin/env python3
"""The macOS check must not silently weaken: each mistake here compiles and
runs on GNUstep as it was once checked, yet a Mac would refuse it or crash on
it. Each is applied to a copy of the sources, and the check must then fail
with the diagnostic that names the mistake. The check's own doubles are
guarded the same way: a class test weakened so that it no longer does what
the Finder does must fail when it runs.

Usage: check_mutations.py SOURCE_ROOT BUILD_DIR
  BUILD_DIR holds libtarvine_core.a, for the mutations that run the class test.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

WORKSPACE_OPEN = re.compile(r"NSWorkspaceOpenConfiguration\* configuration.*?completionHandler:nullptr\];",
                            re.S)

FINDER_COPY = "return doubles::finderCopy([finder menuForMenuKind:kind], finder);"

# (what a Mac would do, file, change, what the check must say[, runs the class test])
MUTATIONS = [
    ("a test clicking the class's own items, which the Finder never shows",
     ["tests/macos/FinderSyncClassTest.mm"],
     lambda s: s.replace(FINDER_COPY, "return [finder menuForMenuKind:kind];"),
     r"clicked an item the Finder did not show", True),
    ("crash on click: a menu action renamed in the header and the class",
     ["macos/FinderSync.h", "macos/FinderSync.mm"],
     lambda s: s.replace("snapshotNow:(id)sender", "takeSnapshot:(id)sender"),
     r"undeclared selector 'snapshotNow:'"),
    ("refuse to compile: AppKit used without its import",
     ["macos/AppleWorkspace.mm"],
     lambda s: s.replace("#import <AppKit/AppKit.h>\n", ""),
     r"NSRunningApplication|NSWorkspace"),
    ("warn, then refuse under -Werror: an application launched by a deprecated API",
     ["macos/AppleWorkspace.mm"],
     lambda s: WORKSPACE_OPEN.sub(
         "(void)activates;\n    [[NSWorkspace sharedWorkspace] launchApplication:[url(location) path]];", s),
     r"attempt to use a poisoned identifier\n.*launchApplication"),
    ("refuse under ARC: an explicit autorelease",
     ["macos/FinderSync.mm"],
     lambda s: s.replace("TV_AUTORELEASE([[NSMenu alloc] initWithTitle:tarvine::apple::string(model.title)])",
                         "[[[NSMenu alloc] initWithTitle:tarvine::apple::string(model.title)] autorelease]"),
     r"ARC forbids explicit message send of 'autorelease'"),
    ("refuse to compile: a method only GNUstep has",
     ["macos/AppleBundle.mm"],
     lambda s: s.replace("return text(identifier);", "return text([identifier stringByTrimmingSpaces]);"),
     r"stringByTrimmingSpaces"),
]

COPIED = ["macos", "scripts", "extension", "foundation", "platform", "shared", "requests", "tests"]


def check(tree, core=None):
    """Runs the check on a tree, only its compile stage unless given the core
    library to link the class test with: (passed, diagnostics)."""
    build = os.path.join(tree, "build")
    stages = ["--compile-only"]
    if core is not None:
        os.makedirs(build, exist_ok=True)
        os.symlink(core, os.path.join(build, "libtarvine_core.a"))
        stages = []
    run = subprocess.run([os.path.join(tree, "scripts", "macos-check.sh")] + stages + [build],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600)
    return run.returncode == 0, run.stdout


def main():
    root = os.path.abspath(sys.argv[1])
    core = os.path.join(os.path.abspath(sys.argv[2]), "libtarvine_core.a")
    failures = []
    with tempfile.TemporaryDirectory(prefix="tarvine-mutations-") as scratch:
        pristine = os.path.join(scratch, "pristine")
        for name in COPIED:
            shutil.copytree(os.path.join(root, name), os.path.join(pristine, name))
        shutil.copytree(os.path.join(root, "tools", "bundles"),
                        os.path.join(pristine, "tools", "bundles"))
        passed, output = check(pristine)
        if not passed:
            print(output)
            print("FAIL: the unchanged copy does not pass the check")
            return 1
        for index, (what, files, change, expected, *runs) in enumerate(MUTATIONS):
            tree = os.path.join(scratch, "mutant%d" % index)
            shutil.copytree(pristine, tree, ignore=shutil.ignore_patterns("build"))
            for name in files:
                path = os.path.join(tree, name)
                with open(path) as f:
                    before = f.read()
                after = change(before)
                if after == before:
                    failures.append("%s: the change no longer applies to %s" % (what, name))
                with open(path, "w") as f:
                    f.write(after)
            passed, output = check(tree, core if runs else None)
            if passed:
                failures.append("%s: the check passed" % what)
            elif not re.search(expected, output):
                failures.append("%s: the check failed without /%s/:\n%s" % (what, expected, output))
            else:
                print("caught: %s" % what)
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
