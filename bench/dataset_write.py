#!/usr/bin/python3
"""Writing a whole batch into one netCDF-4 file, against numpy and h5py.

In one process: the same replicates x points float64 array made by numpy
and written by h5py (one chunked dataset, rows of about a megabyte, no
fill) beside Batch.write of an elutrix batch of that size (the writer
alone), then elutrix-generate --format dataset making and writing the same
batch (synthesis and writer). Every file goes into --out (a memory file
system by default, so that the disk's speed does not decide).

    PYTHONPATH=build/tests/python-site ELUTRIX_GENERATE=build/generate/elutrix-generate \\
        /usr/bin/python3 bench/dataset_write.py [--replicates 100000] [--out /dev/shm/elutrix-bench]
"""

import argparse
import json
import os
import shutil
import subprocess
import tempfile
import time

import h5py
import numpy as np

import elutrix

SCENARIO = {"name": "bench", "seed": 1,
            "settings": {"noise_kind": "random", "level_by_s_to_n": True, "s_to_n_percent": 100}}


def best(repeats, action):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--replicates", type=int, default=100000)
    parser.add_argument("--out", default="/dev/shm/elutrix-bench" if os.path.isdir("/dev/shm") else None)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    os.makedirs(args.out or tempfile.gettempdir(), exist_ok=True)
    out = tempfile.mkdtemp(dir=args.out)
    try:
        start = time.perf_counter()
        batch = elutrix.simulate_batch(SCENARIO, args.replicates)
        made = time.perf_counter() - start
        rows, points = batch.response.shape
        chunk = max(1, (1 << 20) // (points * 8))
        print(f"{rows} replicates x {points} points ({batch.response.nbytes / 1e6:.0f} MB of responses); "
              f"simulate_batch took {made:.2f} s")

        made_by_numpy = {}

        def numpy_makes():
            rng = np.random.default_rng(1)
            peak = np.exp(-0.5 * ((batch.time_min - 5.0) / 0.1) ** 2)
            made_by_numpy["response"] = peak + rng.uniform(-0.005, 0.005, size=(rows, points))

        def h5py_writes():
            with h5py.File(os.path.join(out, "numpy.h5"), "w") as f:
                f.create_dataset("response", data=made_by_numpy["response"], chunks=(min(chunk, rows), points))

        def write(compress):
            return lambda: batch.write(os.path.join(out, "batch.nc"), compress=compress)

        making = best(args.repeats, numpy_makes)
        writing = best(args.repeats, h5py_writes)
        del made_by_numpy["response"]
        reference = making + writing
        print(f"numpy makes the array:                           {making:6.2f} s")
        print(f"h5py writes it (chunked like ours):              {writing:6.2f} s")
        print(f"numpy + h5py:                                    {reference:6.2f} s")
        for compress in (False, True):
            took = best(args.repeats if not compress else 1, write(compress))
            size = os.path.getsize(os.path.join(out, "batch.nc"))
            print(f"Batch.write, compress={compress!s:5} (the writer alone): {took:6.2f} s  "
                  f"({batch.response.nbytes / took / 1e6:5.0f} MB/s, {size / 1e6:.0f} MB, "
                  f"{took / writing:.2f}x h5py's write)")
        del batch

        program = os.environ.get("ELUTRIX_GENERATE", "elutrix-generate")
        scenario = os.path.join(out, "bench.json")
        with open(scenario, "w") as f:
            json.dump(SCENARIO, f)
        command = [program, "--quiet", "--format", "dataset", "--replicates", str(args.replicates),
                   "--out", os.path.join(out, "cli"), scenario]
        took = best(args.repeats, lambda: subprocess.run(command, check=True))
        print(f"elutrix-generate --format dataset (synthesis and writer): {took:6.2f} s  "
              f"({took / reference:.2f}x numpy + h5py)")
    finally:
        shutil.rmtree(out, ignore_errors=True)


if __name__ == "__main__":
    main()
