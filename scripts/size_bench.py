#!/usr/bin/env python3
"""The history's size on disk against git's after its gc, the same trees
committed to both in the same run, after sequences of snapshots:

- edits: a tree of text files, each snapshot editing a few of them;
- churn: files and folders added, deleted and renamed at every snapshot;
- automatic: many small snapshots as the application takes them, told which
  folder changed (History::snapshot with changed folders), each followed by
  a tidy as the application does;
- large file: a file kept in chunks, rewritten in ten places per version.

Every snapshot of ours is followed by a tidy, as `tarvine snapshot` and the
application do; nothing else packs. git commits with `git add -A && git
commit` (its automatic gc on), and `git gc` runs once at the end. Sizes are
of everything in each repository: packs, loose objects, indexes, the stat
cache, logs, config (git's made with an empty template: no sample hooks),
in blocks on disk (as `du`) and in bytes (as `du --apparent-size`).

Usage: size_bench.py BUILD_DIR [--smoke]   (--smoke: small trees, a few
snapshots each)"""

import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

WORDS = ("history folder version snapshot file chunk pack delta tree blob commit "
         "kept thinned restored watched changed quiet moment disk image mail store").split()


def text(rng, size):
    lines, total = [], 0
    while total < size:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randrange(4, 14)))
        lines.append(line)
        total += len(line) + 1
    return "\n".join(lines) + "\n"


class Pair:
    """One tree, its history and a git repository of the same trees."""

    def __init__(self, bench, work):
        self.bench = bench
        self.tree = os.path.join(work, "tree")
        self.history = os.path.join(work, "history.git")
        self.git_dir = os.path.join(work, "git")
        os.makedirs(self.tree)
        self.env = dict(os.environ, GIT_DIR=self.git_dir, GIT_WORK_TREE=self.tree,
                        GIT_AUTHOR_NAME="b", GIT_AUTHOR_EMAIL="b@b", GIT_COMMITTER_NAME="b",
                        GIT_COMMITTER_EMAIL="b@b")
        subprocess.run(["git", "init", "-q", "--template="], env=self.env, check=True)
        self.snapshots = 0
        self.tidy_cpu = 0.0

    def snapshot(self, changed=None):
        """A snapshot of ours (every folder read, or as the application takes
        one told that `changed` folders changed) and a tidy; a commit of git's."""
        args = [self.bench, "snapshot", self.history, self.tree]
        if changed is not None:
            args += [folder or "." for folder in changed]
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
        started = os.times()
        subprocess.run([self.bench, "tidy", self.history, self.tree], check=True)
        ended = os.times()
        self.tidy_cpu += (ended.children_user - started.children_user +
                          ended.children_system - started.children_system)
        subprocess.run("git add -A && git commit -q -m s", shell=True, env=self.env, check=True,
                       stdout=subprocess.DEVNULL)
        self.snapshots += 1

    def sizes(self):
        subprocess.run(["git", "gc", "-q"], env=self.env, check=True)
        return on_disk(self.history), on_disk(self.git_dir)


def on_disk(folder):
    blocks = apparent = 0
    for top, _, files in os.walk(folder):
        for name in files:
            info = os.lstat(os.path.join(top, name))
            blocks += info.st_blocks * 512
            apparent += info.st_size
    return blocks, apparent


def make_tree(pair, rng, files, per_folder=50):
    paths = []
    for i in range(files):
        folder = "d%03d/e%02d" % (i // (per_folder * 20), (i // per_folder) % 20)
        path = os.path.join(folder, "f%06d.txt" % i)
        os.makedirs(os.path.join(pair.tree, folder), exist_ok=True)
        with open(os.path.join(pair.tree, path), "w") as f:
            f.write(text(rng, int(rng.lognormvariate(7.5, 1.0))))
        paths.append(path)
    return paths


def edit(pair, rng, path):
    full = os.path.join(pair.tree, path)
    with open(full) as f:
        lines = f.read().splitlines(True)
    at = rng.randrange(len(lines))
    lines[at:at + 1] = [text(rng, 60), text(rng, 60)]
    with open(full, "w") as f:
        f.writelines(lines)


def edits(pair, rng, files, snapshots):
    paths = make_tree(pair, rng, files)
    pair.snapshot()
    for _ in range(snapshots):
        for path in rng.sample(paths, 3):
            edit(pair, rng, path)
        pair.snapshot()


def churn(pair, rng, files, snapshots):
    paths = make_tree(pair, rng, files)
    pair.snapshot()
    for step in range(snapshots):
        # Ten files added in a new folder, five deleted, five renamed, one
        # folder renamed and, now and then, one deleted.
        folder = "new%04d" % step
        os.makedirs(os.path.join(pair.tree, folder))
        for i in range(10):
            path = os.path.join(folder, "n%02d.txt" % i)
            with open(os.path.join(pair.tree, path), "w") as f:
                f.write(text(rng, int(rng.lognormvariate(7.5, 1.0))))
            paths.append(path)
        for path in rng.sample(paths, 5):
            os.remove(os.path.join(pair.tree, path))
            paths.remove(path)
        for path in rng.sample(paths, 5):
            renamed = path[:-4] + "-r.txt"
            os.rename(os.path.join(pair.tree, path), os.path.join(pair.tree, renamed))
            paths[paths.index(path)] = renamed
        folders = sorted({os.path.dirname(p) for p in paths if os.path.dirname(p)})
        old = rng.choice(folders)
        new = old + "r"
        os.rename(os.path.join(pair.tree, old), os.path.join(pair.tree, new))
        paths = [new + p[len(old):] if p.startswith(old + "/") else p for p in paths]
        if step % 5 == 4:
            gone = rng.choice(sorted({os.path.dirname(p) for p in paths if os.path.dirname(p)}))
            shutil.rmtree(os.path.join(pair.tree, gone))
            paths = [p for p in paths if not p.startswith(gone + "/")]
        pair.snapshot()


def automatic(pair, rng, files, snapshots):
    paths = make_tree(pair, rng, files)
    pair.snapshot()
    for _ in range(snapshots):
        path = rng.choice(paths)
        edit(pair, rng, path)
        pair.snapshot(changed=[os.path.dirname(path)])


def large_file(pair, rng, megabytes, versions):
    path = os.path.join(pair.tree, "disk.img")
    with open(path, "wb") as f:
        for _ in range(megabytes):
            f.write(rng.randbytes(1 << 20))
    pair.snapshot()
    for _ in range(versions):
        with open(path, "r+b") as f:
            for _ in range(10):
                f.seek(rng.randrange(0, (megabytes << 20) - (100 << 10)))
                f.write(rng.randbytes(100 << 10))
        pair.snapshot()


def mb(size):
    return "%.1f MB" % (size / (1 << 20))


def main():
    build = os.path.abspath(sys.argv[1])
    smoke = "--smoke" in sys.argv
    bench = os.path.join(build, "bench", "tarvine_snapshot_bench")
    if smoke:
        plays = [("edits", "300 files, 5 snapshots editing 3 files each", edits, (300, 5)),
                 ("churn", "300 files, 5 snapshots of churn", churn, (300, 5)),
                 ("automatic", "300 files, 10 automatic snapshots", automatic, (300, 10)),
                 ("large file", "a 33 MB file, 2 versions", large_file, (33, 2))]
    else:
        plays = [("edits", "10,000 files, 100 snapshots editing 3 files each", edits,
                  (10000, 100)),
                 ("churn", "10,000 files, 50 snapshots adding, deleting and renaming files "
                  "and folders", churn, (10000, 50)),
                 ("automatic", "10,000 files, 300 automatic snapshots of one edited file", automatic,
                  (10000, 300)),
                 ("large file", "a 128 MB file, 10 versions of 10 rewrites of 100 KB",
                  large_file, (128, 10))]
    print("| sequence | history (blocks / bytes) | git after gc (blocks / bytes) | ratio "
          "(blocks / bytes) | tidy CPU, all snapshots |")
    print("| --- | --- | --- | --- | --- |")
    for name, what, play, args in plays:
        work = tempfile.mkdtemp(prefix="tarvine-size-bench-")
        try:
            pair = Pair(bench, work)
            play(pair, random.Random(7), *args)
            (ours_blocks, ours_bytes), (git_blocks, git_bytes) = pair.sizes()
            print("| %s: %s | %s / %s | %s / %s | %.2f / %.2f | %.1f s |" %
                  (name, what, mb(ours_blocks), mb(ours_bytes), mb(git_blocks), mb(git_bytes),
                   ours_blocks / git_blocks, ours_bytes / git_bytes, pair.tidy_cpu))
            sys.stdout.flush()
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
