#!/usr/bin/env python3
"""Snapshots of large trees of small files (50 to a folder), against git's
command line on the same tree in the same run, and prints a Markdown table.
The machine may be shared, so each figure is CPU time (user + system) and
peak resident memory, from getrusage (the history, in
bench/SnapshotBenchmark.cpp) and GNU time (git); wall time is shown beside.

- the first snapshot, against `git add -A && git commit`;
- nothing changed, every folder read (as `tarvine snapshot` does), against
  `git add -A`;
- one file changed: as the application takes it, told by its watches which
  folder changed, and as the command line takes it, every folder read;
  against `git add -A && git commit`.

Usage: scale_bench.py BUILD_DIR [--smoke | --files N]   (--smoke: one small
tree; --files: one tree of N files)"""

import json
import os
import shutil
import subprocess
import sys
import tempfile


def ours(bench, *args):
    done = subprocess.run([bench, *args], check=True, capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def git(env, command):
    """CPU seconds, wall seconds and peak MB of a shell command running git."""
    done = subprocess.run(["/usr/bin/time", "-f", "%U %S %e %M", "sh", "-c", command], env=env,
                          check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True)
    user, system, wall, peak = done.stderr.strip().splitlines()[-1].split()
    return {"cpu_ms": (float(user) + float(system)) * 1000, "wall_ms": float(wall) * 1000,
            "peak_mb": int(peak) / 1024}


def median_of(runs):
    runs = sorted(runs, key=lambda run: run["cpu_ms"])
    return runs[len(runs) // 2]


def shown(run):
    return "%.0f ms CPU (%.0f ms wall), %.0f MB" % (run["cpu_ms"], run["wall_ms"], run["peak_mb"])


def measure(bench, work, files, repeats, rows):
    tree, history = os.path.join(work, "tree"), os.path.join(work, "history.git")
    env = dict(os.environ, GIT_DIR=os.path.join(work, "git"), GIT_WORK_TREE=tree,
               GIT_AUTHOR_NAME="b", GIT_AUTHOR_EMAIL="b@b", GIT_COMMITTER_NAME="b",
               GIT_COMMITTER_EMAIL="b@b")
    subprocess.run([bench, "make", tree, str(files)], check=True)
    subprocess.run(["git", "init", "-q"], env=env, check=True)
    # Measured without git's automatic gc, as the history's snapshot here
    # does not pack either.
    subprocess.run(["git", "config", "gc.auto", "0"], env=env, check=True)
    subprocess.run(["sync"], check=True)
    name = "%s files" % format(files, ",")

    def row(what, mine, theirs, target):
        # GNU time counts in steps of 10 ms: a smaller figure is no ratio.
        ratio = "%.2f" % (mine["cpu_ms"] / theirs["cpu_ms"]) if theirs and theirs["cpu_ms"] else ""
        rows.append((name, what, shown(mine), shown(theirs) if theirs else "", ratio, target))
        print("| %s |" % " | ".join(rows[-1]), flush=True)

    first = ours(bench, "snapshot", history, tree)
    git_first = git(env, "git add -A && git commit -q -m first")
    row("first snapshot", first, git_first, "memory < 300 MB" if files >= 1_000_000 else "")
    subprocess.run(["sync"], check=True)
    unchanged = median_of([ours(bench, "snapshot", history, tree) for _ in range(repeats)])
    git_unchanged = median_of([git(env, "git add -A") for _ in range(repeats)])
    row("nothing changed (median of %d; git: `git add -A`)" % repeats, unchanged, git_unchanged,
        "CPU ratio <= 1")
    incremental, whole, git_one = [], [], []
    for round_ in range(repeats):
        folder = "d%04d/e%02d" % (round_ % max(1, files // 2000), round_ % 40)
        path = os.path.join(tree, folder, "f%07d.txt" % (((round_ % max(1, files // 2000)) * 40 +
                                                           round_ % 40) * 50))
        for taken, command in ((incremental, [folder]), (whole, [])):
            with open(path, "a") as f:
                f.write("changed %d %d\n" % (round_, len(taken)))
            taken.append(ours(bench, "snapshot", history, tree, *command))
        git_one.append(git(env, "git add -A && git commit -q -m one"))
    row("one file changed, automatic (told the folder; median of %d)" % repeats,
        median_of(incremental), median_of(git_one), "< 20 ms CPU")
    row("one file changed, command line (every folder read)", median_of(whole),
        median_of(git_one), "")


def main():
    build = os.path.abspath(sys.argv[1])
    smoke = "--smoke" in sys.argv
    bench = os.path.join(build, "bench", "tarvine_snapshot_bench")
    sizes = [2_000] if smoke else [100_000, 300_000, 1_000_000]
    if "--files" in sys.argv:
        sizes = [int(sys.argv[sys.argv.index("--files") + 1])]
    rows = []
    # Each row as it is measured: a large tree takes minutes to make and remove.
    print("| tree | measurement | tarvine | git command line | CPU ratio | target |")
    print("| --- | --- | --- | --- | --- | --- |", flush=True)
    for files in sizes:
        work = tempfile.mkdtemp(prefix="tarvine-scale-bench-")
        try:
            measure(bench, work, files, 3 if smoke else 5, rows)
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
