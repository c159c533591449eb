#!/usr/bin/python3
"""Writes the benchmark suites' scenario files, suites/*.json, from the
ladders below. The files are what elutrix-generate --suite runs; this script
only saves typing them. A change to a suite's scenarios needs a new
VERSION, so that scores of different versions are never compared.

    /usr/bin/python3 tools/make_suites.py

Every scenario is seeded: replicate k of a scenario with seed s uses s + k - 1,
and the scenarios of all suites have seeds 100 apart, so no two runs share a
seed.

REPLICATES: 20 runs per level and series. The score reports each level's mean
and standard deviation of the errors: with 20 runs the mean is known to
sd / sqrt(20), about a fifth of the spread, and a recall below 1 by one missed
peak in 20 to 60 shows; 20 runs at every level keep the whole suite near a
thousand runs (about 70 MB).
"""

import json
import math
from pathlib import Path

VERSION = "1"
REPLICATES = 20
ROOT = Path(__file__).resolve().parent.parent / "suites"

# The LC preset's plate count: sigma = t x 60 / sqrt(N) seconds.
PLATES = 10000


def sigma_s(t_min):
    return t_min * 60 / math.sqrt(PLATES)


def scenario(suite, series, level, name, seed, rows, settings, **more):
    out = {"name": name, "suite": {"name": suite, "version": VERSION, "series": series, "level": level},
           "replicates": REPLICATES, "seed": seed, "rows": rows,
           "settings": {"efficiency": "lc", "sampling_rate": 10, **settings}}
    out.update(more)
    return out


def noise(s_to_n):
    # The window's S/N: the smallest peak's height over the noise's full width.
    return {"noise_kind": "random", "level_by_s_to_n": True, "s_to_n_percent": s_to_n}


def peak(t, response, **more):
    return {"enabled": True, "retention_time": t, "relative_response": response, **more}


class Seeds:
    def __init__(self, start):
        self.next = start

    def __call__(self):
        self.next += 100
        return self.next - 100


def resolution():
    seeds = Seeds(10001)
    out = []
    for series, second in (("equal", 1), ("10to1", 0.1)):
        for r in (0.5, 0.75, 1.0, 1.25, 1.5, 2.0, 2.5):
            rows = [peak(4, 1), {"enabled": True, "resolution": r, "relative_response": second}]
            out.append(scenario("resolution", series, r, f"resolution_{series}_R{r:g}", seeds(), rows,
                                {"peak_model": "Gaussian", **noise(100)}))
    return out


def noise_suite():
    seeds = Seeds(20001)
    out = []
    for series, rows in (("one", [peak(4, 1)]), ("three", [peak(2, 1), peak(4, 0.5), peak(6, 0.25)])):
        for s_to_n in (3, 10, 30, 100, 1000):
            out.append(scenario("noise", series, s_to_n, f"noise_{series}_SN{s_to_n}", seeds(), rows,
                                {"peak_model": "Gaussian", **noise(s_to_n)}))
    return out


def tailing():
    seeds = Seeds(30001)
    out = []
    for series, sign in (("tailing", 1), ("fronting", -1)):
        for ratio in (0, 0.5, 1, 1.5, 2, 2.5, 3):
            # tau in seconds, ratio x each peak's own sigma.
            rows = [peak(t, 1, tau=round(sign * ratio * sigma_s(t), 12) + 0.0) for t in (3, 6)]
            out.append(scenario("tailing", series, ratio, f"tailing_{series}_{ratio:g}", seeds(), rows,
                                {"peak_model": "ExactExponentiallyModifiedGaussian", **noise(100)}))
    return out


THREE = [peak(2, 1), peak(4, 0.5), peak(6, 0.25)]


def baseline():
    seeds = Seeds(40001)
    out = []
    for shape in ("linear", "quad"):
        for down in (False, True):
            series = f"{shape}_{'down' if down else 'up'}"
            for percentage in (10, 50, 200):
                out.append(scenario("baseline", series, percentage, f"baseline_{series}_{percentage}", seeds(),
                                    THREE, {"peak_model": "Gaussian", "baseline_shape": shape,
                                            f"{shape}_down": down, "baseline_percentage": percentage,
                                            **noise(100)}))
    return out


# The tallest peak of THREE: 1 at 2 min.
TALLEST_HEIGHT = 1 / (sigma_s(2) * math.sqrt(2 * math.pi))


def baseline_wander():
    """The baseline suite's detector wander."""
    seeds = Seeds(45001)
    out = []
    # Level: as for the other baselines, % of the tallest peak, here the
    # wander's standard deviation (the smallest peak is 8.3 % of the tallest).
    for percentage in (1, 3, 10, 30):
        out.append(scenario("baseline", "wander", percentage, f"baseline_wander_{percentage}", seeds(), THREE,
                            {"peak_model": "Gaussian", **noise(100)},
                            detector={"wander": {"sd": TALLEST_HEIGHT * percentage / 100, "period_min": 2}}))
    return out


def realistic():
    """Overlapping tailing peaks on a wandering, sloping baseline, as a
    detector records them."""
    seeds = Seeds(50001)
    rows = [peak(2, 1, tau=1.5), {"enabled": True, "resolution": 1.2, "relative_response": 0.4, "tau": 2},
            peak(4, 0.8, tau=2.5), {"enabled": True, "resolution": 1.0, "relative_response": 0.3, "tau": 3},
            peak(6.5, 0.5, tau=4), {"enabled": True, "resolution": 1.5, "relative_response": 0.2, "tau": 4.5}]
    out = []
    # Level: the smallest peak's height over the detector noise's sd, roughly
    # (the smallest peak is about 0.2 / (3.9 s x 2.5) high).
    smallest = 0.2 / (sigma_s(7) * math.sqrt(2 * math.pi))
    for kind in ("gaussian", "pink"):
        for s_to_n in (10, 30, 100):
            sd = smallest / s_to_n
            noise_stage = {"kind": kind, "sd": sd} if kind == "gaussian" else {"kind": kind, "sd": sd, "exponent": 1}
            out.append(scenario("realistic", kind, s_to_n, f"realistic_{kind}_SN{s_to_n}", seeds(), rows,
                                {"peak_model": "ExactExponentiallyModifiedGaussian", "baseline_shape": "linear",
                                 "baseline_percentage": 20},
                                detector={"wander": {"sd": smallest * 0.1, "period_min": 3},
                                          "time_constant_s": 0.5, "noise": noise_stage,
                                          "spikes": {"rate_per_min": 0.5, "height": smallest},
                                          "quantization": smallest / 1000}))
    return out


def write(path, scenarios):
    path.write_text(json.dumps(scenarios, indent=1) + "\n")


def main():
    suites = {"resolution": resolution(), "noise": noise_suite(), "tailing": tailing(),
              "baseline": baseline() + baseline_wander(), "realistic": realistic()}
    for name, scenarios in suites.items():
        write(ROOT / f"{name}.json", scenarios)
    (ROOT / "all.txt").write_text('# The suites "--suite all" runs, in order.\n' + "".join(f"{n}\n" for n in suites))


if __name__ == "__main__":
    main()
