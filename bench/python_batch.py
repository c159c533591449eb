#!/usr/bin/python3
"""simulate_batch and elutrix-generate against the numpy lines a user would
write instead, timed in this one process:

    PYTHONPATH=build/tests/python-site ELUTRIX_GENERATE=build/generate/elutrix-generate \
        /usr/bin/python3 bench/python_batch.py

The scenario is the factory table (one Gaussian peak, 1,800 points) with
random noise at S/N 100. The numpy lines sum the scenario's Gaussian peaks
on a linspace grid and add uniform noise of the run's width (rng.random) into a (replicates, points)
array: not the same model, and no ground truth, but what a user would
reach for. Peak memory is the growth of the process's resident high-water
mark (VmHWM, reset through /proc/self/clear_refs before each measurement)
over the resident size before it: it counts the core's own allocations,
which tracemalloc does not see, and every page the call touched.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import elutrix

SCENARIO = {"seed": 1, "settings": {"noise_kind": "random", "level_by_s_to_n": True, "s_to_n_percent": 100}}


def median_time(f, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def status_kb(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def peak_growth_mb(f):
    """The most the resident size grew above its level before f, in MB, and f's result."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets VmHWM to the current resident size
    before = status_kb("VmRSS")
    result = f()
    return (status_kb("VmHWM") - before) / 1024.0, result


def numpy_lines(peaks, time_min, replicates, noise_width, seed=1):
    # Uniform noise of the run's full width, as the run draws it.
    rng = np.random.default_rng(seed)
    t = np.linspace(time_min[0], time_min[-1], len(time_min))
    signal = np.zeros_like(t)
    for rt, sigma_min, height in peaks:
        signal += height * np.exp(-0.5 * ((t - rt) / sigma_min) ** 2)
    noise = rng.random((replicates, len(t)))
    noise -= 0.5
    noise *= noise_width
    noise += signal
    return noise


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--cli-replicates", type=int, default=1000)
    args = parser.parse_args()

    one = elutrix.simulate(SCENARIO)
    peaks = [(p["retention_time_min"], p["sigma_s"] / 60.0, p["apex_height"]) for p in one.peaks]
    noise_width = float(one.settings["s_to_n_value"])
    print(f"scenario: factory table, {one.point_count} points, {len(peaks)} peak(s), random noise at S/N 100")

    print("\nsimulate_batch against the numpy lines (median of %d)" % args.repeats)
    print(f"{'replicates':>10} {'simulate_batch':>15} {'numpy':>10} {'ratio':>7} {'peak MB':>9} {'arrays MB':>10}")
    for replicates in (1000, 10000):
        ours = median_time(lambda: elutrix.simulate_batch(SCENARIO, replicates), args.repeats)
        theirs = median_time(lambda: numpy_lines(peaks, one.time_min, replicates, noise_width), args.repeats)
        grown, batch = peak_growth_mb(lambda: elutrix.simulate_batch(SCENARIO, replicates))
        arrays = (batch.response.nbytes + batch.time_min.nbytes + batch.seeds.nbytes) / 2**20
        del batch
        print(f"{replicates:>10} {ours * 1e3:>12.1f} ms {theirs * 1e3:>7.1f} ms {ours / theirs:>6.2f}x "
              f"{grown:>9.1f} {arrays:>10.1f}")

    generate = os.environ.get("ELUTRIX_GENERATE", "elutrix-generate")
    replicates = args.cli_replicates
    print(f"\nelutrix-generate, {replicates} replicates (.xy, peak table, record) into /dev/shm, "
          f"against numpy.savetxt of the .xy alone (median of {args.repeats})")
    with tempfile.TemporaryDirectory(dir="/dev/shm") as folder:
        scenario = os.path.join(folder, "factory_noise.json")
        with open(scenario, "w") as f:
            json.dump(dict(SCENARIO, name="factory_noise", replicates=replicates), f)
        out = os.path.join(folder, "out")

        def cli():
            subprocess.run([generate, "--quiet", "--out", out, scenario], check=True)

        data = numpy_lines(peaks, one.time_min, replicates, noise_width)
        savetxt_out = os.path.join(folder, "numpy")
        os.makedirs(savetxt_out)

        def savetxt():
            for k in range(replicates):
                np.savetxt(os.path.join(savetxt_out, f"factory_noise_{k + 1:04d}.xy"),
                           np.column_stack((one.time_min, data[k])), fmt="%.15g", delimiter=",", newline="\r\n")

        # Each batch into a new folder, as a new data set is made; the
        # removal of the last one is not timed.
        times = []
        for _ in range(args.repeats):
            shutil.rmtree(out, ignore_errors=True)
            times.append(median_time(cli, 1))
        ours = statistics.median(times)
        theirs = median_time(savetxt, max(1, args.repeats // 2))
        print(f"elutrix-generate {ours * 1e3:.0f} ms, numpy savetxt {theirs * 1e3:.0f} ms: "
              f"{theirs / ours:.1f}x faster")
    return 0


if __name__ == "__main__":
    sys.exit(main())
