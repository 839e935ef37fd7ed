#!/usr/bin/env python3
"""Runs in the bench's terminal: repaints its top-left quarter at 60 Hz.

Usage: animate.py PAINTED READY

Each repaint is a stamp, its number in the block's colour as the bench
client decodes it (each hex digit d of a 12-bit number as level 16*d+8 of
red, green, blue), and a line "<number> <CLOCK_MONOTONIC ns>" in PAINTED.
The rest of the terminal is its background, which the client takes for the
window.
"""
import os
import sys
import time

HZ = 60


def main():
    painted, ready = sys.argv[1], sys.argv[2]
    out = sys.stdout
    out.write("\x1b[?25l")
    open(ready, "w").close()
    size = None
    with open(painted, "w", buffering=1) as log:
        period, deadline, number = 1 / HZ, time.monotonic(), 0
        while True:
            # The terminal starts small and goes fullscreen a moment later.
            if os.get_terminal_size() != size:
                size = os.get_terminal_size()
                cols, rows = size.columns // 2, size.lines // 2
                out.write("\x1b[2J")
            d = [(number >> s) & 15 for s in (8, 4, 0)]
            block = "\x1b[48;2;{};{};{}m".format(*(16 * v + 8 for v in d)) + " " * cols
            out.write("\x1b[H" + "\r\n".join([block] * rows) + "\x1b[0m")
            out.flush()
            log.write(f"{number} {time.monotonic_ns()}\n")
            number = (number + 1) % 4096
            deadline += period
            time.sleep(max(0.0, deadline - time.monotonic()))


if __name__ == "__main__":
    main()
