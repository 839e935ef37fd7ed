#!/usr/bin/env python3
"""The real helper beside its peers, on the same X server and windows.

Usage: capture_bench.py BUILD_DIR XVFB_PID OUT.json [--only first-frame]
       (DISPLAY set; BENCH_SECONDS)

For a quicker look at a few cases: BENCH_ONLY picks capturers (e.g.
"fenwright,gst,gst-latency"), BENCH_WINDOWS windows (e.g.
"1280x720@60,1920x1080@60"), BENCH_REPETITIONS and BENCH_FIRST_FRAME_RUNS
the counts.

For each window (1280x720 and 1920x1080 repainting at 60 Hz, a static
1280x720) and each capturer (the helper with a client taking its frames,
gst-launch-1.0 ximagesrc with and without damage, ffmpeg x11grab, all at
30 fps and scaled to 640x360), the CPU of the capturer and of the X server
over BENCH_SECONDS (utime+stime from /proc), in rotated order, three times.
The painting window's own CPU is in neither. The helper's runs also give its
repaint-to-client latency and its first frame; a gst run writing frames to a
pipe gives the peer's latency. Then the helper's first frame, started again
and again on a static window.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

REPETITIONS = int(os.environ.get("BENCH_REPETITIONS", "3"))
FIRST_FRAME_RUNS = int(os.environ.get("BENCH_FIRST_FRAME_RUNS", "20"))
WINDOWS = [("1280x720", 60), ("1920x1080", 60), ("1280x720", 0)]
if os.environ.get("BENCH_WINDOWS"):
    WINDOWS = [w for w in WINDOWS if f"{w[0]}@{w[1]}" in os.environ["BENCH_WINDOWS"].split(",")]


def cpu_seconds(pid):
    """utime+stime of a process; NaN once it is gone, so its row reads as failed."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (OSError, TypeError):
        return float("nan")
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def gst(xid, damage, sink, caps=""):
    source = ["ximagesrc", f"xid={xid}"] + ([] if damage else ["use-damage=false"])
    return (["gst-launch-1.0", "-q"] + source + ["!", "video/x-raw,framerate=30/1", "!", "videoscale",
            "!", f"video/x-raw{caps},width=640,height=360", "!"] + sink)


def ffmpeg(xid):
    return ["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "x11grab", "-framerate", "30",
            "-window_id", str(xid), "-i", os.environ["DISPLAY"], "-vf", "scale=640:360",
            "-f", "null", "-"]


def available(argv):
    try:
        return subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    except OSError:  # not installed
        return False


class Window:
    """The stamp window, closed by closing its stdin."""

    def __init__(self, build, size, hz, stamps):
        self.proc = subprocess.Popen(
            [f"{build}/bench/e2e/fenwright_stamp_window", "--size", size, "--hz", str(hz),
             "--stamps", stamps], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().split()
        if len(line) != 2 or line[0] != "window":
            raise RuntimeError("the stamp window did not start")
        self.xid = int(line[1])

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def paints(path):
    """Stamp number -> paint times, in order."""
    times = {}
    with open(path) as f:
        for line in f:
            number, ns = line.split()
            times.setdefault(int(number), []).append(int(ns))
    return times


def latencies_ms(paint_file, seen_file):
    """Repaint to client for each repaint the client saw, at its first sighting."""
    painted = paints(paint_file)
    seen, result, unreadable = set(), [], 0
    with open(seen_file) as f:
        for line in f:
            number, at = (int(v) for v in line.split())
            if number < 0:
                unreadable += 1
                continue
            before = [t for t in painted.get(number, []) if t <= at]
            if not before or (number, before[-1]) in seen:
                continue
            seen.add((number, before[-1]))
            result.append((at - before[-1]) / 1e6)
    return result, unreadable


def watchdog(proc, seconds):
    timer = threading.Timer(seconds, proc.kill)
    timer.daemon = True
    timer.start()
    return timer


def run_helper(build, xvfb, xid, seconds, work, warmup=1.0, sentinel=None, env=None):
    """Starts the helper through the client; gives CPU, frames, latency files.
    XVFB is whichever display server's CPU goes beside the helper's."""
    data, runtime = os.path.join(work, "data"), os.path.join(work, "runtime")
    os.makedirs(os.path.join(data, "Q2WXR7TZ4M.com.quenfield.app"), exist_ok=True)
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    with open(os.path.join(data, "Q2WXR7TZ4M.com.quenfield.app", "pip-mode-enabled"), "w") as f:
        json.dump(sentinel or {"enabled": True, "source": "window", "window_id": xid}, f)
    env = dict(env or os.environ, XDG_DATA_HOME=data, XDG_RUNTIME_DIR=runtime)
    seen = os.path.join(work, "seen")
    client = subprocess.Popen(
        [f"{build}/bench/e2e/fenwright_bench_client", "--launch", f"{build}/service/fenwright",
         "--helper-log", os.path.join(work, "helper.log"), "--warmup", str(warmup),
         "--seconds", str(seconds), "--stamps", seen], stdout=subprocess.PIPE, text=True, env=env)
    timer = watchdog(client, seconds + warmup + 20)
    row, helper, before = {}, None, None
    for line in client.stdout:
        word, _, rest = line.strip().partition(" ")
        if word == "helper":
            helper = int(rest)
        elif word == "first_frame_ms":
            row["first_frame_ms"] = float(rest)
        elif word == "begin":
            before = (time.monotonic(), cpu_seconds(xvfb))
        elif word == "end":
            # The client reads the helper's CPU itself: the helper exits as
            # soon as the client lets go, maybe before this line is read.
            after = (time.monotonic(), cpu_seconds(xvfb))
            fields = {k: float(v) for k, v in (kv.split("=") for kv in rest.split())}
            span = fields["seconds"]
            row.update(cpu=100 * fields["helper_cpu_s"] / span,
                       xserver=100 * (after[1] - before[1]) / (after[0] - before[0]),
                       fps=fields["frames"] / span, client_cpu=100 * fields["cpu_s"] / span)
        elif word == "helper_exit":
            row["exit"] = rest
    client.wait()
    timer.cancel()
    if seconds > 0 and not row.get("cpu", float("nan")) >= 0 or "first_frame_ms" not in row:
        with open(os.path.join(work, "helper.log")) as f:
            sys.stderr.write("capture_bench: the helper run failed:\n" + f.read()[-2000:])
        row["failed"] = True
    return row, seen


def run_peer(argv, xvfb, seconds, warmup=1.0):
    peer = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(warmup)
    if peer.poll() is not None:
        return {"failed": True}
    before = (time.monotonic(), cpu_seconds(peer.pid), cpu_seconds(xvfb))
    time.sleep(seconds)
    after = (time.monotonic(), cpu_seconds(peer.pid), cpu_seconds(xvfb))
    peer.kill()
    peer.wait()
    span = after[0] - before[0]
    cpu = 100 * (after[1] - before[1]) / span
    return {"cpu": cpu, "xserver": 100 * (after[2] - before[2]) / span} if cpu >= 0 else {"failed": True}


def run_peer_latency(build, xid, seconds, work):
    """gst without damage writing its frames to a pipe the client reads."""
    seen = os.path.join(work, "seen")
    peer = subprocess.Popen(gst(xid, False, ["fdsink", "fd=1"], ",format=BGRx"),
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    client = subprocess.Popen([f"{build}/bench/e2e/fenwright_bench_client", "--raw",
                               "--seconds", str(seconds), "--stamps", seen],
                              stdin=peer.stdout, stdout=subprocess.PIPE, text=True)
    peer.stdout.close()
    timer = watchdog(client, seconds + 20)
    ended = any(line.startswith("end") for line in client.stdout)
    client.wait()
    timer.cancel()
    peer.kill()
    peer.wait()
    return ({} if ended else {"failed": True}), seen


def one_case(build, xvfb, seconds, window, capturer):
    size, hz = window
    with tempfile.TemporaryDirectory() as work:
        painted = os.path.join(work, "painted")
        win = Window(build, size, hz, painted)
        try:
            seen = None
            if capturer == "fenwright":
                row, seen = run_helper(build, xvfb, win.xid, seconds, work)
            elif capturer == "gst-latency":
                row, seen = run_peer_latency(build, win.xid, max(seconds / 2, 2), work)
            elif capturer == "gst":
                row = run_peer(gst(win.xid, False, ["fakesink"]), xvfb, seconds)
            elif capturer == "gst-damage":
                row = run_peer(gst(win.xid, True, ["fakesink"]), xvfb, seconds)
            else:
                row = run_peer(ffmpeg(win.xid), xvfb, seconds)
        finally:
            win.close()
        if seen and hz and os.path.exists(seen):
            row["latency_ms"], row["unreadable"] = latencies_ms(painted, seen)
    row.update(window=size, hz=hz, capturer=capturer)
    return row


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))] if ordered else None


def main():
    build, xvfb, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    seconds = float(os.environ.get("BENCH_SECONDS", "10"))
    capturers = ["fenwright"]
    have_gst = available(["gst-inspect-1.0", "--exists", "ximagesrc"]) and \
        available(["gst-inspect-1.0", "--exists", "videoscale"])
    if have_gst:
        capturers += ["gst", "gst-damage"]
    have_ffmpeg = available(["sh", "-c", "ffmpeg -hide_banner -h demuxer=x11grab | grep -q window_id"])
    if have_ffmpeg:
        capturers.append("ffmpeg")
    cases = [(w, c) for w in WINDOWS for c in capturers]
    if have_gst:
        cases += [(w, "gst-latency") for w in WINDOWS if w[1]]
    if os.environ.get("BENCH_ONLY"):
        cases = [case for case in cases if case[1] in os.environ["BENCH_ONLY"].split(",")]

    rows = []
    # The first-frame runs alone: seconds instead of the whole bench's minutes.
    for rep in range(0 if sys.argv[4:] == ["--only", "first-frame"] else REPETITIONS):
        shift = rep * len(cases) // REPETITIONS
        for window, capturer in cases[shift:] + cases[:shift]:
            print(f"bench:   {capturer} on {window[0]} at {window[1]} Hz ({rep + 1}/{REPETITIONS})",
                  file=sys.stderr)
            row = one_case(build, xvfb, seconds, window, capturer)
            row["repetition"] = rep
            rows.append(row)

    first = []
    for _ in range(FIRST_FRAME_RUNS):
        with tempfile.TemporaryDirectory() as work:
            win = Window(build, "1280x720", 0, os.path.join(work, "painted"))
            try:
                row, _ = run_helper(build, xvfb, win.xid, 0, work)
            finally:
                win.close()
        if "first_frame_ms" in row:
            first.append(row["first_frame_ms"])

    with open(out, "w") as f:
        json.dump({"seconds": seconds, "repetitions": REPETITIONS, "rows": rows,
                   "first_frame_ms": first,
                   "missing": ([] if have_gst else ["gst-launch-1.0 (gstreamer1.0-tools, plugins-base/good)"])
                   + ([] if have_ffmpeg else ["ffmpeg 5.0 or later (for -window_id)"])}, f)
    if first:
        print(f"bench:   first frame median {statistics.median(first):.1f} ms", file=sys.stderr)


if __name__ == "__main__":
    main()
