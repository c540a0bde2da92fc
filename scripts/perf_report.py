"""Turns the benchmark results into the table of docs/PERFORMANCE.md: each
figure beside its floor, and the cold load beside Python's json.loads of the
same manifest."""

import json
import os
import sys
import time


def fastest_ns(results, name):
    """The fastest of the repetitions (see the benchmarks' "min" statistic)."""
    for b in results["benchmarks"]:
        if b["name"] == name + "_min" or (b["name"] == name and b.get("run_type") == "iteration"):
            scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
            return b["real_time"] * scale, b
    raise KeyError(name)


def python_loads_ns(path):
    """The fastest of several timed batches, as for the benchmarks."""
    data = open(path, "rb").read()
    batches = []
    for _ in range(7):
        n = max(1, int(4e6 / max(len(data), 1)))
        start = time.perf_counter()
        for _ in range(n):
            json.loads(data)
        batches.append((time.perf_counter() - start) / n)
    return min(batches) * 1e9


def fmt(ns):
    if ns >= 1e6:
        return "%.2f ms" % (ns / 1e6)
    if ns >= 1e3:
        return "%.1f µs" % (ns / 1e3)
    return "%.0f ns" % ns


def main():
    results = json.load(open(sys.argv[1]))
    data = sys.argv[2]
    stat, _ = fastest_ns(results, "FloorStat")
    print("| what | roots | target | time | floor | floor time | ratio |")
    print("| --- | ---: | --- | ---: | --- | ---: | ---: |")
    for roots in (10, 1000, 10000, 100000):
        for inside in (1, 0):
            where = "inside the last root" if inside else "outside every root"
            args = "roots:%d/inside:%d" % (roots, inside)
            scan, _ = fastest_ns(results, "FloorPrefixScan/" + args)
            menu, _ = fastest_ns(results, "MenuCacheHit/" + args)
            match, _ = fastest_ns(results, "MatchTarget/" + args)
            print("| menu request, cache hit | %d | %s | %s | stat + prefix scan | %s | %.1fx |"
                  % (roots, where, fmt(menu), fmt(stat + scan), menu / (stat + scan)))
            print("| `matchTarget` | %d | %s | %s | prefix scan | %s | %.1fx |"
                  % (roots, where, fmt(match), fmt(scan), match / scan))
    print()
    print("| roots | manifest bytes | cold `loadManifest` | decoding alone | Python `json.loads` | load / Python | decoding / Python | cached bytes | cached / file |")
    print("| ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for roots in (10, 1000, 10000, 100000):
        load, entry = fastest_ns(results, "LoadManifestMiss/roots:%d" % roots)
        decode, _ = fastest_ns(results, "DecodeManifest/roots:%d" % roots)
        path = os.path.join(data, "bench-%d" % roots, "roots.json")
        py = python_loads_ns(path)
        size = os.path.getsize(path)
        cached = entry.get("cached_bytes", 0)
        print("| %d | %d | %s | %s | %s | %.2f | %.2f | %d | %.2f |"
              % (roots, size, fmt(load), fmt(decode), fmt(py), load / py, decode / py, cached,
                 cached / size))
    print()
    print("| Nautilus provider, one selected folder | roots | provider call (interface thread, through the worker) | core cache-hit menu | host's own share |")
    print("| --- | ---: | ---: | ---: | ---: |")
    for roots in (10, 1000, 10000):
        provider, _ = fastest_ns(results, "NautilusFileItems/roots:%d" % roots)
        menu, _ = fastest_ns(results, "MenuCacheHit/roots:%d/inside:1" % roots)
        print("| `get_file_items` | %d | %s | %s | %s |"
              % (roots, fmt(provider), fmt(menu), fmt(provider - menu)))
    print()
    print("| worst interface-thread wait for one click (20 clicks, the file touched before each) | worst |")
    print("| --- | ---: |")
    cases = ("a valid 60 MB manifest being loaded again",
             "the same file truncated (the application died mid-write)",
             "a 72 MB manifest (over the 64 MiB a file manager reads)")
    for number, label in enumerate(cases):
        worst = max(b["worst_ms"] for b in results["benchmarks"]
                    if b["name"].startswith("NautilusClickWhileLoading/case:%d/" % number))
        print("| %s | %.1f ms |" % (label, worst))
    print()
    submit, _ = fastest_ns(results, "SubmitRequest")
    write, _ = fastest_ns(results, "FloorDurableWrite")
    print("| request submission with its durable write | %s | plain write, fsync, rename, fsync of the directory | %s | %.1fx |"
          % (fmt(submit), fmt(write), submit / write))


if __name__ == "__main__":
    main()
