#!/usr/bin/env python3
"""Process start to "listening" time of the helper, in listener-only mode.

Usage: startup_latency.py PATH/TO/fenwright [RUNS] [SAMPLES.json]
Prints the median and the 90th percentile in milliseconds; with a third
argument, also writes every sample there.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time


def one_run(binary):
    with tempfile.TemporaryDirectory() as data, tempfile.TemporaryDirectory() as runtime:
        os.chmod(runtime, 0o700)
        env = dict(os.environ, XDG_DATA_HOME=data, XDG_RUNTIME_DIR=runtime)
        start = time.perf_counter()
        proc = subprocess.Popen([binary], env=env, stderr=subprocess.PIPE, text=True)
        try:
            for line in proc.stderr:
                if "listening on Mach service:" in line:
                    return (time.perf_counter() - start) * 1000.0
            raise RuntimeError("helper exited before listening")
        finally:
            proc.kill()
            proc.wait()


def main():
    binary = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    samples = sorted(one_run(binary) for _ in range(runs))
    p90 = samples[int(0.9 * (len(samples) - 1))]
    print(f"startup_to_listening_ms median={statistics.median(samples):.2f} "
          f"p90={p90:.2f} runs={runs}")
    if len(sys.argv) > 3:
        with open(sys.argv[3], "w") as out:
            json.dump({"startup_to_listening_ms": samples}, out)


if __name__ == "__main__":
    main()
