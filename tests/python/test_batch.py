"""simulate_batch: the stacked replicates hold the bits of the single runs,
and the truth the peak tables hold."""

import _thread
import os
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


def test_a_batch_holds_each_runs_bits_and_truth():
    batch = elutrix.simulate_batch(NOISY, 6, components=True)
    runs = elutrix.simulate_many(NOISY, 6, components=True)
    assert batch.response.shape == (6, len(batch.time_min)) and batch.response.flags["C_CONTIGUOUS"]
    header = runs[0].peaks_csv.splitlines()[0].split(",")
    assert list(batch.peaks.dtype.names) == ["replicate"] + header
    for k, run in enumerate(runs):
        assert np.array_equal(batch.time_min, run.time_min)
        for stacked, single in ((batch.response, run.response), (batch.noise_free, run.noise_free),
                                (batch.baseline, run.baseline), (batch.wander, run.wander)):
            assert np.array_equal(stacked[k], single)
        for row, values in run.components.items():
            assert np.array_equal(batch.components[row][k], values)
        assert batch.records[k] == run.record and batch.seeds[k] == run.seed
        mine = batch.peaks[batch.peaks["replicate"] == k + 1]
        for peak, truth in zip(mine, run.peaks):
            for name in header:
                want = truth[name]
                assert peak[name] == want or (want is None and np.isnan(peak[name])), name


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
        elutrix.simulate_batch({"seed": 1, "settings": {"noise_kind": "random", "level_by_s_to_n": True,
                                                        "s_to_n_percent": 100}}, 50000)
    # Within a second on a quiet machine; the bound leaves room for a loaded
    # one and for the sanitizers, and is still far below the batch's length.
    assert fired and time.perf_counter() - fired[0] < (15.0 if os.environ.get("ELUTRIX_SANITIZED") else 3.0)
