"""A folder as a restore must bring it back, to compare two of them."""

import hashlib
import os


def tree_of(top, leave_out=()):
    """Every file, folder and link below `top` (but folders named in
    `leave_out`): its content's hash and executable bit, or its target."""
    seen = {}
    for folder, dirs, names in os.walk(top):
        dirs[:] = [d for d in dirs if d not in leave_out]
        for name in dirs + names:
            path = os.path.join(folder, name)
            key = os.path.relpath(path, top)
            if os.path.islink(path):
                seen[key] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                seen[key] = ("folder",)
            else:
                with open(path, "rb") as f:
                    seen[key] = ("file", hashlib.sha1(f.read()).digest(),
                                 os.stat(path).st_mode & 0o111 != 0)
    return seen
