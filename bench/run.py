#!/usr/bin/env python3
"""Tarnwick's benchmarks: the scan and the watcher against their peers and
the floor, in one run, side by side. Prints one table and writes it as JSON.

    bench/run.sh BIN_DIR [--quick] [--json FILE] [--windows WIN_BIN_DIR]
                 [--only scan|watch|micro|winscan]...

BIN_DIR holds the built programs (build/default/bin); WIN_BIN_DIR the Windows
ones (build/windows/bin), whose scan runs under Wine. The peers are
inotifywait (inotify-tools), fswatch, GNU find and fdfind (fd-find); a missing
peer is left out of the table. Timed comparisons interleave the tools within
each repetition, so a burst of load from elsewhere hits all of them alike.
"""

import argparse
import array
import datetime
import fcntl
import json
import os
import platform
import random
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import termios
import threading
import time

now = time.perf_counter


def percentile(values, fraction):
    if not values:
        return None
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * (len(ordered) - 1) + 0.5))]


def median(values):
    return statistics.median(values) if values else None


# --- the watchers ---------------------------------------------------------


class Tool:
    def __init__(self, name, command, ready_text=None, strip_kind=True):
        self.name = name
        self.command = command  # root -> argv
        # What the tool prints on standard error once its watches are armed;
        # None: it says nothing, so a probe file tells.
        self.ready_text = ready_text
        self.strip_kind = strip_kind

    def changed_path(self, line, root):
        """The path a line names, relative to `root`."""
        if self.strip_kind and "\t" in line:
            line = line.split("\t", 1)[1]
        if line.startswith(root + "/"):
            return line[len(root) + 1:]
        if line == root:
            return ""
        return line


def watcher_tools(bin_dir, watch_program):
    tools = [
        Tool("tarnwick", lambda root: [watch_program, root], "watching "),
        Tool("floor", lambda root: [os.path.join(bin_dir, "tarnwick-bench-floor"), root], "watching "),
    ]
    if shutil.which("inotifywait"):
        # The same events Tarnwick asks the kernel for.
        tools.append(Tool("inotifywait", lambda root: [
            "inotifywait", "-m", "-r", "-e", "create,delete,modify,attrib,close_write,move",
            "--format", "%e\t%w%f", root], "Watches established"))
    if shutil.which("fswatch"):
        # fswatch batches for --latency seconds (1 s by default); 0.1 s is
        # its shortest useful setting on Linux.
        tools.append(Tool("fswatch", lambda root: ["fswatch", "-r", "-l", "0.1", root], None, strip_kind=False))
    return tools


class Running:
    """One watcher process; its output lines are time-stamped as they arrive."""

    def __init__(self, tool, root):
        self.tool = tool
        self.root = root
        self.lines = []  # (time, relative path)
        self.stderr = ""
        self.condition = threading.Condition()
        self.started = now()
        self.process = subprocess.Popen(tool.command(root), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        bufsize=0)
        self.ready_at = None
        self.readers = [threading.Thread(target=self._read_out, daemon=True),
                        threading.Thread(target=self._read_err, daemon=True)]
        for reader in self.readers:
            reader.start()

    def _read_out(self):
        pending = b""
        fd = self.process.stdout.fileno()
        while True:
            chunk = os.read(fd, 1 << 16)
            arrived = now()
            if not chunk:
                break
            pending += chunk
            *complete, pending = pending.split(b"\n")
            parsed = [(arrived, self.tool.changed_path(line.decode("utf-8", "replace"), self.root))
                      for line in complete]
            with self.condition:
                self.lines.extend(parsed)
                self.condition.notify_all()

    def _read_err(self):
        fd = self.process.stderr.fileno()
        while True:
            chunk = os.read(fd, 4096)
            arrived = now()
            if not chunk:
                break
            with self.condition:
                self.stderr += chunk.decode("utf-8", "replace")
                if self.ready_at is None and self.tool.ready_text and self.tool.ready_text in self.stderr:
                    self.ready_at = arrived
                self.condition.notify_all()

    def wait_ready(self, timeout=60.0):
        """Seconds from start to armed. A tool that does not say it is armed
        is asked with probe files until it reports one."""
        deadline = now() + timeout
        if self.tool.ready_text:
            with self.condition:
                while self.ready_at is None:
                    if self.process.poll() is not None or now() > deadline:
                        raise RuntimeError(f"{self.tool.name} did not arm: {self.stderr.strip()}")
                    self.condition.wait(0.05)
                return self.ready_at - self.started
        probe = 0
        while now() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"{self.tool.name} stopped: {self.stderr.strip()}")
            name = f".probe-{probe}"
            with open(os.path.join(self.root, name), "w") as f:
                f.write("p")
            if self.wait_for(lambda path: path == name, 0, 0.3) is not None:
                seen = self.lines[-1][0]
                os.unlink(os.path.join(self.root, name))
                self.settle()
                return seen - self.started
            probe += 1
        raise RuntimeError(f"{self.tool.name} never reported a probe file")

    def wait_for(self, matches, start, timeout):
        """Time of the first line from index `start` on whose path matches."""
        deadline = now() + timeout
        index = start
        with self.condition:
            while True:
                while index < len(self.lines):
                    if matches(self.lines[index][1]):
                        return self.lines[index][0]
                    index += 1
                left = deadline - now()
                if left <= 0:
                    return None
                self.condition.wait(left)

    def settle(self, quiet=0.3, limit=30.0):
        """Waits until nothing arrived for `quiet` seconds; returns the line count."""
        deadline = now() + limit
        while now() < deadline:
            with self.condition:
                count = len(self.lines)
            time.sleep(quiet)
            with self.condition:
                if len(self.lines) == count:
                    return count
        return len(self.lines)

    def count(self):
        with self.condition:
            return len(self.lines)

    def stop(self):
        """Seconds from SIGTERM to exit."""
        # wait() with a timeout polls at growing intervals; a blocking wait
        # with a watchdog times the exit to the microsecond.
        watchdog = threading.Timer(10.0, self.process.kill)
        watchdog.start()
        sent = now()
        self.process.send_signal(signal.SIGTERM)
        self.process.wait()
        ended = now()
        watchdog.cancel()
        for reader in self.readers:
            reader.join(2)
        return ended - sent


def thread_stats(pid):
    """CPU ticks (utime+stime) and context switches, summed over threads."""
    ticks = 0
    voluntary = 0
    involuntary = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks += int(fields[11]) + int(fields[12])
            with open(f"/proc/{pid}/task/{task}/status") as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        voluntary += int(line.split()[1])
                    elif line.startswith("nonvoluntary_ctxt_switches"):
                        involuntary += int(line.split()[1])
        except FileNotFoundError:
            pass
    return ticks, voluntary + involuntary


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return None


def stalled_reader(tool, root, changes=200_000):
    """Resident set of a watcher whose output pipe nobody reads, before and
    after `changes` changes, and whether it said changes were lost once its
    output was read at last."""
    os.makedirs(root)
    read_end, write_end = os.pipe()
    process = subprocess.Popen(tool.command(root), stdout=write_end, stderr=subprocess.PIPE, bufsize=0)
    os.close(write_end)
    try:
        ready = b""
        while tool.ready_text.encode() not in ready:
            chunk = os.read(process.stderr.fileno(), 4096)
            if not chunk:
                raise RuntimeError(f"{tool.name} ended: {ready.decode(errors='replace')}")
            ready += chunk
        threading.Thread(target=lambda: process.stderr.read(), daemon=True).start()
        # Until the pipe is full to its last page: the next write blocks.
        capacity = fcntl.fcntl(read_end, 1032)  # F_GETPIPE_SZ
        made = 0
        while made < 50_000:
            for _ in range(500):
                with open(os.path.join(root, f"fill {made}"), "w"):
                    pass
                made += 1
            time.sleep(0.1)
            queued = array.array("i", [0])
            fcntl.ioctl(read_end, termios.FIONREAD, queued)
            if queued[0] > capacity - 4096:
                break
        time.sleep(0.5)
        before = resident_kib(process.pid)
        for name in ("a", "b"):
            open(os.path.join(root, name), "w").close()
        paths = [os.path.join(root, "a"), os.path.join(root, "b")]
        for i in range(changes):
            # Alternating: the kernel merges an event identical to the last.
            os.utime(paths[i % 2])
        time.sleep(2.0)
        after = resident_kib(process.pid)
        output = b""
        while b"overflow" not in output:
            ready_to_read, _, _ = select.select([read_end], [], [], 10.0)
            if not ready_to_read:
                break
            chunk = os.read(read_end, 1 << 20)
            if not chunk:
                break
            output += chunk
            output = output[-4096:]
        return {"rss_kib_before": before, "rss_kib_after": after, "overflow_line": b"overflow" in output}
    finally:
        process.kill()
        process.wait()
        os.close(read_end)
        shutil.rmtree(root, ignore_errors=True)


def make_dirs_tree(root, directories, files_per_directory):
    """`directories` folders (50 at the top, the rest below them), each with
    its files."""
    made = []
    top = 50
    for i in range(min(top, directories)):
        made.append(os.path.join(root, f"d{i:02}"))
    for i in range(directories - len(made)):
        made.append(os.path.join(made[i % top], f"sub{i:04}"))
    for folder in made:
        os.makedirs(folder, exist_ok=True)
        for j in range(files_per_directory):
            with open(os.path.join(folder, f"file {j}.upk"), "w") as f:
                f.write("x")
    return made


def bench_watchers(bin_dir, watch_program, work, quick, results, log):
    tools = watcher_tools(bin_dir, watch_program)
    names = [tool.name for tool in tools]
    data = {name: {} for name in names}

    # Arming, idle and resident memory on 5,000 directories of 2 files each.
    arm_tree = os.path.join(work, "arming")
    make_dirs_tree(arm_tree, 5000, 2)
    arm_reps = 3 if quick else 8
    log(f"arming: 5,000 directories, {arm_reps} rounds")
    for name in names:
        data[name]["arming_s"] = []
    for rep in range(arm_reps):
        order = tools[:]
        random.shuffle(order)
        for tool in order:
            if "arming_error" in data[tool.name]:
                continue
            running = Running(tool, arm_tree)
            try:
                try:
                    data[tool.name]["arming_s"].append(running.wait_ready())
                except RuntimeError as error:
                    data[tool.name]["arming_error"] = " ".join(str(error).split())
                    log(f"arming: {data[tool.name]['arming_error']}")
                    continue
                if rep == 0:
                    time.sleep(0.5)
                    data[tool.name]["rss_kib_5000_dirs"] = resident_kib(running.process.pid)
                    ticks0, switches0 = thread_stats(running.process.pid)
                    time.sleep(5.0)
                    ticks1, switches1 = thread_stats(running.process.pid)
                    data[tool.name]["idle_cpu_ticks_5s"] = ticks1 - ticks0
                    data[tool.name]["idle_wakeups_5s"] = switches1 - switches0
            finally:
                running.stop()

    # Latency: timed by a program of its own on one thread (latency_probe.cpp),
    # not by this interpreter's reader threads, whose wake-ups would add the
    # same few hundred microseconds to every tool. Beside the tools: the
    # floor reader handing each line to a second thread to write it, the
    # least a two-thread watcher can cost.
    latency_reps = 50 if quick else 200
    race_reps = 200
    log(f"latency: {latency_reps} saves per tool, interleaved")
    probe = [os.path.join(bin_dir, "tarnwick-bench-latency"), str(latency_reps), os.path.join(work, "latency")]
    for tool in tools:
        probe += ["--tool", tool.name, tool.ready_text or "-"] + tool.command("{root}")
    probe += ["--tool", "handover", "watching ", os.path.join(bin_dir, "tarnwick-bench-floor"), "--handover",
              "{root}"]
    # The library as its owners use it by default: a delivery thread behind
    # the reading one (tarnwick-watch calls back on the reading thread).
    library = os.path.join(bin_dir, "tarnwick-bench-library")
    probe += ["--tool", "library", "watching ", library, "{root}"]
    timed = json.loads(subprocess.run(probe, check=True, stdout=subprocess.PIPE, text=True).stdout)
    for name in names:
        data[name]["latency_ms"] = [us / 1000.0 for us in timed[name]["latency_us"]]
        data[name]["latency_missed"] = timed[name]["missed"]
    results["latency_handover_floor_ms"] = [us / 1000.0 for us in timed["handover"]["latency_us"]]
    results["latency_library_ms"] = [us / 1000.0 for us in timed["library"]["latency_us"]]

    log("stalled reader: 200,000 changes while nobody reads the output")
    stalled = [tool for tool in tools if tool.name in ("tarnwick", "inotifywait")]
    stalled.append(Tool("library", lambda root: [library, root], "watching "))
    results["stalled_reader"] = {tool.name: stalled_reader(tool, os.path.join(work, "stalled-" + tool.name))
                                 for tool in stalled}

    # The race and teardown: every tool watches a folder of its own, and the
    # iterations go round the tools, so all see the same moments.
    log(f"new-folder race: {race_reps} folders per tool, interleaved")
    runs = {}
    for tool in tools:
        root = os.path.join(work, "race-" + tool.name)
        os.makedirs(root)
        runs[tool.name] = Running(tool, root)
    try:
        for running in runs.values():
            running.wait_ready()
        for i in range(race_reps):
            for tool in tools:
                folder = os.path.join(runs[tool.name].root, f"new {i:03}")
                os.mkdir(folder)
                with open(os.path.join(folder, "inside.upk"), "w") as f:
                    f.write("x")
        for tool in tools:
            runs[tool.name].settle(1.0)
            with runs[tool.name].condition:
                seen = {path for _, path in runs[tool.name].lines}
            data[tool.name]["race_caught"] = sum(
                1 for i in range(race_reps) if os.path.join(f"new {i:03}", "inside.upk") in seen)
    finally:
        for running in runs.values():
            running.stop()

    teardown_reps = 5 if quick else 20
    log(f"process teardown: {teardown_reps} per tool, interleaved")
    small = os.path.join(work, "teardown")
    make_dirs_tree(small, 4, 1)
    for name in names:
        data[name]["exit_ms"] = []
    for rep in range(teardown_reps):
        order = tools[:]
        random.shuffle(order)
        for tool in order:
            running = Running(tool, small)
            running.wait_ready()
            time.sleep(0.05)
            data[tool.name]["exit_ms"].append(running.stop() * 1000.0)

    # Burst: one tool at a time, 10,000 files that exist before it starts.
    burst_reps = 1 if quick else 2
    log(f"burst: 10,000 files, {burst_reps} rounds")
    for name in names:
        data[name]["burst_reported"] = []
        data[name]["burst_last_s"] = []
    for rep in range(burst_reps):
        order = tools[:]
        random.shuffle(order)
        for tool in order:
            root = os.path.join(work, f"burst-{tool.name}-{rep}")
            files = []
            for d in range(100):
                folder = os.path.join(root, f"folder {d:02}")
                os.makedirs(folder)
                for f in range(100):
                    path = os.path.join(folder, f"map {f:02}.upk")
                    with open(path, "w") as out:
                        out.write("x")
                    files.append(path)
            expected = {os.path.relpath(path, root) for path in files}
            running = Running(tool, root)
            try:
                running.wait_ready()
                running.settle(0.2)
                start_index = running.count()
                started = now()
                for path in files:
                    fd = os.open(path, os.O_WRONLY | os.O_APPEND)
                    os.write(fd, b"y")
                    os.close(fd)
                running.settle(2.0, 60.0)
                seen = set()
                last = None
                with running.condition:
                    for arrived, path in running.lines[start_index:]:
                        if path in expected and path not in seen:
                            seen.add(path)
                            last = arrived
                data[tool.name]["burst_reported"].append(len(seen))
                data[tool.name]["burst_last_s"].append(None if last is None else last - started)
            finally:
                running.stop()
            shutil.rmtree(root, ignore_errors=True)

    results["watch"] = data
    return data


# --- the scan -------------------------------------------------------------

STAT_CALLS = "stat,lstat,fstat,newfstatat,statx,fstatat64,stat64,lstat64,fstat64"


def count_stat_calls(command, tree, trace_file):
    """Stat-family calls between the scan markers: on links, on other entries
    of the tree, on the tree's own folder, and on open folders (fstat)."""
    # -y names each descriptor's file, so a query relative to an open folder
    # can be told apart from one on the folder itself.
    subprocess.run(["strace", "-f", "-y", "-o", trace_file, "-e",
                    "trace=" + STAT_CALLS + ",access,faccessat,faccessat2"]
                   + command, check=True, stdout=subprocess.DEVNULL)
    counts = {"on_links": 0, "on_other_entries": 0, "on_tree_folder": 0, "on_open_folders": 0, "elsewhere": 0}
    inside = False
    quoted = r'"((?:[^"\\]|\\.)*)"'
    path_call = re.compile(r'^(?:\d+\s+)?(\w+)\((?:AT_FDCWD(?:<[^>]*>)?, )?' + quoted)
    relative_call = re.compile(r'^(?:\d+\s+)?(\w+)\(\d+<((?:[^>\\]|\\.)*)>, ' + quoted)
    fd_call = re.compile(r'^(?:\d+\s+)?(\w+)\((\d+)')

    def unescape(text):
        return text.encode().decode("unicode_escape").encode("latin-1").decode("utf-8", "replace")

    with open(trace_file) as f:
        for line in f:
            if "tarnwick-bench-scan-begin" in line:
                inside = True
                continue
            if "tarnwick-bench-scan-end" in line:
                inside = False
                continue
            if not inside or "stat" not in line.split("(", 1)[0]:
                continue
            path = None
            match = path_call.match(line)
            if match:
                path = unescape(match.group(2))
            else:
                match = relative_call.match(line)
                if match and match.group(3):
                    path = os.path.join(unescape(match.group(2)), unescape(match.group(3)))
            if path is not None:
                if os.path.normpath(path) == os.path.normpath(tree):
                    counts["on_tree_folder"] += 1
                elif not path.startswith(tree):
                    counts["elsewhere"] += 1
                elif os.path.islink(path):
                    counts["on_links"] += 1
                else:
                    counts["on_other_entries"] += 1
            elif fd_call.match(line):
                counts["on_open_folders"] += 1
    return counts


def bench_scan(bin_dir, work, quick, results, log):
    tree = os.path.join(work, "scan tree")
    made = subprocess.run([os.path.join(bin_dir, "tarnwick-bench-tree"), tree, "100000"], check=True,
                          capture_output=True, text=True)
    shape = json.loads(made.stdout)
    log(f"scan: 100,000 entries ({shape['directories']} folders, {shape['files']} files, "
        f"{shape['symlinks']} links, {shape['maps']} maps)")

    def json_ms(output):
        return json.loads(output)["ms"][0]

    commands = {
        "tarnwick": ([os.path.join(bin_dir, "tarnwick-bench-scan"), tree], json_ms),
        "floor": ([os.path.join(bin_dir, "tarnwick-bench-walk"), tree], json_ms),
        "find": (["find", "-P", tree, "-xtype", "f", "(", "-name", "*.upk", "-o", "-name", "*.udk", ")"], None),
    }
    if shutil.which("fdfind"):
        # Case-sensitive like the plugin; fd does not follow links to files.
        commands["fdfind"] = (["fdfind", "-u", "-s", "-t", "f", r"\.(upk|udk)$", tree], None)
    wall = {name: [] for name in commands}
    in_process = {"tarnwick": [], "floor": []}
    found = {}
    reps = 3 if quick else 10
    log(f"scan: {reps} rounds of {', '.join(commands)}, interleaved (plus one warm-up)")
    for rep in range(reps + 1):
        order = list(commands)
        random.shuffle(order)
        for name in order:
            command, inner = commands[name]
            started = now()
            done = subprocess.run(command, check=True, capture_output=True, text=True)
            elapsed = (now() - started) * 1000.0
            if inner is None:
                found[name] = len(done.stdout.splitlines())
            else:
                found[name] = json.loads(done.stdout)["found"]
            if rep == 0:
                continue  # warm-up: the page cache holds the tree from here on
            wall[name].append(elapsed)
            if inner is not None:
                in_process[name].append(inner(done.stdout))
    ratios = [t / f for t, f in zip(in_process["tarnwick"], in_process["floor"])]

    log("scan: counting stat-family calls with strace")
    stats = {
        "tarnwick": count_stat_calls([os.path.join(bin_dir, "tarnwick-bench-scan"), tree, "--markers"], tree,
                                     os.path.join(work, "strace-tarnwick.txt")),
        "floor": count_stat_calls([os.path.join(bin_dir, "tarnwick-bench-walk"), tree, "--markers"], tree,
                                  os.path.join(work, "strace-floor.txt")),
    }
    results["scan"] = {"tree": shape, "wall_ms": wall, "in_process_ms": in_process,
                       "in_process_ratio": ratios, "found": found, "stat_calls": stats}
    return results["scan"]


def bench_windows_scan(bin_dir, windows_bin, work, quick, results, log):
    """The Windows build's scan under Wine, against a bare FindFirstFileExW
    walk and std::filesystem's iterator, all in one process."""
    wine = shutil.which("wine64") or "/usr/lib/wine/wine64"
    if not os.path.exists(wine):
        log("winscan: wine64 not found, skipped")
        return None
    program = os.path.join(windows_bin, "tarnwick-bench-winscan.exe")
    if not os.path.exists(program):
        log(f"winscan: {program} not built, skipped")
        return None
    tree = os.path.join(work, "scan tree")
    if not os.path.exists(tree):
        subprocess.run([os.path.join(bin_dir, "tarnwick-bench-tree"), tree, "100000"], check=True,
                       capture_output=True)
    environment = dict(os.environ, WINEPREFIX=os.path.join(os.path.dirname(windows_bin), "wine-prefix"),
                       WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=")
    reps = 3 if quick else 10
    log(f"winscan: {reps} rounds of the plugin's scan and the floor under Wine, interleaved (plus one warm-up); "
        "then std::filesystem's walk once")
    done = subprocess.run([wine, program, "Z:" + tree,
                           "--repeat", str(reps)], check=True, capture_output=True, text=True, env=environment)
    data = json.loads(done.stdout.strip().splitlines()[-1])
    data["ratio"] = [p / f for p, f in zip(data["plugin_ms"], data["floor_ms"])]
    results["winscan"] = data
    return data


# --- microbenchmarks -------------------------------------------------------


def bench_micro(bin_dir, work, quick, results, log):
    program = os.path.join(bin_dir, "tarnwick-bench-micro")
    if not os.path.exists(program):
        log("micro: tarnwick-bench-micro not built (Google Benchmark missing), skipped")
        return None
    environment = dict(os.environ, TARNWICK_BENCH_QUICK="1" if quick else "0")
    merged = []
    # Memory first, in a process of its own: its baseline is a fresh process.
    for name, pattern in (("memory", "MemoryPerWatcher"), ("rest", "-MemoryPerWatcher")):
        out = os.path.join(work, f"micro-{name}.json")
        log(f"micro: {pattern}")
        subprocess.run([program, f"--benchmark_filter={pattern}", f"--benchmark_out={out}",
                        "--benchmark_out_format=json"], check=True, env=environment)
        with open(out) as f:
            merged += json.load(f)["benchmarks"]
    results["micro"] = merged
    return merged


# --- the table -------------------------------------------------------------

COLUMNS = ["tarnwick", "floor", "inotifywait", "fswatch", "find", "fdfind", "std walk"]


def fmt(value, digits=1):
    if value is None:
        return "-"
    if isinstance(value, str):
        return value
    if isinstance(value, int):
        return f"{value:,}"
    return f"{value:,.{digits}f}"


def build_table(results):
    rows = []  # (workload, measure, {column: text}, target, status)

    def add(workload, measure, values, target="", status=""):
        rows.append({"workload": workload, "measure": measure, "values": values, "target": target,
                     "status": status})

    def met(flag):
        return "met" if flag else "NOT met"

    scan = results.get("scan")
    if scan:
        wall = {k: median(v) for k, v in scan["wall_ms"].items()}
        add("scan 100k", "process wall ms, median", {k: fmt(v) for k, v in wall.items()},
            "tarnwick <= fdfind", met(wall["tarnwick"] <= wall.get("fdfind", float("inf"))) if "fdfind" in wall else "")
        inner = {k: median(v) for k, v in scan["in_process_ms"].items()}
        ratio = median(scan["in_process_ratio"])
        add("scan 100k", "in-process scan ms, median (settings file included)", {k: fmt(v) for k, v in inner.items()},
            "<= 1.1 x bare walk", f"{met(ratio <= 1.1)} ({ratio:.2f}x)")
        add("scan 100k", "maps found / regular files", {k: fmt(v) for k, v in scan["found"].items()})
        stats = scan["stat_calls"]
        add("scan 100k", "stat calls: on links", {k: fmt(v["on_links"]) for k, v in stats.items()},
            f"links: {scan['tree']['symlinks']:,}")
        add("scan 100k", "stat calls: on entries that are not links",
            {k: fmt(v["on_other_entries"]) for k, v in stats.items()}, "0",
            met(stats["tarnwick"]["on_other_entries"] == 0))
        add("scan 100k", "stat calls: fstat of an open descriptor", {k: fmt(v["on_open_folders"]) for k, v in stats.items()},
            f"at most one per folder: {scan['tree']['directories'] + 1:,}",
            met(stats["tarnwick"]["on_open_folders"] <= scan['tree']['directories'] + 1))
        add("scan 100k", "stat calls: the maps folder itself", {k: fmt(v["on_tree_folder"]) for k, v in stats.items()})

    winscan = results.get("winscan")
    if winscan:
        ratio = median(winscan["ratio"])
        standard = fmt(winscan["std_ms"])
        if winscan["std_error"]:
            standard += f" (ended: {winscan['std_error']})"
        add("scan 100k, Windows (Wine)", "in-process scan ms, median (settings file included)",
            {"tarnwick": fmt(median(winscan["plugin_ms"])), "floor": fmt(median(winscan["floor_ms"])),
             "std walk": standard}, "<= 1.1 x FindFirstFileExW floor", f"{met(ratio <= 1.1)} ({ratio:.2f}x)")
        add("scan 100k, Windows (Wine)", "in-process ms, median: the plugin's walk alone",
            {"tarnwick": fmt(median(winscan["walk_ms"]))})
        add("scan 100k, Windows (Wine)", "maps found / regular files",
            {"tarnwick": f"{fmt(winscan['maps'])} / {fmt(winscan['regular_files'])}",
             "floor": fmt(winscan["floor_files"]), "std walk": fmt(winscan["std_files"])})
        add("scan 100k, Windows (Wine)", "status queries: on reparse points / on other entries",
            {"tarnwick": f"{fmt(winscan['queries_on_reparse_points'])} / "
                         f"{fmt(winscan['queries_on_other_entries'])}"},
            "0 on other entries", met(winscan["queries_on_other_entries"] == 0))

    watch = results.get("watch")
    if watch:
        def each(key, reduce, digits=1):
            return {k: fmt(reduce(v[key]) if v.get(key) else None, digits) for k, v in watch.items()}

        p50 = {k: percentile(v["latency_ms"], 0.5) for k, v in watch.items()}
        p99 = {k: percentile(v["latency_ms"], 0.99) for k, v in watch.items()}
        ratio = p50["tarnwick"] / p50["floor"] if p50.get("floor") else None
        add("latency", "save to reported line, p50 ms", {k: fmt(v, 3) for k, v in p50.items()},
            "<= 1.2 x floor", f"{met(ratio <= 1.2)} ({ratio:.2f}x)" if ratio else "")
        ratio = p99["tarnwick"] / p99["floor"] if p99.get("floor") else None
        add("latency", "p99 ms", {k: fmt(v, 3) for k, v in p99.items()},
            "<= 1.5 x floor", f"{met(ratio <= 1.5)} ({ratio:.2f}x)" if ratio else "")
        if p50.get("inotifywait"):
            ratio = p50["tarnwick"] / p50["inotifywait"]
            add("latency", "p50 against inotifywait", {"tarnwick": f"{ratio:.2f}x"}, "<= 1.0 x inotifywait",
                met(ratio <= 1.0))
        handover = results.get("latency_handover_floor_ms")
        library = results.get("latency_library_ms")
        if handover and library:
            floor50 = percentile(handover, 0.5)
            add("latency", "floor handing each line to a second thread, p50 / p99 ms",
                {"floor": f"{floor50:.3f} / {percentile(handover, 0.99):.3f}"})
            library50 = percentile(library, 0.5)
            add("latency", "the library with its delivery thread (the plugin's way), p50 / p99 ms",
                {"tarnwick": f"{library50:.3f} / {percentile(library, 0.99):.3f}"}, "p50 <= 1.1 x hand-over floor",
                f"{met(library50 <= 1.1 * floor50)} ({library50 / floor50:.2f}x)")
        add("latency", "writes never reported", {k: fmt(v["latency_missed"]) for k, v in watch.items()})
        stalled = results.get("stalled_reader")
        if stalled:
            def kib(name):
                row = stalled.get(name)
                return f"{fmt(row['rss_kib_before'])} / {fmt(row['rss_kib_after'])}" if row else None
            add("stalled reader", "resident KiB before / after 200,000 changes",
                {"tarnwick": kib("tarnwick"), "inotifywait": kib("inotifywait")},
                "tarnwick grows < 1 MiB",
                met(stalled["tarnwick"]["rss_kib_after"] - stalled["tarnwick"]["rss_kib_before"] < 1024))
            add("stalled reader", "the library with its delivery thread, KiB before / after",
                {"tarnwick": kib("library")}, "bounded by its queue (65,536 changes)")
            add("stalled reader", "overflow line once read",
                {k: "yes" if v["overflow_line"] else "no" for k, v in stalled.items() if k != "library"},
                "yes", met(stalled["tarnwick"]["overflow_line"]))
        burst = {k: min(v["burst_reported"]) for k, v in watch.items() if v.get("burst_reported")}
        add("burst 10,000", "files reported (worst round)", {k: fmt(v) for k, v in burst.items()}, "10,000",
            met(burst.get("tarnwick") == 10000))
        add("burst 10,000", "s to the last file, median",
            {k: fmt(median([x for x in v["burst_last_s"] if x is not None]), 3) if any(
                x is not None for x in v["burst_last_s"]) else "-" for k, v in watch.items()})
        arm = {k: median(v["arming_s"]) * 1000.0 for k, v in watch.items() if v["arming_s"]}
        ratio = arm["tarnwick"] / arm["inotifywait"] if "inotifywait" in arm else None
        values = {k: fmt(v) for k, v in arm.items()}
        if "fswatch" in values:
            values["fswatch"] += " (probe)"
        values.update({k: "failed: " + v["arming_error"] for k, v in watch.items() if "arming_error" in v})
        add("arming 5,000 dirs", "start to armed ms, median", values, "<= 1.2 x inotifywait",
            f"{met(ratio <= 1.2)} ({ratio:.2f}x)" if ratio else "")
        add("arming 5,000 dirs", "resident KiB, whole process",
            {k: fmt(v.get("rss_kib_5000_dirs")) for k, v in watch.items()})
        race = {k: v["race_caught"] for k, v in watch.items()}
        add("new-folder race", "inner files reported of 200", {k: fmt(v) for k, v in race.items()}, "200",
            met(race["tarnwick"] == 200))
        idle = {k: (v["idle_cpu_ticks_5s"], v["idle_wakeups_5s"]) for k, v in watch.items()
                if "idle_cpu_ticks_5s" in v}
        add("idle 5 s", "CPU ticks (10 ms) / wake-ups, all threads",
            {k: f"{t} / {w}" for k, (t, w) in idle.items()}, "0 / 0", met(idle["tarnwick"] == (0, 0)))
        add("teardown", "SIGTERM to exit ms, p50 / p99",
            {k: f"{percentile(v['exit_ms'], 0.5):.2f} / {percentile(v['exit_ms'], 0.99):.2f}"
             for k, v in watch.items()})

    micro = results.get("micro")
    if micro:
        by_name = {b["name"]: b for b in micro if b.get("run_type", "iteration") == "iteration"}
        for entries in (1000, 10000, 100000):
            # Google Benchmark appends the minimum time to the name.
            plugin = next((b for n, b in by_name.items() if n.startswith(f"Scan/plugin/{entries}/")), None)
            walk = next((b for n, b in by_name.items() if n.startswith(f"Scan/bare_walk/{entries}/")), None)
            if plugin and walk:
                ratio = plugin["real_time"] / walk["real_time"]
                add(f"micro: scan {entries:,}", "ms per scan (plugin / bare walk)",
                    {"tarnwick": fmt(plugin["real_time"], 2), "floor": fmt(walk["real_time"], 2)},
                    "<= 1.1 x bare walk", f"{met(ratio <= 1.1)} ({ratio:.2f}x)")
        walking = by_name.get("RecordWalking")
        if walking:
            add("micro: record walking", "M records/s, 64 KiB read",
                {"tarnwick": fmt(walking["items_per_second"] / 1e6, 1)})
        for batch in (1, 64, 4096):
            handover = by_name.get(f"HandOverAndDelivery/{batch}/manual_time")
            if handover:
                add("micro: hand-over + delivery", f"M changes/s, {batch} per read",
                    {"tarnwick": fmt(handover["items_per_second"] / 1e6, 2)})
        def rounds(prefix):
            return "; ".join(f"{b['p50_us']:.0f} / {b['p99_us']:.0f}" for b in micro if b["name"].startswith(prefix))

        teardowns = [b for b in micro if b["name"].startswith("IdleTeardown")]
        if teardowns:
            worst = max(b["p99_us"] for b in teardowns)
            add("micro: idle teardown", "whole destructor us, p50 / p99 per round",
                {"tarnwick": rounds("IdleTeardown")}, "p99 < 1000 us", met(worst < 1000))
            add("micro: idle teardown", "floor: signal and join two bare threads",
                {"floor": rounds("TeardownFloor")})
            add("micro: idle teardown", "floor: close() of an inotify fd with the same watches",
                {"floor": rounds("InotifyCloseFloor")})
        memory = by_name.get("MemoryPerWatcher/iterations:1")
        if memory:
            add("micro: memory", "resident KiB per watcher (64 watchers)",
                {"tarnwick": fmt(memory["KiB_per_watcher"])}, "<= 300 KiB", met(memory["KiB_per_watcher"] <= 300))
        reload = next((b for name, b in by_name.items() if name.startswith("AutoReload")), None)
        if reload:
            add("micro: auto-reload", "save to load_workshop, ms beyond 1 s, p50 / p99",
                {"tarnwick": f"{reload['late_p50_ms']:.1f} / {reload['late_p99_ms']:.1f}"}, "p99 <= 10 ms",
                met(reload["late_p99_ms"] <= 10))
    return rows


def render(rows):
    header = ["workload", "measure"] + COLUMNS + ["target", "status"]
    used = [c for c in COLUMNS if any(c in row["values"] for row in rows)]
    header = ["workload", "measure"] + used + ["target", "status"]
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    for row in rows:
        cells = [row["workload"], row["measure"]] + [row["values"].get(c, "") for c in used] + [row["target"],
                                                                                                 row["status"]]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def machine():
    model = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    with open("/proc/meminfo") as f:
        memory = f.readline().split()[1]
    return {"cpu": model, "cores": os.cpu_count(), "memory_kib": int(memory), "kernel": platform.release(),
            "load_average": os.getloadavg()}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("bin_dir")
    parser.add_argument("--quick", action="store_true", help="fewer repetitions (about 3 minutes)")
    parser.add_argument("--json", help="where to write the results (default: BIN_DIR/../bench-results.json)")
    parser.add_argument("--only", action="append", choices=["scan", "watch", "micro", "winscan"],
                        help="run only these parts (repeatable)")
    parser.add_argument("--windows", help="the Windows programs (build/windows/bin): adds the scan under Wine")
    parser.add_argument("--keep", action="store_true", help="keep the temporary trees")
    parser.add_argument("--watch-program", help="the tarnwick-watch to measure (default: the one in BIN_DIR), "
                        "e.g. /usr/bin/tarnwick-watch from the package")
    args = parser.parse_args()
    bin_dir = os.path.abspath(args.bin_dir)
    parts = args.only or ["scan", "watch", "micro"] + (["winscan"] if args.windows else [])
    output = args.json or os.path.join(os.path.dirname(bin_dir), "bench-results.json")

    started = time.time()
    work = tempfile.mkdtemp(prefix="tarnwick-bench-")

    def log(text):
        print(f"[{time.time() - started:6.1f}s] {text}", file=sys.stderr, flush=True)

    results = {"date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
               "machine": machine(), "quick": args.quick}
    try:
        if "scan" in parts:
            bench_scan(bin_dir, work, args.quick, results, log)
        if "watch" in parts:
            watch_program = os.path.abspath(args.watch_program or os.path.join(bin_dir, "tarnwick-watch"))
            results["watch_program"] = watch_program
            bench_watchers(bin_dir, watch_program, work, args.quick, results, log)
        if "micro" in parts:
            bench_micro(bin_dir, work, args.quick, results, log)
        if "winscan" in parts:
            if args.windows:
                bench_windows_scan(bin_dir, os.path.abspath(args.windows), work, args.quick, results, log)
            else:
                log("winscan: no --windows programs given, skipped")
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    results["machine"]["load_average_after"] = os.getloadavg()
    results["duration_s"] = round(time.time() - started, 1)
    rows = build_table(results)
    results["table"] = rows
    table = render(rows)
    print(table)
    with open(output, "w") as f:
        json.dump(results, f, indent=1)
    print(f"\n{results['machine']['cpu']}, {results['machine']['cores']} cores, load "
          f"{results['machine']['load_average'][0]:.1f} -> {results['machine']['load_average_after'][0]:.1f}, "
          f"{results['duration_s']} s; results in {output}")


if __name__ == "__main__":
    main()
