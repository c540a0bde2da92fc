#!/usr/bin/env python3
"""Times the history engine (the `tarvine` command line) against git's command
line on the same trees, side by side in one run, and prints a Markdown table:

- the first snapshot of a tree of mixed file sizes, against
  `git add -A && git commit`;
- a second snapshot with nothing changed, and one after 1% of the files
  changed (the stat cache should keep both small);
- the history's size on disk after many snapshots with 1% of the files
  changed each time, packed (`tarvine pack`), against git's repository for
  the same commits after `git gc`;
- the resident memory of snapshotting and of restoring one large file.

Usage: history_bench.py BUILD_DIR [--smoke]   (--smoke: a small tree, to see
that it works)"""

import os
import random
import shutil
import subprocess
import sys
import tempfile
import time


def run(*args, env=None, cwd=None):
    done = subprocess.run(args, env=env, cwd=cwd, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args), done.stderr.strip()))


def timed(*args, env=None, cwd=None):
    start = time.monotonic()
    run(*args, env=env, cwd=cwd)
    return time.monotonic() - start


def median(values):
    return sorted(values)[len(values) // 2]


def peak_kb(*args, env=None):
    """The peak resident memory of a command, from GNU time."""
    out = subprocess.run(["/usr/bin/time", "-f", "%M", *args], env=env, check=True,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return int(out.stderr.strip().splitlines()[-1])


def size_of(folder):
    total = 0
    for top, _, files in os.walk(folder):
        for name in files:
            total += os.lstat(os.path.join(top, name)).st_size
    return total


def make_tree(root, files, total_bytes, rng):
    """Mixed sizes: most files small, a few large, summing to about total_bytes."""
    weights = [rng.paretovariate(1.2) for _ in range(files)]
    scale = total_bytes / sum(weights)
    paths = []
    for i, weight in enumerate(weights):
        folder = os.path.join(root, "d%02d" % (i % 50), "e%d" % (i % 7))
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "f%05d.dat" % i)
        with open(path, "wb") as f:
            # Half text-like (compressible), half random.
            size = max(1, int(weight * scale))
            f.write(os.urandom(size // 2) + (b"line of text %d\n" % i) * (size // 32))
        paths.append(path)
    return paths


def change(paths, fraction, rng, round_):
    for path in rng.sample(paths, max(1, int(len(paths) * fraction))):
        with open(path, "ab") as f:
            f.write(b"change %d\n" % round_)


def main():
    build = os.path.abspath(sys.argv[1])
    smoke = "--smoke" in sys.argv
    files, total, rounds, big = (300, 20 << 20, 5, 32 << 20) if smoke else \
        (10_000, 1 << 30, 100, 2 << 30)
    tarvine = os.path.join(build, "cli", "tarvine")
    rng = random.Random(1)
    work = tempfile.mkdtemp(prefix="tarvine-history-bench-")
    try:
        env = dict(os.environ, XDG_DATA_HOME=os.path.join(work, "data"), GIT_AUTHOR_NAME="b",
                   GIT_AUTHOR_EMAIL="b@b", GIT_COMMITTER_NAME="b", GIT_COMMITTER_EMAIL="b@b")
        ours, theirs = os.path.join(work, "ours"), os.path.join(work, "theirs")
        paths = make_tree(ours, files, total, rng)
        shutil.copytree(ours, theirs, symlinks=True)
        run("sync")
        rows = []
        first = timed(tarvine, "watch", "--manual", ours, env=env)
        run("git", "init", "-q", theirs)
        # git's own automatic gc runs as part of its commits, as ours does in
        # its snapshots, rather than in the background.
        run("git", "config", "gc.autoDetach", "false", cwd=theirs)
        git_first = timed("sh", "-c", "git add -A && git commit -q -m first", env=env, cwd=theirs)
        rows.append(("first snapshot, %d files, %d MB" % (files, total >> 20),
                     "%.2f s" % first, "%.2f s" % git_first, "%.2f" % (first / git_first)))
        # The median of several, once the first snapshot's writes are on disk:
        # one run alone measures the disk's write-back more than the snapshot.
        run("sync")
        unchanged = median([timed(tarvine, "snapshot", ours, env=env) for _ in range(7)])
        git_unchanged = median([timed("git", "add", "-A", env=env, cwd=theirs) for _ in range(7)])
        rows.append(("second snapshot, nothing changed (median of 7; git: `git add -A`)",
                     "%.0f ms" % (unchanged * 1000), "%.0f ms" % (git_unchanged * 1000),
                     "target < 50 ms"))
        their_paths = [p.replace(ours, theirs, 1) for p in paths]
        ours_total = theirs_total = 0.0
        for round_ in range(rounds):
            state = rng.getstate()
            change(paths, 0.01, rng, round_)
            rng.setstate(state)
            change(their_paths, 0.01, rng, round_)
            ours_total += timed(tarvine, "snapshot", ours, env=env)
            theirs_total += timed("sh", "-c", "git add -A && git commit -q -m r", env=env,
                                  cwd=theirs)
        rows.append(("snapshot after 1%% of the files changed (mean of %d)" % rounds,
                     "%.0f ms" % (ours_total / rounds * 1000),
                     "%.0f ms" % (theirs_total / rounds * 1000),
                     "%.2f" % (ours_total / theirs_total)))
        run("git", "gc", "-q", "--prune=now", cwd=theirs)
        run(tarvine, "pack", ours, env=env)
        history = os.path.join(work, "data")
        ours_size, theirs_size = size_of(history), size_of(os.path.join(theirs, ".git"))
        rows.append(("history size after %d snapshots" % (rounds + 1),
                     "%d MB (after pack)" % (ours_size >> 20),
                     "%d MB (after gc)" % (theirs_size >> 20),
                     "%.2f" % (ours_size / theirs_size)))
        # One large file, snapshotted and restored.
        large = os.path.join(work, "large")
        os.makedirs(large)
        with open(os.path.join(large, "big.bin"), "wb") as f:
            for _ in range(big >> 20):
                f.write(os.urandom(1 << 20))
        snap_kb = peak_kb(tarvine, "watch", "--manual", large, env=env)
        with open(os.path.join(large, "big.bin"), "ab") as f:
            f.write(b"x")
        restore_kb = peak_kb(tarvine, "restore", os.path.join(large, "big.bin"), env=env)
        rows.append(("peak memory, a %d MB file: snapshot / restore" % (big >> 20),
                     "%d MB / %d MB" % (snap_kb >> 10, restore_kb >> 10), "",
                     "target < 100 MB"))
        print("| measurement | tarvine | git command line | ratio or target |")
        print("| --- | --- | --- | --- |")
        for row in rows:
            print("| %s |" % " | ".join(row))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
