#!/usr/bin/env python3
"""Turns one run of scripts/bench.sh into bench/report.md and a histogram.

Usage: report.py RESULTS_DIR REPORT.md HISTOGRAM.png

Standard library only, so the report needs nothing beyond the build.
"""
import datetime
import json
import os
import platform
import statistics
import struct
import subprocess
import sys
import zlib


def load(path):
    with open(path) as f:
        return json.load(f)


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} cores, Linux {platform.release()}"


def benchmark_rows(data):
    return [b for b in data.get("benchmarks", []) if b.get("run_type", "iteration") == "iteration"]


def time_ms(b):
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b.get("time_unit", "ns")]
    return b["real_time"] * scale


def render_table(data):
    lines = ["| case | ours (ms) | memcpy (ms) | ×memcpy | libyuv (ms) | ×libyuv | PSNR (dB) |",
             "|---|---|---|---|---|---|---|"]
    for b in benchmark_rows(data):
        ours = b.get("cpu_ms", time_ms(b))
        mem = b.get("memcpy_ms")
        yuv = b.get("libyuv_ms")
        psnr = b.get("psnr_db")
        lines.append("| {} | {:.3f} | {} | {} | {} | {} | {} |".format(
            b["name"], ours,
            f"{mem:.3f}" if mem else "–", f"{ours / mem:.2f}" if mem else "–",
            f"{yuv:.3f}" if yuv else "–", f"{ours / yuv:.2f}" if yuv else "–",
            f"{psnr:.1f}" if psnr else "–"))
    return lines


def plain_table(data, unit):
    factor = {"us": 1e3, "ms": 1.0}[unit]
    lines = [f"| case | time ({unit}) |", "|---|---|"]
    for b in benchmark_rows(data):
        lines.append(f"| {b['name']} | {time_ms(b) * factor:.3f} |")
    return lines


def grab_table(data):
    rows = benchmark_rows(data)
    copies = {}
    for b in rows:
        if b["name"].startswith("memcpyFrame"):
            copies[tuple(b["name"].split("/")[1:3])] = time_ms(b)
    lines = ["| case | grab (ms) | memcpy of the same bytes (ms) | ×memcpy |", "|---|---|---|---|"]
    for b in rows:
        if b["name"].startswith("memcpyFrame"):
            continue
        parts = b["name"].split("/")
        size = tuple(p.split(":")[-1] for p in parts[1:3])
        mem = copies.get(size)
        ours = time_ms(b)
        lines.append("| {} | {:.3f} | {} | {} |".format(
            b["name"], ours, f"{mem:.3f}" if mem else "–", f"{ours / mem:.2f}" if mem else "–"))
    return lines


def histogram_png(samples, path, width=640, height=240, bins=40):
    """Bars of the sample counts, left to right from the fastest."""
    low, high = min(samples), max(samples)
    span = (high - low) or 1.0
    counts = [0] * bins
    for s in samples:
        counts[min(bins - 1, int((s - low) / span * bins))] += 1
    top = max(counts)
    bar = width // bins
    rows = []
    for y in range(height):
        row = bytearray([0])  # filter: none
        for x in range(width):
            i = min(bins - 1, x // bar)
            filled = (height - y) <= counts[i] / top * (height - 10)
            gap = x % bar == bar - 1
            colour = (40, 90, 200) if filled and not gap else (255, 255, 255)
            row += bytes(colour)
        rows.append(bytes(row))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)
    return low, high


def main():
    results, report, histogram = sys.argv[1:4]
    out = [f"# Benchmark report",
           "",
           f"Run on {datetime.date.today().isoformat()}, {machine()}, by `./scripts/bench.sh`.",
           "Each time sits beside its peer measured in the same run, so the ratio holds",
           "on a busy machine even when the absolute numbers move.",
           ""]

    out += ["## Scaling a captured frame into the surface, and the test pattern", ""]
    out += render_table(load(os.path.join(results, "render.json")))
    out += ["", "## Surface fetch over the socket (client side)", ""]
    out += plain_table(load(os.path.join(results, "ipc.json")), "us")
    out += ["", "## CPU of a client waiting for frames", ""]
    with open(os.path.join(results, "frame_wait.md")) as f:
        out += [line.rstrip("\n") for line in f if line.strip()]
    out += ["", "## X11 grab of one frame", ""]
    out += grab_table(load(os.path.join(results, "x11_grab.json")))
    out += ["", "## CPU of capturing for a minute", ""]
    with open(os.path.join(results, "x11_cpu.md")) as f:
        out += [line.rstrip("\n") for line in f if line.strip()]

    out += ["", "## Helper memory while the captured window grows", "",
            "One window repainting at 60 Hz, grown step by step past the screen (Xvfb);",
            "the helper streams it shrunk into the 1280x720 frame, read in bands.", ""]
    with open(os.path.join(results, "window_memory.md")) as f:
        out += [line.rstrip("\n") for line in f if line.strip()]

    samples = load(os.path.join(results, "startup.json"))["startup_to_listening_ms"]
    low, high = histogram_png(samples, histogram)
    p90 = sorted(samples)[int(0.9 * (len(samples) - 1))]
    out += ["", "## Helper start to listening", "",
            f"{len(samples)} runs: median {statistics.median(samples):.2f} ms, "
            f"90th percentile {p90:.2f} ms, range {low:.2f}–{high:.2f} ms.",
            "",
            f"![start-up latency histogram, {low:.1f} ms (left) to {high:.1f} ms (right)]"
            f"({os.path.basename(histogram)})", ""]
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, check=True).stdout.strip()
        out += [f"Commit {commit}.", ""]
    except (OSError, subprocess.CalledProcessError):
        pass
    with open(report, "w") as f:
        f.write("\n".join(out))


if __name__ == "__main__":
    main()
