#!/usr/bin/env python3
"""A large file that changes a little, through the `tarvine` command line:
a file of random bytes is watched (its first version), then rewritten in ten
places and snapshotted, ten times over, and its previous version restored.
Prints a Markdown table: how much the history grew after the first version
(loose, then after `tarvine pack`), and the peak resident memory and CPU time
of the snapshots, the restore and the pack, from GNU time.

"1 MB rewritten in 10 places" is run as both readings: 1 MB in all (ten
rewrites of 100 KB) and 1 MB at each place (10 MB a version).

Usage: large_file_bench.py BUILD_DIR [--smoke]   (--smoke: a 32 MB file, three versions)"""

import os
import random
import shutil
import subprocess
import sys
import tempfile

PLACES = 10


def measured(*args, env):
    """Peak resident memory (KB) and CPU time (s) of a command, from GNU time."""
    done = subprocess.run(["/usr/bin/time", "-f", "%M %U %S", *args], env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args), done.stderr.strip()))
    peak, user, system = done.stderr.strip().splitlines()[-1].split()
    return int(peak), float(user) + float(system)


def size_of(folder):
    total = 0
    for top, _, files in os.walk(folder):
        for name in files:
            total += os.lstat(os.path.join(top, name)).st_size
    return total


def one_reading(tarvine, size, versions, rewrite, rng):
    work = tempfile.mkdtemp(prefix="tarvine-large-file-bench-")
    try:
        env = dict(os.environ, XDG_DATA_HOME=os.path.join(work, "data"))
        folder = os.path.join(work, "folder")
        os.makedirs(folder)
        big = os.path.join(folder, "disk.img")
        with open(big, "wb") as f:
            for _ in range(size >> 20):
                f.write(os.urandom(1 << 20))
        first_kb, first_cpu = measured(tarvine, "watch", "--manual", folder, env=env)
        history = os.path.join(work, "data")
        after_first = size_of(history)
        peaks, cpus = [], []
        for _ in range(versions):
            with open(big, "r+b") as f:
                for _ in range(PLACES):
                    f.seek(rng.randrange(0, size - rewrite))
                    f.write(os.urandom(rewrite))
            kb, cpu = measured(tarvine, "snapshot", folder, env=env)
            peaks.append(kb)
            cpus.append(cpu)
        grown = size_of(history) - after_first
        restore_kb, restore_cpu = measured(tarvine, "restore", big, env=env)
        pack_kb, pack_cpu = measured(tarvine, "pack", folder, env=env)
        packed = size_of(history)
        return {
            "first": (first_kb, first_cpu, after_first),
            "snapshots": (max(peaks), sum(cpus) / len(cpus)),
            "grown": grown,
            "packed": (packed, pack_kb, pack_cpu),
            "restore": (restore_kb, restore_cpu),
        }
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    build = os.path.abspath(sys.argv[1])
    smoke = "--smoke" in sys.argv
    size, versions = ((32 << 20), 3) if smoke else ((1 << 30), 10)
    tarvine = os.path.join(build, "cli", "tarvine")
    rng = random.Random(1)
    mb = 1 << 20
    print("| a %d MB file, %d versions after the first, %d places each | 1 MB in all "
          "(100 KB a place) | 1 MB a place (10 MB a version) | target |" % (size >> 20, versions,
                                                                          PLACES))
    print("| --- | --- | --- | --- |")
    results = [one_reading(tarvine, size, versions, rewrite, rng) for rewrite in (mb // PLACES, mb)]
    rows = [
        ("first version: history size / peak memory / CPU",
         lambda r: "%d MB / %d MB / %.1f s" % (r["first"][2] / mb, r["first"][0] >> 10,
                                                r["first"][1]), ""),
        ("history grown over the %d later versions, loose" % versions,
         lambda r: "%.1f MB (%.1f MB a version)" % (r["grown"] / mb, r["grown"] / mb / versions),
         "< 50 MB"),
        ("`tarvine pack`: whole history after it / peak memory / CPU",
         lambda r: "%d MB / %d MB / %.1f s" % (r["packed"][0] / mb, r["packed"][1] >> 10,
                                                r["packed"][2]), ""),
        ("later snapshot: peak memory / CPU (mean)",
         lambda r: "%d MB / %.1f s" % (r["snapshots"][0] >> 10, r["snapshots"][1]), "< 100 MB"),
        ("restore of the previous version: peak memory / CPU",
         lambda r: "%d MB / %.1f s" % (r["restore"][0] >> 10, r["restore"][1]), "< 100 MB"),
    ]
    for what, shown, target in rows:
        print("| %s | %s | %s | %s |" % (what, shown(results[0]), shown(results[1]), target))


if __name__ == "__main__":
    main()
