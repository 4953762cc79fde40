#!/usr/bin/python3
"""Side-by-side benchmark: one SLCAN stream, several readers.

A fake SLCAN adapter on a pseudo-terminal (slcan_feed) receives a bus's
traffic at its true rate, every frame with a sequence number. The same
feed is read, one reader after the other, by

  dump     zelkctl dump to a file
  view     the whole program (under Xvfb) with the bus viewer, trace shown
  log      the whole program with the bus viewer and the logger logging
  pycan    python-can's can.logger over its slcan interface
  view-before, log-before   the same with the program of --before

and for each it prints the share of one core (user + system CPU over the
wall time of the feed), CPU per frame, frames lost (fed minus counted by
the reader: lines of its file, or the bus viewer's own count; "adapter":
of them, those the adapter dropped because the reader did not empty the
terminal in time), peak RSS,
and the ratios of CPU per frame to the program with the bus viewer and
to zelkctl dump; the median of --runs runs, taken in turns so that a busy moment of the
machine does not hit one reader only. CPU is the scheduler's count in
nanoseconds (all threads), so that short runs measure finely; "view / dump"
gives the ratio of each turn and its median against the goal.

usage: bench/sidebyside/run.py [--build DIR] [--before DIR] [--seconds S]
           [--runs N] [--cases sat0,sat8,mixed,slow] [--speed X]
           [--stall MS] [--readers dump,view,log,pycan] [--fps N]
Run it from a Release build: cmake -B build-rel -DCMAKE_BUILD_TYPE=Release
"""
import argparse
import glob
import os
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
HZ = os.sysconf("SC_CLK_TCK")
# The program with the bus viewer may take at most this many times
# zelkctl dump's CPU per frame.
VIEW_GOAL = 1.5

CASES = {
    "sat0": "saturated 1 Mbit/s, standard, length 0",
    "sat8": "saturated 1 Mbit/s, standard, length 8",
    "mixed": "50 % load, 300 identifiers, lengths 1-8",
    "slow": "10 frames/s, 10 identifiers, length 8",
}


def cpu_seconds(pid):
    """CPU time of all the process's threads: the scheduler's nanoseconds
    where the kernel keeps them (a 10 s run is only a few hundred clock
    ticks), else user + system ticks."""
    try:
        ns = 0
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                ns += int(f.read().split()[0])
        return ns / 1e9
    except (OSError, ValueError, IndexError):
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / HZ  # utime, stime (all threads)


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


class Feed:
    """slcan_feed, driven over its stdin/stdout."""

    def __init__(self, exe, case, speed, fps):
        profile = case
        args = [exe, "--profile", profile, "--speed", str(speed), "--fps", str(fps)]
        self.p = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.pty = self.expect(r"pty (\S+)", 5).group(1)

    def expect(self, pattern, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            r, _, _ = select.select([self.p.stdout], [], [], max(0.0, deadline - time.monotonic()))
            if not r:
                break
            line = self.p.stdout.readline()
            if not line:
                break
            m = re.match(pattern, line.strip())
            if m:
                return m
        raise RuntimeError(f"feed: no '{pattern}' within {timeout} s")

    def go(self, seconds):
        self.p.stdin.write(f"go {seconds}\n")
        self.p.stdin.flush()

    def close(self):
        try:
            self.p.stdin.write("quit\n")
            self.p.stdin.flush()
        except BrokenPipeError:
            pass
        try:
            self.p.wait(5)
        except subprocess.TimeoutExpired:
            self.p.kill()
            self.p.wait()


def private_env(tmp):
    env = dict(os.environ)
    for k, sub in (("HOME", ""), ("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data"),
                   ("XDG_RUNTIME_DIR", "run"), ("XDG_CACHE_HOME", "cache")):
        path = os.path.join(tmp, sub) if sub else tmp
        os.makedirs(path, exist_ok=True)
        env[k] = path
    os.chmod(env["XDG_RUNTIME_DIR"], 0o700)
    env["ZELK_LOCK_DIR"] = os.path.join(env["XDG_RUNTIME_DIR"], "zelk")
    env.pop("GTK_MODULES", None)
    return env


def xdo(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True).stdout.strip()


def wait_window(pid, name, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        out = xdo("search", "--onlyvisible", "--pid", str(pid), "--name", name)
        if out:
            return out.split()[0]
        time.sleep(0.1)
    raise RuntimeError(f"no window '{name}' of process {pid}")


class Reader:
    """One reader process on the feed's terminal."""

    def __init__(self, kind, stage, pty, tmp):
        self.kind, self.tmp = kind, tmp
        env = private_env(tmp)
        env["ZELK_BOARDS"] = f"slcan:{pty}"
        self.out = os.path.join(tmp, "out.log")
        if kind == "dump":
            self.f = open(self.out, "w")
            self.p = subprocess.Popen([os.path.join(stage, "zelkctl"), "dump", "0", "--rate", "1000"],
                                      stdout=self.f, env=env)
        elif kind == "pycan":
            self.f = None
            self.p = subprocess.Popen(["/usr/bin/python3", "-m", "can.logger", "-i", "slcan", "-c", pty,
                                       "-b", "1000000", "-f", self.out, "--sleep-after-open=0"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        else:
            self.f = None
            env["BUSVIEW_STATS"] = os.path.join(tmp, "busview.stats")
            session = os.path.join(tmp, "bench.nbs")
            self.logs = os.path.join(tmp, "logs")
            os.makedirs(self.logs)
            with open(session, "w") as s:
                s.write("[Nimbrel]\nHsize=1000\nVsize=650\nChan=0\nBaud=1000\nWtout=20\n")
                if kind == "log":
                    logger = os.path.join(stage, "logger.so")
                    s.write(f"LoadPlugin={logger}\n[Plugin]\nPath={logger}\n")
                    s.write(f"Format=.log\nFolder={self.logs}\nAutoStart=1\n")
            self.p = subprocess.Popen([os.path.join(stage, "nimbrel"), session], env=env,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.win = wait_window(self.p.pid, "^ch [0-9]+ - ")
            time.sleep(1.0)
            self.press("space")  # the Start button holds the focus

    def press(self, key):
        # Keys go to the window under the pointer (there is no window
        # manager).
        xdo("mousemove", "--window", self.win, "600", "400")
        xdo("key", "--window", self.win, key)

    def opened(self, feed):
        """Waits for the reader to open the CAN channel; on a busy machine
        a key press can go astray, so the program gets it again."""
        for _ in range(4):
            try:
                feed.expect(r"open", 5)
                return
            except RuntimeError:
                if self.kind in ("view", "log"):
                    self.press("space")
        raise RuntimeError("the reader did not open the channel within 20 s")

    def stop(self):
        for _ in range(4):
            if self.kind in ("view", "log"):
                self.press("ctrl+q")
            else:
                self.p.send_signal(signal.SIGINT)
            try:
                self.p.wait(8)
                break
            except subprocess.TimeoutExpired:
                pass
        if self.p.poll() is None:
            self.p.kill()
            self.p.wait()
        if self.f:
            self.f.close()

    def counted(self):
        """Frames the reader has: lines of its file, or the viewer's count."""
        if self.kind in ("dump", "pycan"):
            with open(self.out, "rb") as f:
                return sum(1 for line in f if b"#" in line)
        if self.kind == "log":
            n = 0
            for path in glob.glob(os.path.join(self.logs, "*.log")):
                with open(path, "rb") as f:
                    n += sum(1 for line in f if b"#" in line)
            return n
        with open(os.path.join(self.tmp, "busview.stats")) as f:
            m = re.search(r"received=(\d+)", f.read())
        return int(m.group(1)) if m else 0


def one(kind, stage, args, case):
    tmp = tempfile.mkdtemp(prefix="sbs-")
    feed = Feed(os.path.join(args.build, "bench", "sidebyside", "slcan_feed"), case, args.speed, args.fps)
    reader = None
    try:
        reader = Reader(kind.split("-")[0], stage, feed.pty, tmp)
        reader.opened(feed)
        time.sleep(1.0)  # let the reader settle after opening
        pid = reader.p.pid
        c0, t0 = cpu_seconds(pid), time.monotonic()
        feed.go(args.seconds)
        if args.stall:
            time.sleep(args.seconds / 2)
            os.kill(pid, signal.SIGSTOP)
            time.sleep(args.stall / 1000.0)
            os.kill(pid, signal.SIGCONT)
        m = feed.expect(r"sent (\d+) dropped (\d+) seconds ([\d.]+)", args.seconds + 30)
        # What the reader still works off after the feed is its work too:
        # the window ends when it has gone idle (or after a minute).
        c1, t1 = cpu_seconds(pid), time.monotonic()
        for _ in range(120):
            time.sleep(0.5)
            c, t = cpu_seconds(pid), time.monotonic()
            idle = c - c1 <= 0.02 * (t - t1)
            if idle:
                break
            c1, t1 = c, t
        rss = peak_rss_kib(pid)
        reader.stop()
        sent, dropped = int(m.group(1)), int(m.group(2))
        fed = sent + dropped
        got = reader.counted()
        cpu = c1 - c0
        return {"share": 100.0 * cpu / (t1 - t0), "us_per_frame": 1e6 * cpu / max(fed, 1),
                "lost": fed - got, "fed": fed, "lost_pct": 100.0 * (fed - got) / max(fed, 1),
                "in_adapter": dropped, "rss": rss / 1024.0}
    finally:
        if reader and reader.p.poll() is None:
            reader.p.kill()
            reader.p.wait()
        feed.close()
        shutil.rmtree(tmp, ignore_errors=True)


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build-rel"))
    ap.add_argument("--before", help="build folder of the program to compare with (its stage/)")
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--cases", default="sat0,sat8,mixed")
    ap.add_argument("--readers", default="dump,view,log,pycan")
    ap.add_argument("--speed", type=float, default=1.0, help="times the bus rate")
    ap.add_argument("--fps", type=float, default=10, help="frames/s of the slow case")
    ap.add_argument("--stall", type=float, default=0, help="ms the reader is stopped halfway")
    args = ap.parse_args()
    if not os.environ.get("DISPLAY"):
        os.execvp(os.path.join(ROOT, "scripts", "with-xvfb.sh"),
                  [os.path.join(ROOT, "scripts", "with-xvfb.sh"), sys.executable, *sys.argv])
    args.build = os.path.abspath(args.build)
    readers = args.readers.split(",")
    if args.before:
        readers += [r + "-before" for r in readers if r in ("view", "log")]
    readers = list(dict.fromkeys(readers))  # a reader named twice runs once per turn
    stages = {r: os.path.join(os.path.abspath(args.before) if r.endswith("-before") else args.build, "stage")
              for r in readers}

    print(f"machine: {os.cpu_count()} cores, load average {loadavg()} at the start")
    print(f"feed: {args.seconds:g} s per run, {args.speed:g} x the bus rate"
          + (f", reader stopped {args.stall:g} ms halfway" if args.stall else "")
          + f"; median of {args.runs} runs")
    for case in args.cases.split(","):
        results = {r: [] for r in readers}
        for _ in range(args.runs):
            for r in readers:
                try:
                    results[r].append(one(r, stages[r], args, case))
                except (RuntimeError, OSError) as e:
                    print(f"  {r}: {e}", file=sys.stderr)
        print(f"\n{case}: {CASES[case]}")
        print(f"  {'reader':<12} {'core %':>7} {'us/frame':>9} {'lost':>8} {'lost %':>7} {'adapter':>8}"
              f" {'RSS MiB':>8} {'x view':>7} {'x dump':>7}   frames fed")
        med = {}
        for r in readers:
            rs = results[r]
            if not rs:
                continue
            med[r] = {k: statistics.median(x[k] for x in rs) for k in rs[0]}
        base = med.get("view", {}).get("us_per_frame")
        dump = med.get("dump", {}).get("us_per_frame")
        for r, m in med.items():
            ratio = f"{m['us_per_frame'] / base:7.2f}" if base else "      -"
            ratio += f" {m['us_per_frame'] / dump:7.2f}" if dump else "       -"
            runs = " ".join(f"{x['share']:.1f}%/{x['lost']}" for x in results[r])
            print(f"  {r:<12} {m['share']:7.1f} {m['us_per_frame']:9.2f} {m['lost']:8.0f} {m['lost_pct']:7.2f}"
                  f" {m['in_adapter']:8.0f} {m['rss']:8.1f} {ratio}   {m['fed']:.0f}   (runs: {runs})")
        # The figure the program is held to: its CPU per frame with the bus
        # viewer against zelkctl dump's, run by run (each pair in one turn).
        pairs = [v["us_per_frame"] / d["us_per_frame"]
                 for v, d in zip(results.get("view", []), results.get("dump", [])) if d["us_per_frame"] > 0]
        if pairs:
            print(f"  view / dump per run: {' '.join(f'{x:.2f}' for x in pairs)};"
                  f" median {statistics.median(pairs):.2f} (goal: at most {VIEW_GOAL}); load average {loadavg()}")
    print(f"\nload average {loadavg()} at the end")


if __name__ == "__main__":
    main()
