"""What the tests' own servers (sshd, an agent, a private bus, Xvfb) are
started with, so that a test killed with no chance to clean up (a ctest
timeout) leaves none of them running."""

import ctypes
import signal


def ended_with_parent():
    """In the child before it runs its program: ended by the kernel when the
    process that started it ends."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
