#!/usr/bin/env python3
"""Turns one run of scripts/bench.sh into bench/report.md and a histogram.

Usage: report.py RESULTS_DIR REPORT.md HISTOGRAM.png
       report.py --wayland RESULTS_DIR   (the Wayland section alone, on stdout)

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


def cost_ms(b):
    """CPU time per call where the row counts it, else wall time."""
    return b.get("cpu_ms", time_ms(b))


# Counters a benchmark may report, in the order their columns appear;
# others follow by name.
KNOWN_COUNTERS = ["memcpy_ms", "x_memcpy", "libyuv_ms", "x_libyuv", "psnr_db"]


def goal_of(b):
    """A benchmark's label "GOAL: met" or "GOAL: MISSED", split."""
    goal, _, verdict = b.get("label", "").rpartition(": ")
    return (goal, verdict.lower()) if verdict in ("met", "MISSED") else ("", "")


def least_of_repetitions(rows):
    """One row per case: with repetitions, its least time and its peers'
    least times (the figures least bent by neighbours), the ratios taken
    between those, the label of its quickest repetition."""
    cases = {}
    for b in rows:
        cases.setdefault(b.get("run_name", b["name"]), []).append(b)
    merged = []
    for name, runs in cases.items():
        quickest = dict(min(runs, key=cost_ms), name=name)
        for peer in ("memcpy", "libyuv"):
            if f"{peer}_ms" in quickest:
                quickest[f"{peer}_ms"] = min(b[f"{peer}_ms"] for b in runs)
                quickest[f"x_{peer}"] = cost_ms(quickest) / quickest[f"{peer}_ms"]
        merged.append(quickest)
    return merged


def benchmark_table(data, unit="ms", goals=()):
    """Every case a Google Benchmark binary emitted, with its counters and
    goal; `goals` adds (name prefix, goal text, test of the row) of our own."""
    rows = least_of_repetitions(benchmark_rows(data))
    skip = {"cpu_ms", "bytes_per_second", "items_per_second"}
    counters = sorted({k for b in rows for k, v in b.items()
                       if isinstance(v, (int, float)) and k not in skip and k not in
                       ("iterations", "real_time", "cpu_time", "repetitions", "repetition_index",
                        "threads", "family_index", "per_family_instance_index")},
                      key=lambda k: (KNOWN_COUNTERS.index(k) if k in KNOWN_COUNTERS else 99, k))
    factor = {"us": 1e3, "ms": 1.0}[unit]
    lines = ["| " + " | ".join(["case", f"time ({unit})"] + counters + ["goal", "met"]) + " |",
             "|---|---|" + "---|" * len(counters) + "---|---|"]
    for b in rows:
        time = cost_ms(b) * factor
        cells = ["{:.3f}".format(b[c]) if c in b else "–" for c in counters]
        goal, verdict = goal_of(b)
        for prefix, text, test in goals:
            if b["name"].startswith(prefix):
                goal, verdict = text, "met" if test(b) else "missed"
        verdict = {"met": "met", "missed": "**missed**"}.get(verdict, "–")
        lines.append("| " + " | ".join([b["name"], f"{time:.3f}"] + cells + [goal or "–", verdict]) + " |")
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


CAPTURERS = [("fenwright", "Fenwright"), ("gst", "gst `use-damage=false`"),
             ("gst-damage", "gst default (damage)"), ("ffmpeg", "ffmpeg x11grab")]
LATENCY_GOAL = (3.0, 8.0)  # p50, p99 in ms
FIRST_FRAME_GOAL_MS = 15.0
CLIENT_CPU_GOAL = 0.3  # % of a core


def span(values, digits=2):
    """min–max over repetitions, or one value, or a dash."""
    values = [v for v in values if v is not None]
    if not values:
        return "–"
    low, high = min(values), max(values)
    return f"{low:.{digits}f}" if round(low, digits) == round(high, digits) else \
        f"{low:.{digits}f}–{high:.{digits}f}"


def window_name(row):
    return f"{row['window']} at {row['hz']} Hz" if row["hz"] else f"{row['window']} static"


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))] if ordered else None


def verdict(met):
    return "met" if met else "**missed**"


def capture_sections(data):
    rows = [r for r in data["rows"] if not r.get("failed")]
    failed = [r for r in data["rows"] if r.get("failed")]
    windows = []
    for r in data["rows"]:
        if (r["window"], r["hz"]) not in [(w["window"], w["hz"]) for w in windows]:
            windows.append(r)
    present = [c for c in CAPTURERS if any(r["capturer"] == c[0] for r in rows)]

    def pick(capturer, window, key):
        return [r.get(key) for r in rows if r["capturer"] == capturer and
                (r["window"], r["hz"]) == (window["window"], window["hz"])]

    out = ["## The helper beside its peers: CPU",
           "",
           f"The real binaries on one Xvfb, each capturing the same window at 30 fps and scaling it "
           f"to 640×360; a client takes the helper's frames (it renders only with one). "
           f"% of one core (utime+stime from /proc) over {data['seconds']:.0f} s, "
           f"range over {data['repetitions']} repetitions run in rotated order. "
           "The painting window's own CPU is in no column; the X server's is below.",
           "",
           "| window | " + " | ".join(name for _, name in present) + " |",
           "|---|" + "---|" * len(present)]
    for w in windows:
        out.append(f"| {window_name(w)} | " + " | ".join(span(pick(c, w, "cpu")) for c, _ in present) + " |")
    out += ["", "X server (Xvfb) CPU in the same runs, % of a core; it includes painting the window:", "",
            "| window | " + " | ".join(name for _, name in present) + " |",
            "|---|" + "---|" * len(present)]
    for w in windows:
        out.append(f"| {window_name(w)} | " + " | ".join(span(pick(c, w, "xserver")) for c, _ in present) + " |")
    def paired(capturer, window):
        """helper + X server of each repetition, by repetition."""
        return {r["repetition"]: r["cpu"] + r["xserver"] for r in rows
                if r["capturer"] == capturer and (r["window"], r["hz"]) == (window["window"], window["hz"])
                and r.get("cpu") is not None and r.get("xserver") is not None}

    peer = "gst" if any(c == "gst" for c, _ in present) else None
    out += ["", "Capturer and X server together, each repetition's sum (what a user pays). Goal: the "
            "helper's no higher than gst without damage's in every repetition (each pair ran in the "
            "same round):", "",
            "| window | " + " | ".join(name for _, name in present) + " | goal | met |",
            "|---|" + "---|" * (len(present) + 2)]
    for w in windows:
        ours, theirs = paired("fenwright", w), paired(peer, w) if peer else {}
        rounds = sorted(set(ours) & set(theirs))
        met = verdict(all(ours[i] <= theirs[i] for i in rounds)) if rounds else "–"
        out.append(f"| {window_name(w)} | " +
                   " | ".join(span(list(paired(c, w).values())) for c, _ in present) +
                   f" | {'≤ gst without damage' if rounds else '–'} | {met} |")
    out += ["", "Frames a second the helper's client took: " + ", ".join(
        f"{window_name(w)} {span(pick('fenwright', w, 'fps'), 1)}" for w in windows) + "."]
    if failed:
        out += ["", "Runs that failed: " + ", ".join(f"{r['capturer']} on {window_name(r)}" for r in failed) + "."]
    for missing in data.get("missing", []):
        out += ["", f"Not measured: {missing} is not installed."]

    out += ["", "## Repaint to client",
            "",
            "The window stamps each repaint (its number in a colour block) and notes when it sent it; "
            "the client, sleeping on the seed (`waitForFrame`), reads the stamp the moment a frame "
            "arrives. Each repaint counts once, at its first sighting. The gst peer writes its "
            "frames to a pipe the same client reads (its run is half as long). "
            f"Goal for the helper: p50 under {LATENCY_GOAL[0]:g} ms and p99 under {LATENCY_GOAL[1]:g} ms "
            "in every repetition.",
            "",
            "| capturer | window | repaints seen per run | p50 (ms) | p99 (ms) | goal | met |",
            "|---|---|---|---|---|---|---|"]
    for capturer, name in [("fenwright", "Fenwright"), ("gst-latency", "gst `use-damage=false`")]:
        for w in windows:
            runs = [r["latency_ms"] for r in rows if r["capturer"] == capturer and r.get("latency_ms")
                    and (r["window"], r["hz"]) == (w["window"], w["hz"])]
            if not runs:
                continue
            p50s = [percentile(x, 50) for x in runs]
            p99s = [percentile(x, 99) for x in runs]
            goal, met = "–", "–"
            if capturer == "fenwright":
                goal = f"<{LATENCY_GOAL[0]:g} / <{LATENCY_GOAL[1]:g}"
                met = verdict(max(p50s) < LATENCY_GOAL[0] and max(p99s) < LATENCY_GOAL[1])
            out.append(f"| {name} | {window_name(w)} | {span([len(x) for x in runs], 0)} | "
                       f"{span(p50s)} | {span(p99s)} | {goal} | {met} |")

    first = data.get("first_frame_ms", [])
    out += ["", "## First frame", ""]
    if first:
        median = statistics.median(first)
        out += ["From the helper's start, its sentinel already naming a static 1280×720 window, to the "
                "first frame showing that window in a client's surface (the client dials as soon as "
                "the socket takes calls).",
                "",
                "| runs | p50 (ms) | range (ms) | goal | met |", "|---|---|---|---|---|",
                f"| {len(first)} | {median:.1f} | {min(first):.1f}–{max(first):.1f} | "
                f"<{FIRST_FRAME_GOAL_MS:g} ms p50 | {verdict(median < FIRST_FRAME_GOAL_MS)} |"]
    else:
        out += ["No run showed the window."]

    out += ["", "## CPU of a client taking frames", "",
            "The helper's client in the runs above, in a process of its own: it sleeps on the seed "
            "and reads one stamp pixel of each frame, without copying it.",
            "",
            "| window | frames/s | client CPU (% of a core) | goal | met |", "|---|---|---|---|---|"]
    for w in windows:
        cpu = [c for c in pick("fenwright", w, "client_cpu") if c is not None]
        if w["hz"] and cpu:
            out.append(f"| {window_name(w)} | {span(pick('fenwright', w, 'fps'), 1)} | {span(cpu, 3)} | "
                       f"<{CLIENT_CPU_GOAL:g} | {verdict(max(cpu) < CLIENT_CPU_GOAL)} |")
    return out


def wayland_section(results, x11=None):
    """The Wayland backend's runs (bench/wayland), with the X11 backend's 720p/60 Hz row beside."""
    out = ["## Wayland backend (headless GNOME)", ""]
    path = os.path.join(results, "wayland.json")
    if not os.path.exists(path):
        try:
            with open(os.path.join(results, "wayland-skipped.txt")) as f:
                why = f.read().strip()
        except OSError:
            why = "not run"
        return out + [f"Not measured: {why}."]
    data = load(path)
    rows = [r for r in data["rows"] if not r.get("failed")]
    failed = [r for r in data["rows"] if r.get("failed")]

    def pick(capturer, key):
        return [r.get(key) for r in rows if r["capturer"] == capturer]

    def latency(capturer):
        runs = [r["latency_ms"] for r in rows if r["capturer"] == capturer and r.get("latency_ms")]
        return (span([percentile(x, 50) for x in runs], 1), span([percentile(x, 99) for x in runs], 1)) \
            if runs else ("–", "–")

    out += [f"gnome-shell --headless on its 1280×720 virtual monitor (scripts/wayland_session.sh), "
            f"PipeWire and the ScreenCast portal. The window: foot, fullscreen (1280×720, the node "
            f"is {', '.join(sorted(set(pick('gst', 'node_size')))) or 'unknown'}), a program in it "
            f"repainting a quarter of it at {data['hz']} Hz with a stamp. Each run picks the window "
            "through the portal with a restore token written beforehand (no dialog): the real helper "
            "with a client sleeping on its frames (bench/e2e/fenwright_bench_client), or "
            "`gst-launch-1.0 pipewiresrc fd=… path=<node> ! videorate ! video/x-raw,framerate=30/1 ! "
            "videoscale ! video/x-raw,width=640,height=360 ! fakesink` on the same kind of window node "
            "(bench/wayland/fenwright_portal_peer opens the portal for it). "
            f"% of one core (utime+stime from /proc) over {data['seconds']:.0f} s, range over "
            f"{data['repetitions']} repetitions in rotated order. The capturer's column excludes "
            "gnome-shell, which composites the window and copies its frames into PipeWire; "
            "its CPU is a column of its own, beside a span with no capture at all" +
            ("" if data.get("gpu", True) else " (no GPU here: it renders in software)") + ". The terminal's and "
            "the painting program's CPU are in neither. Repaint to client runs from the program's "
            "write to the terminal, so the terminal's and the shell's drawing are in it; gst writes "
            "its frames to a pipe the same client reads (BGRx, half as long a run), which also gives "
            "its frames/s. videorate repeats frames to keep 30/s, so new repaints/s (the window's "
            "repaints a client saw, each once) is what compares.",
            "",
            "| capturer | capturer CPU | gnome-shell CPU | frames/s (new repaints/s) | "
            "repaint to client p50 / p99 (ms) |",
            "|---|---|---|---|---|"]
    p50, p99 = latency("fenwright")
    out.append(f"| Fenwright, Wayland backend | {span(pick('fenwright', 'cpu'))} | "
               f"{span(pick('fenwright', 'compositor'))} | {span(pick('fenwright', 'fps'), 1)} "
               f"({span(pick('fenwright', 'new_fps'), 1)}) | "
               f"{p50} / {p99} |")
    p50, p99 = latency("gst-latency")
    out.append(f"| gst pipewiresrc | {span(pick('gst', 'cpu'))} | {span(pick('gst', 'compositor'))} | "
               f"{span(pick('gst-latency', 'fps'), 1)} ({span(pick('gst-latency', 'new_fps'), 1)}) | {p50} / {p99} |")
    out.append(f"| no capture | – | {span(pick('none', 'compositor'))} | – | – |")
    if x11:
        same = [r for r in x11["rows"] if not r.get("failed") and r["capturer"] == "fenwright"
                and (r["window"], r["hz"]) == ("1280x720", 60)]
        runs = [r["latency_ms"] for r in same if r.get("latency_ms")]
        out.append(f"| Fenwright, X11 backend (Xvfb, above) | {span([r.get('cpu') for r in same])} | "
                   f"Xvfb: {span([r.get('xserver') for r in same])} | "
                   f"{span([r.get('fps') for r in same], 1)} ({span([len(x) / x11['seconds'] for x in runs], 1)}) | "
                   f"{span([percentile(x, 50) for x in runs], 1)} / {span([percentile(x, 99) for x in runs], 1)} |")
    if failed:
        out += ["", "Runs that failed: " + ", ".join(r["capturer"] for r in failed) + "."]
    return out


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


def baseline_section(results):
    """The in-process benches beside an older commit's, when bench.sh ran both."""
    path = os.path.join(results, "baseline-commit.txt")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        commit = f.read().strip()
    # (bench, case) -> {(side, round): least wall time of that round's repetitions}
    least = {}
    for name in sorted(os.listdir(results)):
        parts = name[:-len(".json")].split("-")
        if not name.startswith("baseline-") or not name.endswith(".json") or len(parts) != 4:
            continue
        _, side, round_, bench = parts
        for b in benchmark_rows(load(os.path.join(results, name))):
            times = least.setdefault((bench, b.get("run_name", b["name"])), {})
            times[(side, round_)] = min(times.get((side, round_), float("inf")), time_ms(b))

    # memcpy and libyuv are the same code in both builds: how far they move
    # is the run's noise, not a change of ours.
    def is_peer(case):
        return case.startswith(("memcpy", "libyuv"))

    # Each round runs then and now back to back, so a round's ratio is free
    # of the machine's drift between rounds; a row is slower only when every
    # round says so.
    def table(rows, mark):
        lines = ["| bench | case | then (ms) | now (ms) | now/then by round | |",
                 "|---|---|---|---|---|---|"]
        slower = 0
        for (bench, case), times in rows:
            rounds = sorted({r for _, r in times})
            ratios = [times[("now", r)] / times[("then", r)] for r in rounds
                      if ("now", r) in times and ("then", r) in times]
            if not ratios:
                continue
            then = min(t for (side, _), t in times.items() if side == "then")
            now = min(t for (side, _), t in times.items() if side == "now")
            late = mark and min(ratios) > 1.05
            slower += late
            lines.append(f"| {bench} | {case} | {then:.4g} | {now:.4g} | "
                         f"{min(ratios):.2f}–{max(ratios):.2f} | {'**slower**' if late else ''} |")
        return lines, slower

    rows = sorted(least.items())
    ours, slower = table([row for row in rows if not is_peer(row[0][1])], True)
    peers, _ = table([row for row in rows if is_peer(row[0][1])], False)
    out = [f"## The in-process benches beside {commit}'s", "",
           f"{commit}'s benches built from its own tree and run in turn with these, three rounds "
           "of three repetitions each, then and now back to back in each round; the least wall "
           "time of each, and of each round. A row is slower when it takes more than 5 % longer "
           "than then in every round.", ""] + ours
    out += ["", f"Rows slower than then: {slower}.", "",
            "The peers both builds measure, the same code on both sides: how far they move is "
            "the run's noise.", ""] + peers
    return out


def main():
    if sys.argv[1] == "--wayland":
        print("\n".join(wayland_section(sys.argv[2])))
        return
    results, report, histogram = sys.argv[1:4]
    out = [f"# Benchmark report",
           "",
           f"Run on {datetime.date.today().isoformat()}, {machine()}, by `./scripts/bench.sh`.",
           "The machine is shared with other work and noisy: every figure sits beside its",
           "peers measured in the same run, and ranges are over repetitions. A goal's verdict",
           "is \"met\" only when the whole range meets it. Load average (1, 5, 15 min) as the",
           "report was written: {:.1f}, {:.1f}, {:.1f}.".format(*os.getloadavg()),
           ""]

    capture = load(os.path.join(results, "capture.json"))
    out += capture_sections(capture)
    out += [""] + wayland_section(results, capture)
    render = load(os.path.join(results, "render.json"))
    repetitions = max(b.get("repetitions", 1) for b in benchmark_rows(render))
    out += ["", "## Scaling into the surface (bench/render)", "",
            "CPU time per call where the row has a counter of it, else wall time; memcpy and "
            "libyuv are the same input measured in the same run. The least of "
            f"{repetitions} repetitions, for the case and for each peer, and the ratios "
            "between those. Goal for every ratio (compose, scaleSweep): at most 2x a "
            "memcpy of the input."]
    within = ("≤2x memcpy", lambda b: b["x_memcpy"] <= 2.0)
    out += [""] + benchmark_table(render, goals=[("compose/", *within), ("scaleSweep/", *within)])
    out += ["", "## Surface fetch over the socket, client side (bench/ipc)", "",
            "Against a listener in the same process. Rows with a goal: CPU time of the process; "
            "the others: wall time."]
    out += [""] + benchmark_table(load(os.path.join(results, "ipc.json")), "us")
    out += ["", "## X11 grab of one frame, in process (bench/x11)", ""]
    out += grab_table(load(os.path.join(results, "x11_grab.json")))
    baseline = baseline_section(results)
    if baseline:
        out += [""] + baseline
    out += ["", "## Helper memory while the captured window grows", "",
            "One window repainting at 60 Hz, grown step by step past the screen (Xvfb);",
            "up to 3840x2160 pixels the helper hands the picture on whole; a larger one",
            "it shrinks into the 1280x720 frame as it reads it, in bands.", ""]
    with open(os.path.join(results, "window_memory.md")) as f:
        out += [line.rstrip("\n") for line in f if line.strip()]

    samples = load(os.path.join(results, "startup.json"))["startup_to_listening_ms"]
    low, high = histogram_png(samples, histogram)
    p90 = sorted(samples)[int(0.9 * (len(samples) - 1))]
    out += ["", "## Helper start to listening (listener-only mode)", "",
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
