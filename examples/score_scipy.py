"""SciPy's peak finder as an integrator, scored on the benchmark suites
"resolution" and "noise": find_peaks for the apexes, peak_widths for the
width at half height, trapezoid areas between perpendicular drops.

    /usr/bin/python3 examples/score_scipy.py [--out DIR] [--replicates N]

writes DIR/truth (the suites), DIR/found.csv (the found peaks) and the
report DIR/score.html (default DIR: score_scipy). elutrix-generate is taken
from ELUTRIX_GENERATE, else from PATH.
"""

import argparse
import csv
import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
from scipy.signal import find_peaks, peak_widths

import elutrix
from elutrix.scoring import Scoring, read_truth, write_score


def integrate(t, y):
    """The peaks of one run: (retention time, area, height, width at half
    height, start, end), times in minutes."""
    # The noise's sd from the point-to-point differences (robust to peaks).
    noise = 1.4826 * np.median(np.abs(np.diff(y) - np.median(np.diff(y)))) / np.sqrt(2)
    apexes, _ = find_peaks(y, prominence=max(5 * noise, 1e-3 * np.ptp(y)))
    if len(apexes) == 0:
        return []
    step = t[1] - t[0]
    widths = peak_widths(y, apexes, rel_height=0.5)
    ends = peak_widths(y, apexes, rel_height=0.98)
    # Perpendicular drops at the lowest point between neighbouring apexes.
    valleys = [a + int(np.argmin(y[a:b + 1])) for a, b in zip(apexes[:-1], apexes[1:])]
    peaks = []
    for k, i in enumerate(apexes):
        start = max(int(np.floor(ends[2][k])), valleys[k - 1] if k > 0 else 0)
        end = min(int(np.ceil(ends[3][k])), valleys[k] if k < len(valleys) else len(y) - 1)
        # The apex between samples, from the parabola through three points.
        shift = 0.0
        if 0 < i < len(y) - 1:
            curve = y[i - 1] - 2 * y[i] + y[i + 1]
            shift = 0.5 * (y[i - 1] - y[i + 1]) / curve if curve < 0 else 0.0
        area = np.trapz(y[start:end + 1], t[start:end + 1])
        peaks.append((t[i] + shift * step, area, y[i], widths[0][k] * step, t[start], t[end]))
    return peaks


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="score_scipy")
    parser.add_argument("--replicates", type=int, help="runs per level in place of the suites' 20")
    args = parser.parse_args()
    out = Path(args.out)
    program = os.environ.get("ELUTRIX_GENERATE") or shutil.which("elutrix-generate")
    truth = out / "truth"
    if truth.exists():
        shutil.rmtree(truth)
    more = ["--replicates", str(args.replicates)] if args.replicates else []
    subprocess.run([program, "--quiet", "--suite", "resolution,noise", "--out", str(truth), *more], check=True)

    found = out / "found.csv"
    with open(found, "w", newline="") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(["run", "retention_time_min", "area", "height", "width_50_min", "start_min", "end_min"])
        for run in read_truth(truth):
            t, y = np.loadtxt(run["data"], delimiter=",", unpack=True)
            for peak in integrate(t, y):
                writer.writerow([run["stem"], *(repr(float(v)) for v in peak)])
    figures = write_score(Scoring(truth, found), out)
    print(f"elutrix {elutrix.__version__}; report: {out / 'score.html'}")
    print(f"{'suite':11s} {'runs':>5s} {'recall':>7s} {'precision':>9s} {'false/run':>9s} "
          f"{'rt error (min)':>15s} {'area error':>11s} {'height err':>11s} {'width err':>10s}")
    for suite, f in figures["by_suite"].items():
        print(f"{suite:11s} {f['runs']:5d} {f['recall']:7.3f} {f['precision']:9.3f} {f['false_per_run']:9.3f} "
              f"{f['retention_time_error_min']['mean']:+15.5f} {f['area_error_rel']['mean']:+11.4f} "
              f"{f['height_error_rel']['mean']:+11.4f} {f['width_50_error_rel']['mean']:+10.4f}")
    print("recall by level:")
    for x in figures["by_level"]:
        print(f"  {x['suite']:11s} {x['series']:6s} {x['level']:>7g}  recall {x['recall']:.3f}  "
              f"false/run {x['false_per_run']:.2f}  area error {x['area_error_rel']['mean']:+.4f} "
              f"(sd {x['area_error_rel']['sd']:.4f})" if x["area_error_rel"] else
              f"  {x['suite']:11s} {x['series']:6s} {x['level']:>7g}  recall {x['recall']:.3f}")


if __name__ == "__main__":
    main()
