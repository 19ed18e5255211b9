"""Workloads timed in a fresh interpreter that imports kelpa from a given
build directory (bench/ab.py, bench/bench_builds.py).

A child is Python source that starts with CHILD_PRELUDE: kelpa imported
and `best` (also the timing of bench/run.py). It prints one JSON object,
{"file": kelpa.__file__, "seconds": ...}; run() checks that the kelpa it
imported is the build's and returns the seconds.
"""

import gc
import inspect
import json
import math
import os
import subprocess
import sys
import time
from pathlib import Path


def best(fn, repeats, setup=None):
    """Best wall time of fn() over `repeats` runs, after one untimed run."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        fastest = math.inf
        for i in range(repeats + 1):
            if setup is not None:
                setup()
            began = time.perf_counter()
            result = fn()
            elapsed = time.perf_counter() - began
            del result
            if i:
                fastest = min(fastest, elapsed)
        return fastest
    finally:
        if was_enabled:
            gc.enable()


CHILD_PRELUDE = "import gc, json, math, os, random, sys, time\nimport kelpa\n\n" + inspect.getsource(best)


def run(directory, child, args, cwd):
    """Runs `child` with `args` in a fresh interpreter importing kelpa from `directory`."""
    env = {**os.environ, "PYTHONPATH": str(directory)}
    out = subprocess.run(
        [sys.executable, "-c", child, *map(str, args)], env=env, capture_output=True, text=True, check=True, cwd=cwd
    ).stdout
    answer = json.loads(out)
    if Path(answer["file"]).parent != Path(directory):
        raise SystemExit(f"imported {answer['file']}, not a build from {directory}")
    return answer["seconds"]
