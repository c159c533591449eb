"""The dataset file: Batch.write and elutrix-generate --format dataset write
the same file, and xarray, h5py and ncdump, which share no code with the
writer, read back the batch's bits, its truth and its scenario."""

import json
import os
import shutil
import signal
import subprocess
import time

import h5py
import numpy as np
import pytest
import xarray as xr

import elutrix

# Two tailing peaks through a detector: noise, wander and the unfiltered apex.
SCENARIO = {"name": "set", "seed": 11,
            "rows": [{"enabled": True, "retention_time": 1, "tau": 1},
                     {"enabled": True, "resolution": 1.2, "tau": 2, "relative_response": 0.5}],
            "settings": {"peak_model": "ExactExponentiallyModifiedGaussian", "noise_kind": "random",
                         "level_by_s_to_n": True, "s_to_n_percent": 50},
            "detector": {"time_constant_s": 0.2, "wander": {"sd": 0.001, "period_min": 0.5}}}
REPLICATES = 5


def generate(tmp_path, scenario, *options):
    (tmp_path / "scenario.json").write_text(json.dumps(scenario))
    out = tmp_path / "cli"
    done = subprocess.run([os.environ.get("ELUTRIX_GENERATE", "elutrix-generate"), "--quiet", "--format", "dataset",
                           "--out", str(out), *options, str(tmp_path / "scenario.json")],
                          capture_output=True, text=True)
    return done, out


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    if a.dtype.kind == "f":
        return a.shape == b.shape and np.array_equal(a.view(np.uint64), np.asarray(b, dtype=np.float64).view(np.uint64))
    return a.shape == b.shape and np.array_equal(a, b)


def expected(batch):
    """Each variable of the file as the batch holds it."""
    rows, peaks = len(batch), len(batch.peaks) // len(batch)
    want = {"time_min": batch.time_min, "response": batch.response, "seed": batch.seeds,
            "replicate": np.arange(batch.first, batch.first + rows)}
    for name in batch.peaks.dtype.names[1:]:
        want[name] = batch.peaks[name].reshape(rows, peaks)
    # The peak models, the same in every replicate, are a peak variable.
    assert (want["model"] == want["model"][0]).all()
    want["model"] = want["model"][0]
    if batch.noise_free is not None:
        want.update(noise_free=batch.noise_free, baseline=batch.baseline, wander=batch.wander,
                    component=np.array(list(batch.components)),
                    components=np.stack(list(batch.components.values()), axis=1))
    return want


def read_xarray(path):
    with xr.open_dataset(path) as d:
        return {name: d[name].values for name in d.variables}, dict(d.attrs)


def read_h5py(path):
    with h5py.File(path, "r") as f:
        values = {}
        for name, item in f.items():
            if item.attrs.get("NAME", b"").startswith(b"This is a netCDF dimension but not a netCDF variable"):
                continue
            data = item[()]
            if name == "model":
                data = np.vectorize(lambda b: b.decode())(data)
            if name == "clipped":
                data = data.astype(bool)
            values[name] = data
        attrs = {k: (v.decode() if isinstance(v, bytes) else v) for k, v in f.attrs.items()}
        return values, attrs, f["response"].compression


@pytest.mark.parametrize("components, compress", [(False, False), (True, False), (True, True)])
def test_both_files_read_back_bit_for_bit(tmp_path, components, compress):
    batch = elutrix.simulate_batch(SCENARIO, REPLICATES, components=components)
    want = expected(batch)
    done, out = generate(tmp_path, SCENARIO, "--replicates", str(REPLICATES),
                         *(["--components"] if components else []), *(["--compress"] if compress else []))
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(out)) == ["manifest.csv", "set.nc"]
    made = {"python": batch.write(tmp_path / "python.nc", compress=compress), "cli": out / "set.nc"}
    for source, path in made.items():
        for reader, (values, attrs) in (("xarray", read_xarray(path)), ("h5py", read_h5py(path)[:2])):
            assert set(want) <= set(values), (source, reader, set(want) - set(values))
            for name, value in want.items():
                assert same_bits(values[name], value), (source, reader, name)
            assert attrs["version"] == elutrix.__version__ and attrs["Conventions"].startswith("CF-")
            assert json.loads(attrs["scenario"])["rows"][1]["tau"] == "2"
        assert read_h5py(path)[2] == ("gzip" if compress else None), source
    # ncdump reads it with the netCDF library alone.
    if shutil.which("ncdump"):
        header = subprocess.run(["ncdump", "-h", str(out / "set.nc")], capture_output=True, text=True, check=True).stdout
        for dimension in (f"replicate = {REPLICATES} ;", f"point = {len(batch.time_min)} ;", "peak = 2 ;"):
            assert dimension in header
        assert "double response(replicate, point) ;" in header and "string model(peak) ;" in header


def test_shards_of_consecutive_replicates_make_the_whole_batch(tmp_path):
    whole = elutrix.simulate_batch(SCENARIO, 7)
    shards = [elutrix.simulate_batch(SCENARIO, count, first=first).write(tmp_path / f"shard{first}.nc")
              for first, count in ((1, 3), (4, 4))]
    with xr.open_mfdataset(shards, combine="by_coords", data_vars="minimal") as d:
        for name, value in expected(whole).items():
            assert same_bits(d[name].values, value), name


@pytest.mark.parametrize("case", ["run stops", "killed", "no folder", "bad level"])
def test_a_file_that_cannot_be_made_leaves_nothing(tmp_path, case):
    if case == "killed":
        (tmp_path / "scenario.json").write_text(json.dumps(SCENARIO))
        out = tmp_path / "cli"
        program = subprocess.Popen([os.environ.get("ELUTRIX_GENERATE", "elutrix-generate"), "--quiet", "--format",
                                    "dataset", "--replicates", "1000000", "--out", str(out), str(tmp_path / "scenario.json")])
        deadline = time.monotonic() + 120
        while not (out.exists() and any(n.startswith(".set.nc.") for n in os.listdir(out))) \
                and time.monotonic() < deadline and program.poll() is None:
            time.sleep(0.02)
        program.send_signal(signal.SIGTERM)
        assert program.wait(60) == -signal.SIGTERM
        assert os.listdir(out) == ["manifest.csv"]
        return
    if case == "run stops":
        stops = {"name": "stops", "rows": [{"enabled": True, "retention_time": 1, "plates": -1}],
                 "settings": {"efficiency": "custom_individual"}}
        done, out = generate(tmp_path, stops, "--replicates", "3")
        assert done.returncode == 1 and '"stops"' in done.stderr and "negative" in done.stderr
        assert os.listdir(out) == ["manifest.csv"]
        assert ",failed," in (out / "manifest.csv").read_text()
        return
    batch = elutrix.simulate_batch(SCENARIO, 2)
    if case == "no folder":
        with pytest.raises(OSError, match="missing"):
            batch.write(tmp_path / "missing" / "set.nc")
    else:
        with pytest.raises(ValueError, match="compress"):
            batch.write(tmp_path / "set.nc", compress=10)
    assert os.listdir(tmp_path) == []
