#!/usr/bin/env python3
"""Measures the history window (tarvine-history) on a large folder, for real:
the window under Xvfb with the accessibility bus, as the desktop test starts
it, read through AT-SPI.

A folder of FILES small files in folders of 50 is watched with `tarvine watch
--manual` and snapshotted VERSIONS times in all, a few files changed each time
(made once, and kept in the data folder for later runs). Then, in a fresh
window process:

- the versions: the time from the start of the process until the list shows
  its first version, and until it shows all of them; the peak resident memory
  (VmHWM) and the CPU time of the process at that point;
- Show Files on the newest version: the time until the files' list shows its
  first rows, the peak memory and CPU time then;
- the filter: a name typed into the filter box, the time until the list shows
  only the matching files (a hundred of them).

Both on the history as `tarvine snapshot` leaves it (loose objects) and on a
packed copy of it (`tarvine pack`). Times are wall-clock and include AT-SPI's
polling (every 20 ms); on a shared machine they are disturbed, so the CPU time
the window's process spent on each step (answering AT-SPI included) is given
beside them. Prints a Markdown table. Skips (exit status 0, "skipped: ...")
where there is no Xvfb, no AT-SPI or no window built.

Usage: window_bench.py BUILD_DIR [--files N] [--versions N] [--data DIR] [--smoke]"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "desktop"))

PER_FOLDER = 50
WHAT = ("Manual snapshot", "History enabled", "Before a restore", "Automatic snapshot")
POLL = 0.02


def missing(build):
    if not os.access(os.path.join(build, "Tarvine.app/Contents/MacOS/tarvine-history"), os.X_OK):
        return "the history window is not built"
    if not os.access(os.path.join(build, "cli/tarvine"), os.X_OK):
        return "the tarvine command line is not built"
    for program in ("Xvfb", "dbus-daemon", "xdotool"):
        if not shutil.which(program):
            return "needs %s (no display server to measure the window on)" % program
    try:
        import gi
        gi.require_version("Atspi", "2.0")
        from gi.repository import Atspi  # noqa: F401
    except (ImportError, ValueError) as error:
        return "needs AT-SPI's Python binding: %s" % error
    if not os.path.exists("/usr/share/dbus-1/services/org.a11y.Bus.service"):
        return "needs the accessibility bus (at-spi2-core)"
    return None


def make_history(build, data, files, versions):
    """The watched folder and its history under `data`, made once for each
    size; the folder's path and the environment that finds its history."""
    name = "tree-%d-%d" % (files, versions)
    tree = os.path.join(data, name)
    env = dict(os.environ, XDG_DATA_HOME=os.path.join(data, name + "-store"))
    stamp = os.path.join(data, name + ".made")
    if os.path.exists(stamp):
        return tree, env["XDG_DATA_HOME"]
    shutil.rmtree(tree, ignore_errors=True)
    shutil.rmtree(env["XDG_DATA_HOME"], ignore_errors=True)
    tarvine = os.path.join(build, "cli/tarvine")
    for i in range(files):
        folder = os.path.join(tree, "folder-%04d" % (i // PER_FOLDER))
        if i % PER_FOLDER == 0:
            os.makedirs(folder)
        with open(os.path.join(folder, "file-%06d.txt" % i), "w") as f:
            f.write("file %d\n" % i)
    subprocess.run([tarvine, "watch", "--manual", tree], env=env, check=True,
                   stdout=subprocess.DEVNULL)
    for version in range(1, versions):
        for i in range(version, files, max(1, files // 10)):
            with open(os.path.join(tree, "folder-%04d" % (i // PER_FOLDER),
                                   "file-%06d.txt" % i), "a") as f:
                f.write("changed in version %d\n" % version)
        subprocess.run([tarvine, "snapshot", tree], env=env, check=True,
                       stdout=subprocess.DEVNULL)
    open(stamp, "w").close()
    return tree, env["XDG_DATA_HOME"]


def packed_copy(build, data, tree, store):
    """A copy of the history, packed as `tarvine pack` (and the application's
    own snapshots) leave it; made once."""
    packed = store + "-packed"
    stamp = packed + ".made"
    if not os.path.exists(stamp):
        shutil.rmtree(packed, ignore_errors=True)
        shutil.copytree(store, packed, symlinks=True)
        subprocess.run([os.path.join(build, "cli/tarvine"), "pack", tree],
                       env=dict(os.environ, XDG_DATA_HOME=packed), check=True,
                       stdout=subprocess.DEVNULL)
        open(stamp, "w").close()
    return packed


def process_figures(pid):
    """Peak resident memory in MB, and CPU time in seconds, of a process."""
    with open("/proc/%d/status" % pid) as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return peak / 1024, cpu


def first(root, test):
    """The first node under `root` (depth first, in order) for which `test`
    holds, without walking the rest."""
    from gi.repository import GLib
    stack = [root]
    while stack:
        node = stack.pop()
        try:
            if node is None:
                continue
            if test(node):
                return node
            count = node.get_child_count()
            stack.extend(node.get_child_at_index(i) for i in reversed(range(count)))
        except GLib.Error:
            continue
    return None


def measure(build, tree, store, versions, filter_text):
    import desktop_session as ds
    warnings.filterwarnings("ignore", category=DeprecationWarning)  # the *_iface calls

    class Bench(ds.Session):
        program = "tarvine-history"
        needs_root = False

        def __init__(self):
            super().__init__(build, None, None)

    session = Bench()
    results = {}
    try:
        session.start()
        session.env["XDG_DATA_HOME"] = store
        os.environ.update(session.env)
        program = os.path.join(build, "Tarvine.app/Contents/MacOS/tarvine-history")
        started = time.monotonic()
        process = session.spawn([program, tree], "window.log")
        app = ds.application("tarvine-history", ds.STARTED, pid=process.pid)
        if app is None:
            raise RuntimeError("the window did not come up")

        def rows(within, start):
            """The rows in sight whose names start with `start`, top to bottom
            (a list view keeps a few rows made beyond those, placed nowhere)."""
            found = [(ds.centre(n)[1], n) for n in ds.descendants(within, "list item")
                     if (n.get_name() or "").startswith(start) and n.get_extents(0).width > 0]
            return [n for _, n in sorted(found, key=lambda pair: pair[0])]

        def wait_for(condition, seconds=ds.STARTED):
            found = ds.eventually(condition, seconds, step=POLL)
            if not found:
                raise RuntimeError("timed out")
            return found

        wait_for(lambda: rows(app, WHAT))
        results["versions, first row"] = time.monotonic() - started
        # All of them, in sight or made just beyond it.
        wait_for(lambda: len([n for n in ds.descendants(app, "list item")
                              if (n.get_name() or "").startswith(WHAT)]) >= versions)
        results["versions, all shown"] = time.monotonic() - started
        time.sleep(1)  # what follows the showing (a follow-up load) is counted too
        results["versions, peak memory"], results["versions, CPU"] = \
            process_figures(process.pid)

        def chosen():
            # A click on the newest version (again, if the window was still busy).
            session.click(*ds.centre(rows(app, WHAT)[0]))
            found = ds.descendants(app, "push button", "Show Files")
            return found and ds.eventually(lambda: ds.sensitive(found[0]), 1) and found[0]

        button = wait_for(chosen, ds.ANSWERED).get_action_iface()
        asked, cpu_before = time.monotonic(), process_figures(process.pid)[1]
        button.do_action(0)

        def files_frame():
            # The windows are the application's children: the rest is not
            # walked, as every call asked is one the window's thread answers.
            for i in range(app.get_child_count()):
                child = app.get_child_at_index(i)
                if child is not None and (child.get_name() or "").startswith("Files of"):
                    return child
            return None

        frame = wait_for(files_frame)
        wait_for(lambda: first(frame, lambda n: n.get_role_name() == "list item" and
                               (n.get_name() or "").startswith("folder-")))
        results["files, first screen"] = time.monotonic() - asked
        time.sleep(1)
        results["files, peak memory"], cpu = process_figures(process.pid)
        results["files, CPU"] = cpu - cpu_before

        entry = first(frame, lambda n: n.get_role_name() in ("entry", "text") and
                      "Filter" in (n.get_name() or ""))
        if entry is not None:
            typed, cpu_before = time.monotonic(), process_figures(process.pid)[1]
            entry.get_editable_text_iface().set_text_contents(filter_text)
            wait_for(lambda: (lambda shown: shown and all(
                filter_text in n.get_name() for n in shown))(rows(frame, "folder-")))
            results["filter, rows shown"] = time.monotonic() - typed
            results["filter, peak memory"], cpu = process_figures(process.pid)
            results["filter, CPU"] = cpu - cpu_before
    except BaseException:
        session.report()
        raise
    finally:
        session.close()
    return results


def measured(build, tree, store, versions, filter_text):
    """measure() in a process of its own: AT-SPI's client keeps to the first
    bus it was given."""
    done = subprocess.run([sys.executable, "-B", os.path.abspath(__file__), build, "--measure",
                           json.dumps([tree, store, versions, filter_text])],
                          stdout=subprocess.PIPE, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--measure", help=argparse.SUPPRESS)
    parser.add_argument("build")
    parser.add_argument("--files", type=int, default=100000)
    parser.add_argument("--versions", type=int, default=14)
    parser.add_argument("--data")
    parser.add_argument("--smoke", action="store_true", help="a small folder, to see that it works")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    if args.measure:
        print(json.dumps(measure(build, *json.loads(args.measure))))
        return 0
    reason = missing(build)
    if reason:
        print("skipped: " + reason)
        return 0
    if args.smoke:
        args.files, args.versions = 500, 3
    data = os.path.abspath(args.data or os.path.join(build, "window-bench"))
    os.makedirs(data, exist_ok=True)
    made = time.monotonic()
    tree, store = make_history(build, data, args.files, args.versions)
    print("%d files, %d versions (history made or found in %.0f s)" %
          (args.files, args.versions, time.monotonic() - made))
    packed = packed_copy(build, data, tree, store)
    filter_text = ("file-%06d" % (args.files // 2))[:-2]  # a hundred of the files
    loose, whole = (measured(build, tree, history, args.versions, filter_text)
                    for history in (store, packed))
    print("| what | as `tarvine snapshot` leaves it | packed (`tarvine pack`) |")
    print("| --- | ---: | ---: |")
    for name in loose:
        unit = "MB" if "memory" in name else "s"
        print("| %s | %s |" % (name, " | ".join(
            "%.*f %s" % (0 if unit == "MB" else 2, run[name], unit) if name in run else "-"
            for run in (loose, whole))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
