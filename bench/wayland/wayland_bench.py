#!/usr/bin/env python3
"""The Wayland backend beside a PipeWire peer, in a headless GNOME session.

Usage: wayland_bench.py BUILD_DIR OUT.json  (inside scripts/wayland_session.sh;
BENCH_SECONDS)

A foot terminal, fullscreen on the session's 1280x720 monitor, repaints a
stamp at 60 Hz (animate.py). Each run picks it through the ScreenCast portal
by a restore token written beforehand, as the portal stores a pick, so no
dialog opens: the helper with a client taking its frames, or gst-launch-1.0
pipewiresrc on the same kind of window node (fenwright_portal_peer opens the
portal for it), at 30 fps scaled to 640x360. CPU of the capturer and of
gnome-shell over BENCH_SECONDS, and gnome-shell's with no capture, three
times in rotated order. The terminal's and the painting program's CPU are in
neither. The helper's runs and a gst run writing to a pipe the bench client
reads also give repaint-to-client latency, from the program's write to the
terminal (the terminal's and the shell's drawing are in it).
"""
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from capture_bench import cpu_seconds, latencies_ms, run_helper, watchdog  # noqa: E402

REPETITIONS = 3
APP = "fenwright-bench"
TITLE = "Fenwright bench"
GREEN = "20b040"  # one of the two colours the bench client takes for the window
PIPELINE = ["pipewiresrc", "fd={fd}", "path={node}", "!", "videorate", "!",
            "video/x-raw,framerate=30/1", "!", "videoscale", "!"]


def compositor_pid():
    """This session's gnome-shell: the one whose runtime directory is ours."""
    mine = os.environ["XDG_RUNTIME_DIR"].encode()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/comm") as f:
                if f.read().strip() != "gnome-shell":
                    continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if b"XDG_RUNTIME_DIR=" + mine + b"\0" in f.read():
                    return int(pid)
        except OSError:
            continue
    raise RuntimeError("no gnome-shell of this session")


def portal_pick_id(token):
    """The helper's id for a pick (FNV-1a of the token, never 0)."""
    h = 2166136261
    for b in token.encode():
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return h or 1


def permit():
    """Stores a pick of the bench window under a new token, as the portal does after its dialog."""
    with open("/proc/sys/kernel/random/uuid") as f:
        token = f.read().strip()
    data = (f"<('GNOME', uint32 1, <(int64 0, int64 0, [(uint32 0, uint32 2, "
            f"<('{APP}.desktop', '{TITLE}')>)])>)>")
    subprocess.run(["gdbus", "call", "--session", "--dest", "org.freedesktop.impl.portal.PermissionStore",
                    "--object-path", "/org/freedesktop/impl/portal/PermissionStore", "--method",
                    "org.freedesktop.impl.portal.PermissionStore.Set", "screencast", "true", token,
                    "{'': ['yes']}", data], check=True, stdout=subprocess.DEVNULL)
    return token


class Terminal:
    def __init__(self, work):
        here = os.path.dirname(os.path.abspath(__file__))
        ready = os.path.join(work, "ready")
        self.painted = os.path.join(work, "painted")
        self.proc = subprocess.Popen(
            ["foot", "--app-id", APP, "--title", TITLE, "--fullscreen",
             "-o", f"colors.background={GREEN}", "-o", f"colors.foreground={GREEN}",
             "--", "python3", os.path.join(here, "animate.py"), self.painted, ready],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(300):
            if os.path.exists(ready):
                break
            time.sleep(0.1)
        else:
            self.close()
            raise RuntimeError("the bench terminal did not start")
        time.sleep(1)  # mapped and fullscreen a moment after its program runs

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def run_fenwright(build, shell, seconds, work, painted):
    token = permit()
    sentinel = {"enabled": True, "source": "window", "window_id": portal_pick_id(token),
                "window_title": TITLE, "portal_restore_token": token}
    state = os.path.join(work, "state")
    os.makedirs(state, exist_ok=True)
    row, seen = run_helper(build, shell, 0, seconds, work, sentinel=sentinel,
                           env=dict(os.environ, XDG_STATE_HOME=state))
    if "xserver" in row:
        row["compositor"] = row.pop("xserver")
    if not row.get("failed") and os.path.exists(seen):
        row["latency_ms"], row["unreadable"] = latencies_ms(painted, seen)
        row["new_fps"] = len(row["latency_ms"]) / seconds
    return row


def start_peer(build, sink, stdout=subprocess.DEVNULL):
    """gst-launch-1.0 on the window's node; gives the wrapper, gst's pid, the node's size."""
    wrapper = subprocess.Popen(
        [f"{build}/bench/wayland/fenwright_portal_peer", permit(), "window", "gst-launch-1.0", "-q"]
        + PIPELINE + sink, stdout=stdout, stderr=subprocess.PIPE, text=True)
    for line in wrapper.stderr:
        words = line.split()
        if len(words) == 3 and words[0] == "peer":
            # Nobody reads the rest: gst's complaints would fill the pipe.
            threading.Thread(target=wrapper.stderr.read, daemon=True).start()
            return wrapper, int(words[1]), words[2]
        sys.stderr.write("fenwright_portal_peer: " + line)
    wrapper.wait()
    return wrapper, None, None


def stop(wrapper):
    wrapper.terminate()
    try:
        wrapper.wait(5)
    except subprocess.TimeoutExpired:
        wrapper.kill()
        wrapper.wait()


def run_gst(build, shell, seconds, warmup=1.0):
    wrapper, gst, size = start_peer(build, ["video/x-raw,width=640,height=360", "!", "fakesink"])
    try:
        if gst is None:
            return {"failed": True}
        time.sleep(warmup)
        before = (time.monotonic(), cpu_seconds(gst), cpu_seconds(shell))
        time.sleep(seconds)
        after = (time.monotonic(), cpu_seconds(gst), cpu_seconds(shell))
    finally:
        stop(wrapper)
    span = after[0] - before[0]
    cpu = 100 * (after[1] - before[1]) / span
    if not cpu >= 0:
        return {"failed": True}
    return {"cpu": cpu, "compositor": 100 * (after[2] - before[2]) / span, "node_size": size}


def run_nothing(shell, seconds):
    """The window animating with no capture: gnome-shell's own share."""
    before = (time.monotonic(), cpu_seconds(shell))
    time.sleep(seconds)
    after = (time.monotonic(), cpu_seconds(shell))
    return {"compositor": 100 * (after[1] - before[1]) / (after[0] - before[0])}


def run_gst_latency(build, seconds, work, painted):
    """gst writing its frames to a pipe the bench client reads."""
    seen = os.path.join(work, "seen")
    wrapper, gst, _ = start_peer(build, ["videoconvert", "!", "video/x-raw,format=BGRx,width=640,height=360",
                                         "!", "fdsink", "fd=1"], stdout=subprocess.PIPE)
    if gst is None:
        return {"failed": True}
    client = subprocess.Popen([f"{build}/bench/e2e/fenwright_bench_client", "--raw",
                               "--seconds", str(seconds), "--stamps", seen],
                              stdin=wrapper.stdout, stdout=subprocess.PIPE, text=True)
    wrapper.stdout.close()
    timer = watchdog(client, seconds + 20)
    ends = [line.split()[1:] for line in client.stdout if line.startswith("end")]
    client.wait()
    timer.cancel()
    stop(wrapper)
    if not ends:
        return {"failed": True}
    fields = {k: float(v) for k, v in (kv.split("=") for kv in ends[0])}
    result, unreadable = latencies_ms(painted, seen)
    return {"latency_ms": result, "unreadable": unreadable, "fps": fields["frames"] / fields["seconds"],
            "new_fps": len(result) / fields["seconds"]}


def main():
    build, out = sys.argv[1], sys.argv[2]
    seconds = float(os.environ.get("BENCH_SECONDS", "10"))
    shell = compositor_pid()
    cases = ["fenwright", "gst", "gst-latency", "none"]
    rows = []
    with tempfile.TemporaryDirectory() as work:
        terminal = Terminal(work)
        try:
            for rep in range(REPETITIONS):
                shift = rep * len(cases) // REPETITIONS
                for capturer in cases[shift:] + cases[:shift]:
                    print(f"bench:   {capturer} on the Wayland window ({rep + 1}/{REPETITIONS})",
                          file=sys.stderr)
                    with tempfile.TemporaryDirectory() as run:
                        if capturer == "fenwright":
                            row = run_fenwright(build, shell, seconds, run, terminal.painted)
                        elif capturer == "none":
                            row = run_nothing(shell, seconds)
                        elif capturer == "gst":
                            row = run_gst(build, shell, seconds)
                        else:
                            row = run_gst_latency(build, max(seconds / 2, 2), run, terminal.painted)
                    row.update(capturer=capturer, repetition=rep)
                    rows.append(row)
        finally:
            terminal.close()
    with open(out, "w") as f:
        json.dump({"seconds": seconds, "repetitions": REPETITIONS, "window": "1280x720", "hz": 60,
                   "gpu": os.path.isdir("/dev/dri"),
                   "rows": rows}, f)


if __name__ == "__main__":
    main()
