"""The detector's stages, each by its definition, and the truth through its
time constant against a numerical solution of the detector's equation."""

import json
import os
import subprocess

import numpy as np
import pytest
from scipy import integrate, signal, stats

import elutrix

ROWS = [{"enabled": True, "retention_time": 2, "relative_response": 1, "tau": 1},
        {"enabled": True, "retention_time": 2.2, "relative_response": 0.4, "tau": 2}]
EXACT = {"peak_model": "ExactExponentiallyModifiedGaussian"}


def run(detector, rows=ROWS, settings=EXACT, seed=5, **kw):
    return elutrix.simulate({"seed": seed, "rows": rows, "settings": settings, "detector": detector}, **kw)


def test_without_a_detector_every_file_is_the_windows(tmp_path):
    scenario = {"seed": 2, "rows": ROWS, "settings": {"peak_model": "ExponentiallyModifiedGaussian",
                                                      "noise_kind": "random", "level_by_s_to_n": True,
                                                      "s_to_n_percent": 50}}
    plain = elutrix.simulate(scenario)
    empty = elutrix.simulate({**scenario, "detector": {}})
    plain.write(tmp_path / "a.xy")
    empty.write(tmp_path / "b.xy")
    assert (tmp_path / "a.xy").read_bytes() == (tmp_path / "b.xy").read_bytes()
    assert plain.peaks_csv == empty.peaks_csv and plain.record == empty.record


def test_the_response_follows_the_filter_equation_to_the_last_bit():
    window = run({}, seed=1)
    T = 0.7
    filtered = run({"time_constant_s": T}, seed=1)
    a = -np.expm1(-filtered.time_step_s / T)
    y = window.response.copy()
    for k in range(1, len(y)):
        y[k] = y[k - 1] + a * (y[k] - y[k - 1])
    assert np.array_equal(y, filtered.response)


@pytest.mark.parametrize("exponent", [None, 1.0, 2.0])
def test_noise_by_its_definition(exponent):
    noise = {"kind": "gaussian", "sd": 0.01} if exponent is None else {"kind": "pink", "sd": 0.01,
                                                                        "exponent": exponent}
    r = run({"noise": noise}, rows=[{"enabled": True, "retention_time": 100}],
            settings={"sampling_rate": 2}, components=True)
    n = r.response - r.noise_free
    assert len(n) == 18000
    assert abs(n.std(ddof=1) / 0.01 - 1) < 0.03
    assert r.record["detector_realised"]["noise_sd"] == pytest.approx(n.std(ddof=1), rel=1e-9)
    if exponent is None:
        assert stats.normaltest(n).pvalue > 1e-4
        return
    f, power = signal.welch(n, fs=1.0, nperseg=8192)
    band = (f >= 4 * f[1]) & (f <= 400 * f[1])  # two decades
    slope = np.polyfit(np.log10(f[band]), np.log10(power[band]), 1)[0]
    assert abs(slope + exponent) < 0.15, slope


def test_spikes_saturation_and_steps():
    r = run({"spikes": {"rate_per_min": 30, "height": 0.05}, "saturation": {"low": 0.0, "high": 0.2},
             "quantization": 0.001}, components=True)
    real = r.record["detector_realised"]
    minutes = r.time_min[-1]
    mean = 30 * minutes
    assert abs(real["spikes"] - mean) < 5 * np.sqrt(mean)  # Poisson: far beyond 4 sd is never
    assert len(real["spike_points"]) == real["spikes"]
    y = r.response
    assert np.array_equal(np.round(y / 0.001) * 0.001, y)
    assert y.min() >= 0.0 and y.max() <= 0.2
    assert real["clamped_high"] > 0 and real["clamped_low"] == 0
    assert np.count_nonzero(y == 0.2) >= real["clamped_high"]


def test_a_record_makes_the_same_file_again(tmp_path):
    detector = {"wander": {"sd": 0.002, "period_min": 1}, "time_constant_s": 0.3,
                "noise": {"kind": "pink", "sd": 0.001}, "spikes": {"rate_per_min": 5, "height": 0.02},
                "quantization": 1e-5, "seed": 11}
    runs = elutrix.simulate_many({"seed": 4, "rows": ROWS, "settings": EXACT, "detector": detector}, 2)
    assert not np.array_equal(runs[0].response, runs[1].response)
    again = elutrix.simulate(runs[1].record)
    assert np.array_equal(again.response, runs[1].response)


def test_every_stage_from_the_command_line_and_again_from_a_record(tmp_path):
    detector = {"wander": {"sd": 0.002, "period_min": 1}, "time_constant_s": 0.3,
                "noise": {"kind": "gaussian", "sd": 0.001}, "spikes": {"rate_per_min": 5, "height": 0.02},
                "saturation": {"low": -0.01, "high": 0.25}, "quantization": 1e-5}
    (tmp_path / "s.json").write_text(json.dumps({"name": "d", "replicates": 2, "seed": 4, "rows": ROWS,
                                                 "settings": EXACT, "detector": detector}))
    program = os.environ["ELUTRIX_GENERATE"]
    for out, source in (("a", tmp_path / "s.json"), ("b", tmp_path / "a" / "d_0002.json")):
        subprocess.run([program, "--quiet", "--components", "--out", str(tmp_path / out), str(source)], check=True)
    for ending in (".xy", ".peaks.csv", ".components.csv"):
        assert (tmp_path / "a" / f"d_0002{ending}").read_bytes() == (tmp_path / "b" / f"d{ending}").read_bytes()
    python_run = elutrix.simulate(tmp_path / "a" / "d_0002.json")
    python_run.write(tmp_path / "p.xy")
    assert (tmp_path / "p.xy").read_bytes() == (tmp_path / "b" / "d.xy").read_bytes()
    assert python_run.peaks_csv == (tmp_path / "b" / "d.peaks.csv").read_text()


@pytest.mark.parametrize("model", ["Gaussian", "ExactExponentiallyModifiedGaussian", "ExponentialGaussianHybrid"])
def test_the_truth_through_the_time_constant(model):
    T = 1.5
    r = run({"time_constant_s": T}, settings={"peak_model": model, "sampling_rate": 10}, components=True)
    t = r.time_min * 60
    for p in r.peaks:
        recorded = r.components[p["row"]]
        m = int(np.argmax(recorded))
        assert p["apex_time_min"] == r.time_min[m] and p["apex_height"] == pytest.approx(recorded[m], rel=1e-12)
        assert p["pure_apex_time_min"] < p["apex_time_min"] and p["pure_apex_height"] > p["apex_height"]
        row = ROWS[p["row"] - 1]
        held = row["relative_response"] * elutrix.peak_shape(model, t, row["retention_time"] * 60, p["sigma_s"],
                                                             p["tau"])
        for pct, frac in (("50", 0.5), ("10", 0.1), ("5", 0.05)):
            target = frac * recorded[m]
            for side in ("lead", "trail"):
                k = m - np.argmax(recorded[m::-1] < target) + 1 if side == "lead" else m + np.argmax(recorded[m:] < target)
                # dy/dt = (x_k - y) / T across the step, solved numerically.
                event = lambda s, y: y[0] - target
                sol = integrate.solve_ivp(lambda s, y: (held[k] - y) / T, (t[k - 1], t[k]), [recorded[k - 1]],
                                          events=event, rtol=1e-13, atol=1e-16, method="DOP853")
                crossing = sol.t_events[0][0]
                want = (t[m] - crossing if side == "lead" else crossing - t[m]) / 60
                assert p[f"{side}_{pct}_min"] == pytest.approx(want, rel=1e-9), (side, pct)


BAD = [
    ({"noise": {"kind": "brown", "sd": 1}}, '"kind" in detector.noise'),
    ({"noise": {"sd": -1}}, '"sd" in detector.noise must be a finite number of at least 0'),
    ({"wander": {"sd": 1, "period_min": 0}}, '"period_min" in detector.wander must be a finite number above 0'),
    ({"time_constant_s": -0.1}, '"time_constant_s" in detector'),
    ({"spikes": {"rate_per_min": 1}}, '"height" is missing in detector.spikes'),
    ({"saturation": {"low": 2, "high": 1}}, '"low" in detector.saturation'),
    ({"quantization": 0}, '"quantization" in detector must be a finite number above 0'),
    ({"gain": 2}, 'unknown key "gain" in detector'),
    ({"seed": -3}, '"seed" in detector'),
]


@pytest.mark.parametrize("detector,message", [
    ({"noise": {"kind": "gaussian", "sd": 1e308}}, "not a finite number"),
    ({"quantization": 5e-324}, "not a finite number"),
    ({"wander": {"sd": 1e308, "period_min": 1}}, "not a finite number"),
    ({"spikes": {"rate_per_min": 3.1e8, "height": 1}}, "exceeds the run's 1200 points per minute"),
])
def test_a_detector_without_a_meaning_stops_the_run(detector, message):
    with pytest.raises(elutrix.SimulationError, match=message):
        run(detector)


@pytest.mark.parametrize("detector,message", BAD)
def test_bad_detectors_name_the_key(detector, message):
    with pytest.raises(elutrix.ScenarioError, match=message.replace('"', '.').replace("(", ".").replace(")", ".")):
        run(detector)
