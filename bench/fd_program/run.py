#!/usr/bin/python3
"""CAN FD side by side: the whole program with an FD-aware plug-in against
zelkctl dump, each on a saturated simulated CAN FD bus of its own.

For each case (nominal rate / data rate / data length of the saturating
node's frames) and each reader, one after the other in turns:

  dump     zelkctl dump of the FD channel to a file
  program  Nimbrel (under Xvfb) on the FD channel, started from a session
           file, with the plug-in fd_sink (bench/fd_program) loaded
  busview  the same with the bus viewer loaded too, its page in sight
           (--busview; fd_sink still counts the frames lost)
  base     the same as busview from another build (--baseline DIR), to
           compare a change with what it changes, side by side in one run

With --beside, a zelkctl dump of a bus of its own runs at the same time as
each program run, over the same seconds, and "vs beside" is the median of
the program's CPU per frame over that dump's: a shared machine whose speed
drifts from one run to the next moves both alike.

it prints the share of one core (user + system CPU over wall time), CPU
per frame, frames received, frames lost (steps of the saturating node's
rolling counter other than one), and the program's CPU per frame over
zelkctl dump's; medians of --runs runs.

usage: bench/fd_program/run.py [--build DIR] [--seconds S] [--runs N]
                               [--cases 500/2000/64,1000/8000/8] [--busview]
                               [--baseline DIR] [--warmup S] [--beside]

The measurement starts --warmup seconds (default 1) after the first frame;
a warm-up longer than the bus viewer's history takes to fill (100,000
lines: 34 s at 2,900 frames/s) measures it with a full trace, as it runs
for the rest of a long session.
Run it from a Release build: cmake -B build-rel -DCMAKE_BUILD_TYPE=Release
and build the targets nimbrel, zelkctl and fd_sink (and busview).
"""
import argparse
import glob
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
HZ = os.sysconf("SC_CLK_TCK")


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def private_env(tmp, boards):
    env = dict(os.environ)
    for k, sub in (("HOME", ""), ("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data"),
                   ("XDG_RUNTIME_DIR", "run"), ("XDG_CACHE_HOME", "cache")):
        path = os.path.join(tmp, sub) if sub else tmp
        os.makedirs(path, exist_ok=True)
        env[k] = path
    os.chmod(env["XDG_RUNTIME_DIR"], 0o700)
    env.pop("GTK_MODULES", None)
    env["ZELK_BOARDS"] = boards
    # A lock folder of its own: a dump runs beside the program (--beside).
    env["ZELK_LOCK_DIR"] = os.path.join(tmp, "locks")
    os.makedirs(env["ZELK_LOCK_DIR"], exist_ok=True)
    return env


def boards(case):
    nom, data, length = case
    return f"0=sim:channels=2,rate={nom},drate={data},traffic=full-fd,len={length}"


def wait_for(what, cond, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        v = cond()
        if v:
            return v
        time.sleep(0.05)
    raise RuntimeError("timed out waiting for " + what)


def counter_steps(counters):
    """Frames missing between successive rolling counters."""
    lost, prev = 0, None
    for c in counters:
        if prev is not None:
            lost += (c - prev - 1) & 0xFFFF
        prev = c
    return lost


def start_dump(build, case, seconds):
    """zelkctl dump of a bus of its own for seconds, started; finish_dump
    waits for it and reads what it wrote."""
    tmp = tempfile.mkdtemp(prefix="fdbench-")
    env = private_env(tmp, boards(case))
    out_path = os.path.join(tmp, "dump.log")
    nom, data, _ = case
    with open(out_path, "w") as out:
        p = subprocess.Popen([os.path.join(build, "stage", "zelkctl"), "dump", "0", "--rate",
                              str(nom), "--drate", str(data), "--seconds", str(seconds)],
                             stdout=out, env=env)
    return tmp, out_path, p, time.monotonic()


def run_dump(build, case, seconds):
    return finish_dump(start_dump(build, case, seconds))


def finish_dump(started):
    tmp, out_path, p, t0 = started
    try:
        _, status, ru = os.wait4(p.pid, 0)
        wall = time.monotonic() - t0
        if status != 0:
            raise RuntimeError(f"zelkctl dump ended with status {status}")
        counters = []
        frames = 0
        with open(out_path) as f:
            for line in f:
                m = re.search(r"\b([0-9A-F]{3,8})##[0-9A-F]([0-9A-F]*)", line)
                if not m:
                    continue
                frames += 1
                if m.group(1) == "555" and len(m.group(2)) >= 4:
                    d = bytes.fromhex(m.group(2)[:4])
                    counters.append(d[0] | d[1] << 8)
        return {"cpu": ru.ru_utime + ru.ru_stime, "wall": wall, "frames": frames,
                "lost": counter_steps(counters)}
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def xdo(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True).stdout.strip()


def read_stats(path):
    try:
        with open(path) as f:
            frames, lost = f.read().split()
        return int(frames), int(lost)
    except (OSError, ValueError):
        return None


def run_program(build, case, seconds, busview=False, warmup=1.0, beside=False):
    tmp = tempfile.mkdtemp(prefix="fdbench-")
    proc = None
    try:
        env = private_env(tmp, boards(case))
        stage = os.path.join(build, "stage")
        inst = os.path.join(tmp, "inst")
        os.makedirs(inst)
        shutil.copy2(os.path.join(stage, "nimbrel"), inst)
        for lib in glob.glob(os.path.join(stage, "libzelk.so*")):
            shutil.copy2(lib, inst, follow_symlinks=True)
        if busview:
            # Loaded at start, before the session's plug-in: its page is
            # the one in sight.
            shutil.copy2(os.path.join(stage, "busview.so"), inst)
        sink = os.path.join(inst, "fd_sink.so")
        shutil.copy2(os.path.join(build, "bench", "fd_program", "fd_sink.so"), sink)
        nom, data, _ = case
        session = os.path.join(tmp, "bench.nbs")
        with open(session, "w") as f:
            f.write(f"[Nimbrel]\nChan=0\nFlags=BOTH\nFD=ISO\nBaud={nom}\nDataRate={data}\n"
                    f"LoadPlugin={sink}\n")
        stats = os.path.join(tmp, "sink.stats")
        env["FD_SINK_STATS"] = stats
        proc = subprocess.Popen([os.path.join(inst, "nimbrel"), session], env=env)
        win = wait_for("the main window", lambda: xdo("search", "--onlyvisible", "--pid",
                                                      str(proc.pid), "--name", "^ch 0 - "), 30)
        win = win.split()[0]
        # Keys go to the window under the pointer (there is no window
        # manager); the Start button holds the focus.
        xdo("mousemove", "--window", win, "300", "300")
        xdo("key", "--window", win, "space")
        wait_for("frames in the plug-in", lambda: (read_stats(stats) or (0, 0))[0] > 0, 20)
        time.sleep(warmup)
        dump = start_dump(build, case, seconds) if beside else None
        f0, _ = read_stats(stats)
        c0, t0 = cpu_ticks(proc.pid), time.monotonic()
        time.sleep(seconds)
        f1, _ = read_stats(stats)
        c1, t1 = cpu_ticks(proc.pid), time.monotonic()
        dump = finish_dump(dump) if dump else None
        xdo("mousemove", "--window", win, "300", "300")
        xdo("key", "--window", win, "ctrl+q")
        proc.wait(30)
        _, lost = read_stats(stats)
        r = {"cpu": (c1 - c0) / HZ, "wall": t1 - t0, "frames": f1 - f0, "lost": lost}
        if dump:
            r["beside"] = (1e6 * r["cpu"] / max(1, r["frames"])) / \
                (1e6 * dump["cpu"] / max(1, dump["frames"]))
        return r
    finally:
        if proc and proc.poll() is None:
            proc.kill()
            proc.wait()
        shutil.rmtree(tmp, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build-rel"))
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--cases", default="500/2000/64,1000/8000/8")
    ap.add_argument("--busview", action="store_true",
                    help="also the program with the bus viewer in sight")
    ap.add_argument("--baseline", help="also the bus viewer case from this build")
    ap.add_argument("--beside", action="store_true",
                    help="run a zelkctl dump at the same time as each program run, over "
                         "the same seconds, and give the ratio to it (the median of the "
                         "pairs): a machine whose speed drifts between runs moves both")
    ap.add_argument("--warmup", type=float, default=1.0,
                    help="seconds of traffic before the program is measured")
    args = ap.parse_args()
    if not os.environ.get("DISPLAY"):
        os.execv(os.path.join(ROOT, "scripts", "with-xvfb.sh"),
                 [os.path.join(ROOT, "scripts", "with-xvfb.sh"), sys.executable] + sys.argv)
    build = os.path.abspath(args.build)
    cases = [tuple(int(x) for x in c.split("/")) for c in args.cases.split(",")]
    warmup = args.warmup
    beside = args.beside
    readers = {"dump": run_dump,
               "program": lambda b, c, s: run_program(b, c, s, warmup=warmup, beside=beside)}
    if args.busview:
        readers["busview"] = lambda b, c, s: run_program(b, c, s, busview=True, warmup=warmup,
                                                         beside=beside)
    if args.baseline:
        base = os.path.abspath(args.baseline)
        readers["base"] = lambda b, c, s: run_program(base, c, s, busview=True, warmup=warmup,
                                                      beside=beside)
    print(f"# {time.strftime('%Y-%m-%d %H:%M')}, load {os.getloadavg()[0]:.2f}, "
          f"{args.runs} runs of {args.seconds:g} s after {args.warmup:g} s, build {build}"
          + (f", baseline {os.path.abspath(args.baseline)}" if args.baseline else ""))
    for case in cases:
        results = {name: [] for name in readers}
        for r in range(args.runs):
            order = list(readers) if r % 2 == 0 else list(reversed(readers))
            for name in order:
                results[name].append(readers[name](build, case, args.seconds))
        print(f"\n{case[0]} kbit/s / {case[1]} kbit/s, {case[2]}-byte frames")
        print(f"{'reader':8} {'frames/s':>9} {'core %':>7} {'CPU us/frame':>13} {'lost':>6} "
              f"{'vs dump':>8}" + (f" {'vs beside':>10}" if beside else ""))
        per_frame = {}
        for name, rs in results.items():
            rate = statistics.median(x["frames"] / x["wall"] for x in rs)
            share = statistics.median(100 * x["cpu"] / x["wall"] for x in rs)
            per_frame[name] = statistics.median(1e6 * x["cpu"] / max(1, x["frames"]) for x in rs)
            lost = max(x["lost"] for x in rs)
            ratio = per_frame[name] / per_frame["dump"] if per_frame.get("dump") else float("nan")
            pairs = [x["beside"] for x in rs if "beside" in x]
            paired = f" {statistics.median(pairs):10.2f}" if pairs else (" " * 11 if beside else "")
            print(f"{name:8} {rate:9.0f} {share:7.1f} {per_frame[name]:13.2f} {lost:6d} "
                  f"{ratio:8.2f}" + paired)
    print(f"\n# load at the end {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
