#!/usr/bin/env python3
"""The build without Xcode re-embeds and re-signs the extension whenever it or
a signing input changes, and only then: macos/EmbedExtension.cmake run on a
stand-in of the two bundles (embed/CMakeLists.txt) with a fake codesign that
records its calls.

Usage: embed_test.py SOURCE_ROOT
"""
import os
import subprocess
import sys
import tempfile

FAKE_CODESIGN = """#!/bin/sh
echo "$*" >> "%s"
"""


def main():
    root = os.path.abspath(sys.argv[1])
    failures = []
    with tempfile.TemporaryDirectory(prefix="tarvine-embed-") as scratch:
        inputs, build = os.path.join(scratch, "input"), os.path.join(scratch, "build")
        calls = os.path.join(scratch, "codesign.log")
        os.makedirs(inputs)

        def write(name, text):
            with open(os.path.join(inputs, name), "w") as f:
                f.write(text)

        for name in ("app", "extension", "app.entitlements", "extension.entitlements", "Info.plist"):
            write(name, name + " 1\n")
        codesign = os.path.join(scratch, "codesign")
        with open(codesign, "w") as f:
            f.write(FAKE_CODESIGN % calls)
        os.chmod(codesign, 0o755)
        subprocess.run(["cmake", "-S", os.path.join(root, "tests", "macos", "embed"), "-B", build,
                        "-G", "Unix Makefiles", "-DTARVINE_SOURCE=" + root,
                        "-DTARVINE_CODESIGN=" + codesign],
                       check=True, stdout=subprocess.DEVNULL)

        def rebuild():
            """Builds; the codesign calls it made, as 'extension', 'app' and 'verify'."""
            if os.path.exists(calls):
                os.remove(calls)
            subprocess.run(["cmake", "--build", build], check=True, stdout=subprocess.DEVNULL)
            if not os.path.exists(calls):
                return []
            signed = []
            for line in open(calls).read().splitlines():
                signed.append("verify" if "--verify" in line
                              else "extension" if line.endswith(".appex") else "app")
            return signed

        embedded = os.path.join(build, "Tarvine.app", "Contents", "PlugIns",
                                "TarvineFinderSync.appex", "Contents", "MacOS", "extension")
        # (what changed, the file, what the app must then hold of the extension, the signing)
        steps = [
            ("the first build", None, "extension 1\n", ["extension", "app", "verify"]),
            ("nothing", None, "extension 1\n", []),
            ("the extension", "extension", "extension 2\n", ["extension", "app", "verify"]),
            ("the extension's entitlements", "extension.entitlements", "extension 2\n",
             ["extension", "app", "verify"]),
            ("the app's entitlements", "app.entitlements", "extension 2\n",
             ["extension", "app", "verify"]),
            ("an Info.plist", "Info.plist", "extension 2\n", ["extension", "app", "verify"]),
            ("the app", "app", "extension 2\n", ["extension", "app", "verify"]),
        ]
        for step, (what, name, holds, signing) in enumerate(steps):
            if name is not None:
                write(name, "%s %d\n" % (name, step))
            signed = rebuild()
            with open(embedded) as f:
                held = f.read()
            if held != holds or signed != signing:
                failures.append("after a change to %s: the app holds %r and was signed %s; "
                                "expected %r and %s" % (what, held, signed, holds, signing))
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
