"""Scores scipy's peak finder against the ground truth: 100 noisy replicates
of two peaks at resolution 1.0, the errors in retention time, height and
half-height width of each peak. Run: /usr/bin/python3 examples/integrator_test.py"""
import numpy as np
from scipy.signal import find_peaks, peak_widths

import elutrix

scenario = {"seed": 1, "rows": [{"enabled": True, "retention_time": 2}, {"enabled": True, "resolution": 1.0}],
            "settings": {"noise_kind": "random", "level_by_s_to_n": True, "s_to_n_percent": 100}}
errors, found_both = [], 0
for run in elutrix.simulate_many(scenario, 100):
    y, step = run.response, run.time_min[1] - run.time_min[0]
    apexes, found = find_peaks(y, prominence=0.1 * y.max())
    if len(apexes) != 2:
        continue
    found_both += 1
    # Widths at half the height above 0, not at half the prominence.
    widths = peak_widths(y, apexes, 0.5, (y[apexes], found["left_bases"], found["right_bases"]))[0]
    errors.append([(run.time_min[i] - p["apex_time_min"], y[i] - p["apex_height"], w * step - p["width_50_min"])
                   for i, p, w in zip(apexes, run.peaks, widths)])
errors = np.array(errors)  # replicate, peak, (retention time, height, width)
print(f"both peaks found in {found_both} of 100 replicates")
for k, what in enumerate(["retention time (min)", "height", "width at half height (min)"]):
    for peak in (0, 1):
        e = errors[:, peak, k]
        print(f"peak {peak + 1} {what:27s} mean error {e.mean():+.3e}  sd {e.std(ddof=1):.3e}")
