"""What the tests of the programs share: waiting with a bound, and running a
test file against a build tree given as --build."""

import argparse
import os
import sys
import time
import unittest


def eventually(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def main(module):
    """Sets `module.BUILD` from --build and runs the module's test cases."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args, rest = parser.parse_known_args()
    module.BUILD = os.path.abspath(args.build)
    unittest.main(module=module, argv=[sys.argv[0]] + rest, verbosity=2)
