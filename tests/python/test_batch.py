"""simulate_batch: the stacked replicates hold the bits of the single runs,
and the truth the peak tables hold."""

import _thread
import json
import os
import subprocess
import threading
import time

import numpy as np
import pytest

import elutrix

NOISY = {"seed": 7, "rows": [{"enabled": True, "retention_time": 1, "tau": 1},
                             {"enabled": True, "resolution": 1.2, "tau": 2, "relative_response": 0.5}],
         "settings": {"peak_model": "ExactExponentiallyModifiedGaussian", "noise_kind": "random",
                      "level_by_s_to_n": True, "s_to_n_percent": 50},
         "detector": {"time_constant_s": 0.2, "wander": {"sd": 0.001, "period_min": 0.5}}}


DRIFT = {"seed": 3, "rows": [{"enabled": True, "retention_time": 1}, {"enabled": True, "retention_time": 1.3}],
         "settings": {"noise_kind": "random_walk", "level_by_s_to_n": True, "s_to_n_percent": 20,
                      "baseline_percentage": 5}}
QUIET = {"rows": [{"enabled": True, "retention_time": 2, "tau": 1}]}
NO_POINTS = {"seed": 1, "settings": {"sampling_rate": "-5", "noise_kind": "random", "level_by_s_to_n": True,
                                     "s_to_n_percent": 100}}


# Every replicate shares one full run's signal and truth and adds its own
# noise: each must still be its own full run, whatever the noise and stages.
@pytest.mark.parametrize("scenario, replicates, first", [(NOISY, 6, 1), (NOISY, 3, 4), (DRIFT, 5, 1), (QUIET, 2, 1),
                                                           (NO_POINTS, 2, 1)])
def test_a_batch_holds_each_runs_bits_and_truth(scenario, replicates, first):
    batch = elutrix.simulate_batch(scenario, replicates, components=True, first=first)
    runs = elutrix.simulate_many(scenario, first + replicates - 1, components=True)[first - 1:]
    assert batch.response.shape == (replicates, len(batch.time_min)) and batch.response.flags["C_CONTIGUOUS"]
    header = runs[0].peaks_csv.splitlines()[0].split(",")
    # The detector's columns are there with or without one (NaN without).
    assert [name for name in batch.peaks.dtype.names if name in header or name == "replicate"] == ["replicate"] + header
    for k, run in enumerate(runs):
        assert np.array_equal(batch.time_min, run.time_min)
        for stacked, single in ((batch.response, run.response), (batch.noise_free, run.noise_free),
                                (batch.baseline, run.baseline), (batch.wander, run.wander)):
            assert (stacked is None and single is None) or np.array_equal(stacked[k], single)
        for row, values in run.components.items():
            assert np.array_equal(batch.components[row][k], values)
        if scenario.get("seed") is not None:  # unseeded runs draw their own seeds
            assert batch.records[k] == run.record and batch.seeds[k] == run.seed
        mine = batch.peaks[batch.peaks["replicate"] == first + k]
        for peak, truth in zip(mine, run.peaks, strict=True):
            for name in header:
                want = truth[name]
                assert peak[name] == want or (want is None and np.isnan(peak[name])), name


MAX = np.finfo(float).max
# Drift so wide that some replicates, not the first, leave the numbers
# (a point beyond the largest double) or the picture (too tall to draw).
STOPPING = [({"seed": 7, "settings": {"noise_kind": "random_walk", "level_by_value": True,
                                      "s_to_n_value": repr(MAX / 16)}}, "too large to compute"),
            ({"seed": 2, "settings": {"noise_kind": "random_walk", "level_by_value": True,
                                      "s_to_n_value": repr(MAX / 25)}}, "too large to draw")]


@pytest.mark.parametrize("scenario, says", STOPPING)
def test_a_replicate_that_stops_on_its_own_is_named_as_its_own_run_names_it(scenario, says, tmp_path):
    with pytest.raises(elutrix.SimulationError) as alone:
        elutrix.simulate_many(scenario, 40)
    with pytest.raises(elutrix.SimulationError) as stacked:
        elutrix.simulate_batch(scenario, 40)
    assert alone.value.replicate > 1 and says in alone.value.message
    assert (stacked.value.replicate, stacked.value.message) == (alone.value.replicate, alone.value.message)
    # The generator names the same replicate and message, and leaves no file.
    path = tmp_path / "wide.json"
    path.write_text(json.dumps(dict(scenario, name="wide", replicates=40)))
    done = subprocess.run([os.environ.get("ELUTRIX_GENERATE", "elutrix-generate"), "--quiet", "--out",
                           str(tmp_path / "out"), str(path)], capture_output=True, text=True)
    assert done.returncode != 0
    assert f"replicate {alone.value.replicate}: {alone.value.message}" in done.stderr
    assert sorted(os.listdir(tmp_path / "out")) == ["manifest.csv"]


def test_a_stopped_replicate_is_named():
    with pytest.raises(elutrix.SimulationError) as stopped:
        elutrix.simulate_batch({"rows": [{"enabled": True, "retention_time": 1, "plates": -1}],
                                "settings": {"efficiency": "custom_individual"}}, 3)
    assert stopped.value.replicate == 1 and "negative" in stopped.value.message
    assert elutrix.simulate_batch(NOISY, 2).components is None


def test_ctrl_c_stops_a_long_batch_within_a_second():
    fired = []

    def interrupt():
        fired.append(time.perf_counter())
        _thread.interrupt_main()

    threading.Timer(0.3, interrupt).start()
    with pytest.raises(KeyboardInterrupt):
        # A detector's pink noise and wander keep each replicate busy for a
        # while: made from a shared run, plain noisy replicates are too
        # quick to be interrupted reliably.
        elutrix.simulate_batch({"seed": 1, "settings": {"noise_kind": "random", "level_by_s_to_n": True,
                                                        "s_to_n_percent": 100},
                                "detector": {"noise": {"kind": "pink", "sd": 0.001},
                                             "wander": {"sd": 0.001, "period_min": 0.5}}}, 50000)
    # Within a second on a quiet machine; the bound leaves room for a loaded
    # one and for the sanitizers, and is still far below the batch's length.
    assert fired and time.perf_counter() - fired[0] < (15.0 if os.environ.get("ELUTRIX_SANITIZED") else 3.0)
