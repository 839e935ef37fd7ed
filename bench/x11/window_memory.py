#!/usr/bin/env python3
"""Resident memory of the helper streaming one window as the window grows.

Usage: window_memory.py PATH/TO/fenwright PATH/TO/fenwright_test_window
Needs $DISPLAY (an Xvfb: it lets windows grow past the screen). The window
repaints at 60 Hz; at each size the helper streams for a few seconds, then
its VmRSS and VmHWM (peak so far) are read from /proc.
"""
import os
import subprocess
import sys
import tempfile
import time

SIZES = [(1280, 720), (4000, 3000), (8000, 6000), (16000, 16000)]
SECONDS_PER_SIZE = 3


def memory_kib(pid):
    values = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM", "VmSize"):
                values[key] = int(rest.split()[0])
    return values


def command(window, line):
    window.stdin.write(line + "\n")
    window.stdin.flush()
    while not window.stdout.readline().startswith("ok "):
        pass


def main():
    helper, test_window = sys.argv[1], sys.argv[2]
    width, height = SIZES[0]
    window = subprocess.Popen([test_window, "--size", f"{width}x{height}"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    window_id = int(window.stdout.readline().split()[1], 0)
    with tempfile.TemporaryDirectory() as data, tempfile.TemporaryDirectory() as runtime:
        os.chmod(runtime, 0o700)
        container = os.path.join(data, "Q2WXR7TZ4M.com.quenfield.app")
        os.makedirs(container)
        with open(os.path.join(container, "pip-mode-enabled"), "w") as sentinel:
            sentinel.write('{"enabled": true, "source": "window", '
                           f'"window_id": {window_id}, "window_title": "bench"}}')
        env = dict(os.environ, XDG_DATA_HOME=data, XDG_RUNTIME_DIR=runtime)
        log = open(os.path.join(data, "helper.log"), "w+")
        proc = subprocess.Popen([helper], env=env, stderr=log)
        try:
            command(window, "animate 60")
            print("| window | RSS (MiB) | peak RSS (MiB) | address space (MiB) |")
            print("|---|---|---|---|")
            for width, height in SIZES:
                command(window, f"resize {width} {height}")
                time.sleep(SECONDS_PER_SIZE)
                if proc.poll() is not None:
                    raise RuntimeError(f"helper ended with status {proc.returncode}")
                m = memory_kib(proc.pid)
                print(f"| {width}x{height} | {m['VmRSS'] / 1024:.1f} | "
                      f"{m['VmHWM'] / 1024:.1f} | {m['VmSize'] / 1024:.0f} |")
            log.seek(0)
            lines = log.readlines()
            started = any("started — window id=" in line for line in lines)
            errors = sum("<error>" in line for line in lines)
            print(f"stream started: {started}; error lines: {errors}")
        finally:
            proc.kill()
            proc.wait()
            window.kill()
            window.wait()


if __name__ == "__main__":
    main()
