#!/usr/bin/env python3
"""macos/CheckSystemLinkage.cmake with a fake otool: a library is accepted
only from the system or the bundle, and an @rpath/ one only when every
search path the binary names is the system's or the bundle's.

Usage: linkage_test.py SOURCE_ROOT
"""
import os
import re
import subprocess
import sys
import tempfile

SYSTEM = "\t/usr/lib/libc++.1.dylib (compatibility version 1.0.0, current version 1.0.0)\n"


def rpath(path):
    return ("Load command 12\n          cmd LC_RPATH\n      cmdsize 32\n"
            "         path %s (offset 12)\n" % path)


# (what, otool -L's libraries, otool -l's search paths, accepted, what the failure names)
CASES = [
    ("system libraries only", SYSTEM, [], True, None),
    ("a Homebrew library", SYSTEM + "\t/opt/homebrew/lib/libutf8proc.3.dylib (compatibility version 3.0.0)\n",
     [], False, "/opt/homebrew/lib/libutf8proc.3.dylib"),
    ("@rpath into the bundle", SYSTEM + "\t@rpath/libx.dylib (compatibility version 1.0.0)\n",
     ["@executable_path/../Frameworks", "@loader_path/../Frameworks"], True, None),
    ("@rpath with Homebrew among the search paths",
     SYSTEM + "\t@rpath/libx.dylib (compatibility version 1.0.0)\n",
     ["@executable_path/../Frameworks", "/opt/homebrew/lib"], False,
     r"@rpath/libx.dylib \(searched in /opt/homebrew/lib\)"),
    ("@rpath with no search path", SYSTEM + "\t@rpath/libx.dylib (compatibility version 1.0.0)\n",
     [], False, r"@rpath/libx.dylib \(no search path\)"),
    ("a search path outside, no @rpath library", SYSTEM, ["/opt/homebrew/lib"], True, None),
]


def main():
    root = os.path.abspath(sys.argv[1])
    failures = []
    with tempfile.TemporaryDirectory(prefix="tarvine-linkage-") as scratch:
        for what, libraries, rpaths, accepted, named in CASES:
            with open(os.path.join(scratch, "L"), "w") as f:
                f.write("binary:\n" + libraries)
            with open(os.path.join(scratch, "l"), "w") as f:
                f.write("binary:\n" + "".join(rpath(path) for path in rpaths))
            otool = os.path.join(scratch, "otool")
            with open(otool, "w") as f:
                f.write('#!/bin/sh\ncase "$1" in -L) cat "%s/L";; -l) cat "%s/l";; esac\n'
                        % (scratch, scratch))
            os.chmod(otool, 0o755)
            run = subprocess.run(["cmake", "-DBINARY=binary", "-P",
                                  os.path.join(root, "macos", "CheckSystemLinkage.cmake")],
                                 env=dict(os.environ, PATH=scratch + os.pathsep + os.environ["PATH"]),
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            if (run.returncode == 0) != accepted:
                failures.append("%s: %s\n%s" % (what, "refused" if accepted else "accepted",
                                                run.stdout))
            elif named is not None:
                if not re.search(named, run.stdout):
                    failures.append("%s: the failure does not name /%s/:\n%s"
                                    % (what, named, run.stdout))
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
