"""elutrix-generate --format andi, read back with netCDF4 and SciPy's own
netCDF 3 reader: every value of a file with doubles (--andi-precision double)
against the same run's .xy, components table, peak table and record, and the
default file, typed as the template types it, against the one with doubles."""

import csv
import datetime
import json
import os
import subprocess
import sys
from pathlib import Path

import netCDF4
import numpy as np
import pytest
from scipy.io import netcdf_file

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "formats"))
from test_andi_read_back import NO_VALUE, PEAK_GLOBALS, REQUIRED_GLOBALS, TEMPLATE_TYPES  # noqa: E402

EPOCH = 1709251199  # 2024-02-29 23:59:59 UTC
STAMP = "20240229235959+0000"

# name: (scenario, replicates, efficiency's separation type)
SCENARIOS = {
    "factory": ({}, 1, "liquid chromatography"),
    "pair": ({"seed": 3, "rows": [{"enabled": True, "retention_time": 2, "tau": 2},
                                  {"enabled": True, "resolution": 1, "relative_response": 0.5, "tau": 1}],
              "settings": {"peak_model": "ExponentiallyModifiedGaussian", "noise_kind": "random",
                           "level_by_s_to_n": True, "s_to_n_percent": 100, "baseline_shape": "linear",
                           "baseline_percentage": 5}}, 2, "liquid chromatography"),
    "gc_quad": ({"seed": 9, "rows": [{"enabled": True, "retention_time": 3, "tau": -1.5},
                                     {"enabled": True, "retention_time": 4, "relative_response": 0},
                                     {"enabled": True, "retention_time": 5, "relative_response": -0.4}],
                 "settings": {"efficiency": "gc", "peak_model": "ExponentiallyModifiedGaussian",
                              "baseline_shape": "quad", "quad_down": True, "baseline_percentage": 20,
                              "noise_kind": "random_walk", "level_by_value": True, "s_to_n_value": 1e-4}},
                1, "gas chromatography"),
    # sigma / tau far beyond sqrt(1200): the model blanks the first peak.
    "blank": ({"seed": 4, "rows": [{"retention_time": 1, "plates": 3600, "tau": 0.02},
                                   {"enabled": True, "retention_time": 1.5, "plates": 5000, "tau": 1}],
               "settings": {"peak_model": "ExponentiallyModifiedGaussian", "efficiency": "custom_individual"}},
              1, ""),
    "no_points": ({"seed": 1, "settings": {"sampling_rate": 0, "efficiency": "custom", "custom_plates": 4000}},
                  1, ""),
}


def runs():
    for name, (_, replicates, _) in SCENARIOS.items():
        for k in range(1, replicates + 1):
            yield name, k


def stem_of(name, k):
    return name if SCENARIOS[name][1] == 1 else f"{name}_{k:04d}"


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """Each scenario made three times: as .xy, as an interchange file with doubles and the
    components table, and as the default interchange file."""
    root = tmp_path_factory.mktemp("generate")
    env = dict(os.environ, SOURCE_DATE_EPOCH=str(EPOCH))
    for name, (scenario, replicates, _) in SCENARIOS.items():
        (root / f"{name}.json").write_text(json.dumps(dict(scenario, name=name, replicates=replicates)))
        for folder, form, extra in [("xy", "xy", []), ("andi", "andi", ["--components", "--andi-precision", "double"]),
                                    ("andi_float", "andi", [])]:
            subprocess.run([os.environ["ELUTRIX_GENERATE"], "--quiet", "--format", form, "--out", str(root / folder),
                            *extra, str(root / f"{name}.json")], check=True, env=env)
    return root


def table(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def number(text):
    return NO_VALUE if text == "" else float(text)


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def test_the_stamp_is_the_one_of_the_given_moment():
    moment = datetime.datetime.fromtimestamp(EPOCH, datetime.timezone.utc)
    assert moment.strftime("%Y%m%d%H%M%S+0000") == STAMP


@pytest.mark.parametrize("name,k", list(runs()))
def test_every_value_matches_the_runs_other_files(made, name, k):
    stem = stem_of(name, k)
    andi, xy_folder = made / "andi", made / "xy"
    record = json.loads((andi / f"{stem}.json").read_text())
    peaks = table(andi / f"{stem}.peaks.csv")
    parts = np.array([[float(v) for v in row.values()] for row in table(andi / f"{stem}.components.csv")])
    lines = (xy_folder / f"{stem}.xy").read_bytes().split(b"\r\n")
    assert lines[-1] == b""
    xy = np.array([[float(v) for v in line.split(b",")] for line in lines[:-1]]).reshape(-1, 2)
    n = record["point_count"]
    assert len(xy) == len(parts) == max(n, 0)

    with netCDF4.Dataset(str(andi / f"{stem}.cdf")) as nc:
        nc.set_auto_mask(False)
        # The texts that describe the run.
        names = nc.ncattrs()
        assert all(a in names for a in REQUIRED_GLOBALS + PEAK_GLOBALS)
        assert nc.retention_unit == "Seconds" and nc.detector_unit == "response"
        for attribute in ["dataset_date_time_stamp", "injection_date_time_stamp", "peak_processing_date_time_stamp"]:
            assert nc.getncattr(attribute) == STAMP
        assert nc.dataset_origin == "Elutrix " + record["version"]
        assert (nc.experiment_title, nc.sample_name, nc.sample_id) == (name, stem, str(k))
        assert nc.source_file_reference == str(made / f"{name}.json")
        assert nc.separation_experiment_type == SCENARIOS[name][2]
        assert nc.detection_method_name == record["settings"]["peak_model"]
        assert nc.peak_amount_unit == "relative response"

        # Raw data: the run's responses bit for bit, 15 digits of which the .xy holds.
        ordinate = nc["ordinate_values"][:]
        np.testing.assert_array_equal(bits(ordinate), bits(parts[:, 1]) if n > 0 else [])
        np.testing.assert_array_equal([float("%.15g" % v) for v in ordinate], xy[:, 1])
        interval = float(nc["actual_sampling_interval"][...])
        delay = float(nc["actual_delay_time"][...])
        run_length = float(nc["actual_run_time_length"][...])
        if n > 0:
            # The first point lies one step after 0, the last at the run's end.
            assert delay == interval == run_length / n
            assert run_length == pytest.approx(n * record["time_step_s"], rel=1e-15)
            implied = (delay + np.arange(n) * interval) / 60.0
            np.testing.assert_allclose(implied, parts[:, 0], rtol=1e-14)
            np.testing.assert_allclose(implied, xy[:, 0], rtol=1e-14)
            assert float(nc["detector_maximum_value"][...]) == ordinate.max()
            assert float(nc["detector_minimum_value"][...]) == ordinate.min()
        else:
            assert delay == interval == run_length == 0.0

        # The peak table: the ground truth in seconds, one row per component.
        assert len(nc.dimensions["peak_number"]) == len(peaks)
        column = {v: nc[v][:] for v in nc.variables if nc[v].dimensions[:1] == ("peak_number",)}
        for j, p in enumerate(peaks):
            apex = p["apex_time_min"] != ""
            expected = {
                "peak_retention_time": float(p["apex_time_min"] if apex else p["retention_time_min"]) * 60.0,
                "peak_amount": float(p["relative_response"]),
                "peak_area": float(p["area_trapezoid"]) * 60.0,
                "peak_height": number(p["apex_height"]),
                "peak_width": number(p["width_50_min"]) * 60.0 if apex else NO_VALUE,
                "peak_start_time": (number(p["apex_time_min"]) - number(p["lead_5_min"])) * 60.0 if apex else NO_VALUE,
                "peak_end_time": (number(p["apex_time_min"]) + number(p["trail_5_min"])) * 60.0 if apex else NO_VALUE,
                "peak_asymmetry": number(p["asymmetry_10"]),
                "peak_efficiency": number(p["plates_half_height"]),
            }
            expected["baseline_start_time"] = expected["peak_start_time"]
            expected["baseline_stop_time"] = expected["peak_end_time"]
            for variable, value in expected.items():
                got = column[variable][j] if variable in column else NO_VALUE
                assert bits(got) == bits(value), (variable, p["row"])
            assert bytes(column["peak_name"][j]).rstrip(b"\0") == f"Component {p['row']}".encode()
            assert bytes(column["peak_start_detection_code"][j]).rstrip(b"\0") == b"B"
            assert column["manually_reintegrated_peaks"][j] == 0
            # The baseline under the peak's ends lies between the run's baseline at the
            # neighbouring points (every baseline shape is monotonic over the run).
            for time, value in [("baseline_start_time", "baseline_start_value"),
                                ("baseline_stop_time", "baseline_stop_value")]:
                if n == 0 or not apex:
                    assert value not in column or column[value][j] == NO_VALUE
                    continue
                i = column[time][j] / record["time_step_s"]
                base = parts[:, 3]
                lo, hi = base[max(int(np.floor(i)) - 1, 0)], base[min(int(np.ceil(i)) - 1, n - 1)]
                tolerance = 1e-12 * max(abs(lo), abs(hi), 1e-300)
                assert min(lo, hi) - tolerance <= column[value][j] <= max(lo, hi) + tolerance
        for variable, source in [("peak_area_percent", "peak_area"), ("peak_height_percent", "peak_height")]:
            values = column.get(source, np.array([]))
            present = values != NO_VALUE
            if variable in column and present.any() and values[present].sum() > 0:
                np.testing.assert_array_equal(column[variable][present],
                                              100.0 * values[present] / values[present].sum())
        for variable in ["retention_index", "migration_time", "mass_on_column"]:
            assert variable not in nc.variables

    # The netCDF 3 reader of SciPy sees the same raw data and peak table.
    with netcdf_file(str(andi / f"{stem}.cdf"), "r", mmap=False) as nc:
        np.testing.assert_array_equal(bits(nc.variables["ordinate_values"].data), bits(ordinate))
        np.testing.assert_array_equal(bits(nc.variables["peak_retention_time"].data),
                                      bits(column["peak_retention_time"]))


@pytest.mark.parametrize("name,k", list(runs()))
def test_the_default_file_holds_the_templates_floats(made, name, k):
    """Every variable typed as the template types it, each number the nearest float to the
    double of the file with doubles, the texts the same; SciPy's reader agrees."""
    stem = stem_of(name, k)
    with netCDF4.Dataset(str(made / "andi" / f"{stem}.cdf")) as exact, \
            netCDF4.Dataset(str(made / "andi_float" / f"{stem}.cdf")) as single:
        for nc in (exact, single):
            nc.set_auto_mask(False)
        assert set(single.variables) == set(exact.variables)
        assert single.ncattrs() == exact.ncattrs()
        for attribute in single.ncattrs():
            if attribute == "administrative_comments" and "seed" not in SCENARIOS[name][0]:
                continue  # names the seed, drawn anew for each file of an unseeded scenario
            assert single.getncattr(attribute) == exact.getncattr(attribute), attribute
        for variable in single.variables:
            assert single[variable].dtype.str[1:] == TEMPLATE_TYPES[variable], variable
            values = exact[variable][...]
            if values.dtype == np.float64:
                values = values.astype(np.float32)
            np.testing.assert_array_equal(single[variable][...], values, variable)
    with netcdf_file(str(made / "andi_float" / f"{stem}.cdf"), "r", mmap=False) as nc:
        assert {v: nc.variables[v].data.dtype.str[1:] for v in nc.variables} == \
            {v: TEMPLATE_TYPES[v] for v in nc.variables}


def test_the_scenarios_cover_the_kinds_of_run(made):
    """Peaks with and without an apex, fronting and negative ones, runs with noise, replicates, no points."""
    kinds = set()
    for name, k in runs():
        for p in table(made / "andi" / f"{stem_of(name, k)}.peaks.csv"):
            kinds.add("no apex" if p["apex_time_min"] == "" else "apex")
            kinds.update({"negative"} if float(p["relative_response"]) < 0 else set())
            kinds.update({"fronting"} if p["asymmetry_10"] and float(p["asymmetry_10"]) < 1 else set())
            kinds.update({"tailing"} if p["asymmetry_10"] and float(p["asymmetry_10"]) > 1 else set())
        record = json.loads((made / "andi" / f"{stem_of(name, k)}.json").read_text())
        kinds.add("noise" if record["noise"]["active"] else "no noise")
        kinds.add("no points" if record["point_count"] == 0 else "points")
        kinds.update({"replicate"} if k > 1 else set())
    assert kinds == {"apex", "no apex", "negative", "fronting", "tailing", "noise", "no noise", "no points",
                     "points", "replicate"}
