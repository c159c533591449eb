"""Reads the interchange files that andi_fixture writes with readers that
share no code with the writer (netCDF4 over the netCDF C library, scipy's own
netCDF 3 reader, ncdump) and compares every value with the record it was
written from, and a run's file with the data file of the same run. Every case
is written twice: with doubles (NAME) and as the template types it (NAME_float)."""

import os
import re
import struct
import subprocess
from collections import Counter

import netCDF4
import numpy as np
import pytest
from scipy.io import netcdf_file

NO_VALUE = -9999.0
STAMP = re.compile(r"^\d{14}[+-]\d{4}$")

# Global attributes every file carries, whatever the record holds.
REQUIRED_GLOBALS = [
    "dataset_completeness", "aia_template_revision", "netcdf_revision", "languages",
    "administrative_comments", "dataset_origin", "dataset_owner", "dataset_date_time_stamp",
    "injection_date_time_stamp", "experiment_title", "operator_name", "separation_experiment_type",
    "company_method_name", "company_method_id", "pre_experiment_program_name",
    "post_experiment_program_name", "source_file_reference", "sample_id_comments", "sample_id",
    "sample_name", "sample_type", "detection_method_table_name", "detector_method_comments",
    "detection_method_name", "detector_name", "detector_unit", "raw_data_table_name", "retention_unit",
]
# Present exactly when the file has a peak table.
PEAK_GLOBALS = [
    "peak_processing_results_table_name", "peak_processing_results_comments",
    "peak_processing_method_name", "peak_processing_date_time_stamp", "peak_amount_unit",
]
STRING_DIMENSIONS = [2, 4, 8, 12, 16, 32, 64, 128, 255]
RAW_SCALARS = ["detector_maximum_value", "detector_minimum_value", "actual_run_time_length",
               "actual_sampling_interval", "actual_delay_time"]
PEAK_TEXTS = {"peak_name": 32, "peak_start_detection_code": 2, "peak_stop_detection_code": 2}
# The chromatography template's type of every variable (netCDF float, short, char).
TEMPLATE_TYPES = {
    "error_log": "S1", "detector_maximum_value": "f4", "detector_minimum_value": "f4",
    "actual_run_time_length": "f4", "actual_sampling_interval": "f4", "actual_delay_time": "f4",
    "ordinate_values": "f4", "peak_retention_time": "f4", "peak_name": "S1", "peak_amount": "f4",
    "peak_start_time": "f4", "peak_end_time": "f4", "peak_width": "f4", "peak_area": "f4",
    "peak_area_percent": "f4", "peak_height": "f4", "peak_height_percent": "f4", "baseline_start_time": "f4",
    "baseline_start_value": "f4", "baseline_stop_time": "f4", "baseline_stop_value": "f4",
    "peak_start_detection_code": "S1", "peak_stop_detection_code": "S1", "retention_index": "f4",
    "migration_time": "f4", "peak_asymmetry": "f4", "peak_efficiency": "f4", "mass_on_column": "f4",
    "manually_reintegrated_peaks": "i2",
}
# The global attributes that hold numbers: float in the template.
NUMBER_GLOBALS = ["sample_injection_volume", "sample_amount"]


@pytest.fixture(scope="session")
def folder(tmp_path_factory):
    out = tmp_path_factory.mktemp("andi")
    subprocess.run([os.environ["ANDI_FIXTURE"], str(out)], check=True)
    return out


def cases():
    # The fixture's cases, known before it runs: the runs, the edge records, 40 random records, each
    # with doubles and as floats.
    names = ["factory", "two_tailing_peaks", "empty", "one_point"] + [f"random_{k:02d}" for k in range(40)]
    return names + [name + "_float" for name in names]


def number_type(expected):
    return "f4" if expected["precision"] == "float" else "f8"


def stored_bits(expected_bits, expected):
    """The bits (as a double) of what the file holds for the record's doubles:
    the doubles themselves, or each rounded to the nearest float."""
    values = np.asarray(expected_bits, dtype=np.uint64).view(np.float64)
    if expected["precision"] == "float":
        values = values.astype(np.float32).astype(np.float64)
    return values.view(np.uint64)


def double(bits_hex):
    return struct.unpack(">d", bytes.fromhex(bits_hex))[0]


def read_expectation(path):
    expected = {"precision": None, "text": {}, "number": {}, "numbers": {}, "texts": {}, "flags": {}}
    with open(path, "rb") as f:
        for line in f.read().decode("ascii").split("\n"):
            if not line:
                continue
            kind, name, *values = line.split(" ")
            if kind == "precision":
                expected[kind] = name
            elif kind == "text":
                expected[kind][name] = bytes.fromhex(values[0])
            elif kind == "number":
                expected[kind][name] = np.uint64(int(values[0], 16))
            elif kind == "numbers":
                expected[kind][name] = np.array([int(v, 16) for v in values], dtype=np.uint64)
            elif kind == "texts":
                expected[kind][name] = [bytes.fromhex(v[1:]) for v in values]
            else:
                expected[kind][name] = [int(v) for v in values]
    return expected


def bits_of(values):
    return np.ascontiguousarray(np.asarray(values, dtype=">f8").astype("<f8")).view(np.uint64).reshape(-1)


def text_of(attribute):
    return attribute if isinstance(attribute, bytes) else attribute.encode("utf-8")


def char_rows(variable):
    raw = np.asarray(variable[:])
    return [bytes(b"".join(row)).rstrip(b"\0") for row in raw.reshape(raw.shape[0], -1)]


@pytest.mark.parametrize("name", cases())
def test_every_value_reads_back(folder, name):
    expected = read_expectation(folder / f"{name}.expect")
    path = str(folder / f"{name}.cdf")
    points = len(expected["numbers"]["ordinate_values"])
    peaks = len(expected["flags"]["manually_reintegrated_peaks"])

    with netCDF4.Dataset(path) as nc:
        nc.set_auto_mask(False)
        nc.set_auto_chartostring(False)
        assert nc.file_format == "NETCDF3_CLASSIC"
        assert nc.disk_format == "NETCDF3"

        # Dimensions: the template's string widths, the points, the peaks.
        for width in STRING_DIMENSIONS:
            assert len(nc.dimensions[f"_{width}_byte_string"]) == width
        assert len(nc.dimensions["point_number"]) == points
        assert len(nc.dimensions["error_number"]) == 1
        assert ("peak_number" in nc.dimensions) == (peaks > 0)

        # Global attributes.
        globals_ = nc.ncattrs()
        for attribute in REQUIRED_GLOBALS:
            assert attribute in globals_, attribute
        for attribute in PEAK_GLOBALS:
            assert (attribute in globals_) == (peaks > 0), attribute
        assert nc.dataset_completeness == ("C1+C2" if peaks else "C1")
        assert nc.aia_template_revision == "1.0"
        library = subprocess.run(["nc-config", "--version"], capture_output=True, text=True, check=True)
        assert "netCDF " + nc.netcdf_revision == library.stdout.strip()
        for attribute, value in expected["text"].items():
            if attribute == "autosampler_position":
                assert text_of(nc["ordinate_values"].getncattr(attribute)) == value
            elif attribute in PEAK_GLOBALS and peaks == 0:
                continue
            else:
                assert text_of(nc.getncattr(attribute)) == value, attribute
        for attribute in ["dataset_date_time_stamp", "injection_date_time_stamp"]:
            assert STAMP.match(nc.getncattr(attribute))
        for attribute in ["sample_injection_volume", "sample_amount"]:
            if attribute in expected["number"]:
                value = np.asarray(nc.getncattr(attribute))
                assert value.dtype == number_type(expected), attribute
                assert bits_of(value)[0] == stored_bits([expected["number"][attribute]], expected)[0]
            else:
                assert attribute not in globals_

        # Raw data, bit for bit.
        ordinate = nc["ordinate_values"]
        assert ordinate.dtype == number_type(expected) and ordinate.dimensions == ("point_number",)
        assert ordinate.getncattr("uniform_sampling_flag") == "Y"
        np.testing.assert_array_equal(bits_of(ordinate[:]), stored_bits(expected["numbers"]["ordinate_values"], expected))
        for scalar in RAW_SCALARS:
            assert nc[scalar].dimensions == () and nc[scalar].dtype == number_type(expected), scalar
            if scalar in expected["number"]:
                assert bits_of(nc[scalar][...])[0] == stored_bits([expected["number"][scalar]], expected)[0], scalar
        values = stored_bits(expected["numbers"]["ordinate_values"], expected).view(np.float64)
        for scalar, pick in [("detector_maximum_value", np.max), ("detector_minimum_value", np.min)]:
            if scalar not in expected["number"]:
                written = float(nc[scalar][...])
                if points == 0:
                    assert written == NO_VALUE
                elif not np.isnan(values).any():
                    assert written == pick(values), scalar
        assert nc["error_log"].dimensions == ("error_number", "_64_byte_string")

        # Peak table: a numeric column is left out only when no peak has a value in it.
        if peaks:
            for column, expected_bits in expected["numbers"].items():
                if column in ("ordinate_values", "grid_times"):
                    continue
                if column in nc.variables:
                    assert nc[column].dimensions == ("peak_number",)
                    np.testing.assert_array_equal(bits_of(nc[column][:]), stored_bits(expected_bits, expected), column)
                else:
                    assert (expected_bits.view(np.float64) == NO_VALUE).all(), column
            for column, width in PEAK_TEXTS.items():
                assert nc[column].dimensions == ("peak_number", f"_{width}_byte_string")
                assert char_rows(nc[column]) == expected["texts"][column], column
            flags = nc["manually_reintegrated_peaks"]
            assert flags.dtype == np.int16
            assert list(flags[:]) == expected["flags"]["manually_reintegrated_peaks"]

    # The second reader, netCDF 3 only, sees the same raw data and peak table.
    with netcdf_file(path, "r", mmap=False) as nc:
        assert nc.version_byte == 1
        np.testing.assert_array_equal(bits_of(nc.variables["ordinate_values"].data),
                                      stored_bits(expected["numbers"]["ordinate_values"], expected))
        if "peak_retention_time" in nc.variables:
            np.testing.assert_array_equal(bits_of(nc.variables["peak_retention_time"].data),
                                          stored_bits(expected["numbers"]["peak_retention_time"], expected))
        assert nc.retention_unit == expected["text"]["retention_unit"]

    header = subprocess.run(["ncdump", "-h", path], capture_output=True, text=True, check=True).stdout
    assert "ordinate_values(point_number)" in header
    kind = subprocess.run(["ncdump", "-k", path], capture_output=True, text=True, check=True).stdout
    assert kind.strip() == "classic"


@pytest.mark.parametrize("name", cases())
def test_every_variable_has_the_templates_type(folder, name):
    """A float file types every variable as the template does; a double file
    differs only in its numbers being doubles. Both readers see the same types."""
    expected = read_expectation(folder / f"{name}.expect")
    wanted = {variable: ("f8" if kind == "f4" and expected["precision"] == "double" else kind)
              for variable, kind in TEMPLATE_TYPES.items()}
    path = str(folder / f"{name}.cdf")
    with netCDF4.Dataset(path) as nc:
        types = {variable: nc[variable].dtype.str[1:] for variable in nc.variables}
        global_numbers = {a: np.asarray(nc.getncattr(a)).dtype.str[1:] for a in NUMBER_GLOBALS if a in nc.ncattrs()}
    assert set(types) <= set(wanted), set(types) - set(wanted)
    assert types == {variable: wanted[variable] for variable in types}
    assert all(kind == number_type(expected) for kind in global_numbers.values())
    with netcdf_file(path, "r", mmap=False) as nc:
        assert {v: nc.variables[v].data.dtype.str[1:] for v in nc.variables} == types


@pytest.mark.parametrize("name", ["factory", "two_tailing_peaks", "factory_float", "two_tailing_peaks_float"])
def test_a_run_matches_its_grid_and_data_file(folder, name):
    expected = read_expectation(folder / f"{name}.expect")
    grid = expected["numbers"]["grid_times"].view(np.float64)
    with open(folder / f"{name}.xy", "rb") as f:
        lines = f.read().split(b"\r\n")
    assert lines[-1] == b""
    xy = np.array([[float(field) for field in line.split(b",")] for line in lines[:-1]])

    with netCDF4.Dataset(str(folder / f"{name}.cdf")) as nc:
        ordinate = nc["ordinate_values"][:]
        delay = float(nc["actual_delay_time"][...])
        interval = float(nc["actual_sampling_interval"][...])
        run_length = float(nc["actual_run_time_length"][...])
        assert nc.retention_unit == "Seconds"

    n = len(grid)
    assert len(ordinate) == n == len(xy) and n > 1
    # The grid has no point at 0: the first lies one step in, the last at the run's end.
    assert delay == interval > 0
    if expected["precision"] == "double":
        assert run_length == grid[-1]
        implied = delay + np.arange(n) * interval
        np.testing.assert_allclose(implied, grid, rtol=0, atol=1e-14 * run_length)
        np.testing.assert_allclose(implied / 60.0, xy[:, 0], rtol=0, atol=1e-14 * run_length)
        # The data file holds each response to 15 significant digits.
        np.testing.assert_array_equal(np.array([float("%.15g" % v) for v in ordinate]), xy[:, 1])
    else:
        # Each number is the nearest float: a point's time k x interval is off by at most
        # k rounding errors of the interval, far below a step for any run a trace holds.
        assert run_length == np.float32(grid[-1])
        implied = delay + np.arange(n) * interval
        np.testing.assert_allclose(implied, grid, rtol=0, atol=(n + 1) * 2.0 ** -24 * interval)
        assert np.abs(implied - grid).max() < 1e-3 * interval
        np.testing.assert_array_equal(ordinate, xy[:, 1].astype(np.float32))


def test_random_records_cover_the_whole_domain(folder):
    kinds = Counter()
    for k in range(40):
        expected = read_expectation(folder / f"random_{k:02d}.expect")
        numbers = np.concatenate([v for n, v in expected["numbers"].items()] +
                                 [np.array(list(expected["number"].values()), dtype=np.uint64)])
        values = numbers.view(np.float64)
        with np.errstate(invalid="ignore"):
            kinds["nan"] += int(np.isnan(values).sum())
            kinds["infinite"] += int(np.isinf(values).sum())
            kinds["negative zero"] += int(((values == 0) & np.signbit(values)).sum())
            kinds["zero"] += int(((values == 0) & ~np.signbit(values)).sum())
            tiny = np.abs(values)
            kinds["subnormal"] += int(((tiny > 0) & (tiny < np.finfo(float).tiny)).sum())
            kinds["huge"] += int(((tiny > 1e300) & np.isfinite(values)).sum())
            kinds["negative"] += int((values < 0).sum())
            kinds["no value"] += int((values == NO_VALUE).sum())
        texts = list(expected["text"].values()) + [t for column in expected["texts"].values() for t in column]
        kinds["empty text"] += sum(1 for t in texts if not t)
        kinds["non-ASCII text"] += sum(1 for t in texts if any(b > 127 for b in t))
        kinds["text over 255 bytes"] += sum(1 for t in texts if len(t) > 255)
        kinds["text with line break"] += sum(1 for t in texts if b"\n" in t)
        points = len(expected["numbers"]["ordinate_values"])
        kinds["no points"] += points == 0
        kinds["one point"] += points == 1
        kinds["many points"] += points > 100
        kinds["no peaks"] += not expected["flags"]["manually_reintegrated_peaks"]
        kinds["column without values"] += sum(
            1 for c, v in expected["numbers"].items()
            if c != "ordinate_values" and len(v) and (v.view(np.float64) == NO_VALUE).all())
    missing = [kind for kind in ["nan", "infinite", "negative zero", "zero", "subnormal", "huge", "negative",
                                 "no value", "empty text", "non-ASCII text", "text over 255 bytes",
                                 "text with line break", "no points", "one point", "many points", "no peaks",
                                 "column without values"] if kinds[kind] == 0]
    assert not missing, (missing, kinds)
