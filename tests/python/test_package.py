"""The Python package against elutrix-generate: the same scenario gives the
same files byte for byte and the same arrays bit for bit; messages, errors,
replicates, files and the interpreter's lock."""

import json
import os
import random
import subprocess
import threading
import time
from collections import Counter

import numpy as np
import pytest

import elutrix

EPOCH = "1709251199"
# The interchange files of both programs carry the same stamps.
os.environ["SOURCE_DATE_EPOCH"] = EPOCH

NOISY = {"noise_kind": "random", "level_by_s_to_n": True, "s_to_n_percent": 100}
# name: scenario; every one is seeded, so that both programs draw the same noise.
SCENARIOS = {
    "factory": {"seed": 1},
    "noisy": {"seed": 7, "settings": NOISY},
    "pair": {"seed": 3, "rows": [{"enabled": True, "retention_time": 2, "tau": 2},
                                 {"enabled": True, "resolution": 1, "relative_response": 0.5, "tau": 1}],
             "settings": {"peak_model": "ExponentiallyModifiedGaussian", "baseline_shape": "linear",
                          "baseline_percentage": 5, **NOISY}},
    "drift": {"seed": 42, "rows": [{"enabled": True, "retention_time": "2.0", "plates": 8000},
                                   {"enabled": True, "retention_time": 2.3, "relative_response": "0.5"}],
              "settings": {"efficiency": "custom_individual", "baseline_shape": "quad", "quad_down": True,
                           "baseline_percentage": 10, "noise_kind": "random_walk", "level_by_value": True,
                           "s_to_n_value": 0.0005, "sampling_rate": 7.5}},
    "no_points": {"seed": 1, "settings": {"sampling_rate": 0}},
    "labelled": {"seed": 5, "suite": {"name": "noise", "version": "1", "series": "one", "level": 30},
                 "settings": NOISY},
}


def generate(folder, files, *options):
    """elutrix-generate with the components table, every file stamped alike."""
    return subprocess.run([os.environ["ELUTRIX_GENERATE"], "--quiet", "--components", "--out", str(folder),
                           *options, *map(str, files)],
                          env=dict(os.environ, SOURCE_DATE_EPOCH=EPOCH), capture_output=True, text=True)


def components_table(path):
    """time_min, response, noise_free, baseline, row_k ... as exact doubles."""
    with open(path) as f:
        header = f.readline().strip().split(",")
        rows = [[float(v) for v in line.split(",")] for line in f]
    return {name: np.array([r[j] for r in rows]) for j, name in enumerate(header)}


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def assert_same_run(result, folder, stem):
    """Every file of the command line's run, and its arrays, from the result."""
    for made_as, form, ending, precision in [("xy", "xy", ".xy", "float"), ("csv", "csv", ".csv", "float"),
                                             ("andi", "andi", ".cdf", "float"),
                                             ("andi_double", "andi", ".cdf", "double")]:
        mine = folder / "mine" / (stem + ending)
        result.write(mine, form, precision=precision)
        theirs = folder / made_as / (stem + ending)
        assert mine.read_bytes() == theirs.read_bytes(), (stem, made_as)
    assert result.peaks_csv == (folder / "xy" / f"{stem}.peaks.csv").read_text()
    assert result.record == json.loads((folder / "xy" / f"{stem}.json").read_text())
    table = components_table(folder / "xy" / f"{stem}.components.csv")
    for name, array in [("time_min", result.time_min), ("response", result.response),
                        ("noise_free", result.noise_free), ("baseline", result.baseline)]:
        assert same_bits(array, table[name]), (stem, name)
    assert sorted(result.components) == sorted(int(c[4:]) for c in table if c.startswith("row_"))
    for row, array in result.components.items():
        assert same_bits(array, table[f"row_{row}"]), (stem, row)


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """The scenarios' files from the command line, in each data file format."""
    folder = tmp_path_factory.mktemp("generate")
    (folder / "mine").mkdir()
    for name, scenario in SCENARIOS.items():
        (folder / f"{name}.json").write_text(json.dumps(dict(scenario, name=name)))
        (folder / f"{name}_x3.json").write_text(json.dumps(dict(scenario, name=f"{name}_x3", replicates=3)))
    files = sorted(folder.glob("*.json"))
    for form in ["xy", "csv", "andi"]:
        assert generate(folder / form, files, "--format", form).returncode == 0
    assert generate(folder / "andi_double", files, "--format", "andi", "--andi-precision", "double").returncode == 0
    return folder


@pytest.mark.parametrize("name", SCENARIOS)
def test_a_run_is_the_command_lines_run(made, name):
    # From the file, as the command line reads it, and from the dict.
    assert_same_run(elutrix.simulate(made / f"{name}.json", components=True), made, name)
    result = elutrix.simulate(dict(SCENARIOS[name], name=name), components=True)
    assert result.peaks_csv == (made / "xy" / f"{name}.peaks.csv").read_text()
    assert (made / "xy" / f"{name}.xy").read_bytes() == open(result.write(made / "mine" / "dict.xy"), "rb").read()


@pytest.mark.parametrize("name", SCENARIOS)
def test_replicates_are_the_command_lines_replicates(made, name):
    results = elutrix.simulate_many(made / f"{name}_x3.json", components=True, threads=2)
    assert [r.stem for r in results] == [f"{name}_x3_{k:04d}" for k in (1, 2, 3)]
    assert [r.seed for r in results] == [SCENARIOS[name]["seed"] + k for k in range(3)]
    for r in results:
        assert_same_run(r, made, r.stem)


def test_the_result(made):
    result = elutrix.simulate(SCENARIOS["pair"])
    assert result.time_min.dtype == result.response.dtype == np.float64
    assert len(result.time_min) == len(result.response) == result.point_count > 0
    assert result.noise_free is result.baseline is result.components is None
    # The run's write-backs: plate counts, the derived retention time, the noise value.
    assert [r["plates"] for r in result.rows[:2]] == ["10000", "10000"]
    assert result.rows[1]["retention_time"] not in ("", "0")
    assert result.settings["s_to_n_value"] not in ("", "0")
    # The ground truth, one record per component, numbers as they stand in the table.
    lines = result.peaks_csv.splitlines()
    header = lines[0].split(",")
    assert [p["row"] for p in result.peaks] == [1, 2]
    for peak, line in zip(result.peaks, lines[1:]):
        assert list(peak) == header
        for key, text in zip(header, line.split(",")):
            if key == "clipped":
                assert peak[key] is (text == "true")
            elif key not in ("row", "model"):
                assert peak[key] == (float(text) if text else None), key
    assert result.peaks[0]["resolution_previous"] is None
    assert 0 < result.peaks[1]["resolution_previous"] < 1  # tailing peaks at a resolution of 1 by their sigmas
    # The arrays are the result's own.
    result.response[:] = 0
    assert elutrix.simulate(SCENARIOS["pair"]).response.any()
    components = elutrix.simulate(SCENARIOS["pair"], components=True)
    total = sum(components.components.values(), np.zeros(components.point_count)) + components.baseline
    assert same_bits(total, components.noise_free)


def test_unseeded_runs_draw_seeds_that_make_them_again():
    scenario = {"settings": NOISY}
    results = elutrix.simulate_many(scenario, 4)
    assert len({r.seed for r in results}) == 4
    assert all(r.record["seed_drawn"] for r in results)
    for r in results[:2]:
        again = elutrix.simulate(dict(scenario, seed=r.seed))
        assert same_bits(again.response, r.response)
    assert not same_bits(results[0].response, results[1].response)


BAD_SCENARIOS = [
    # (scenario, exception, words of its message)
    ({"rows": [{"retention_time": 10}], "settings": {"sampling_rate": 2000}}, elutrix.SimulationError,
     "This run asks for 1800000 points"),
    ({"settings": {"sampling_rat": 5}}, elutrix.ScenarioError, 'unknown key "sampling_rat" in settings'),
    ({"settings": {"noise_kind": "loud"}}, elutrix.ScenarioError, '"noise_kind" in settings must be one of'),
    ({"rows": [{}] * 11}, elutrix.ScenarioError, "rows"),
    ({"seed": float("nan")}, elutrix.ScenarioError, "JSON"),
    ({"seed": object()}, elutrix.ScenarioError, "not object"),
    ([{"name": "a"}], TypeError, "dict or the path"),
    (42, TypeError, "not int"),
]


@pytest.mark.parametrize("scenario,error,words", BAD_SCENARIOS)
def test_bad_scenarios(tmp_path, scenario, error, words):
    with pytest.raises(error) as caught:
        elutrix.simulate(scenario)
    assert words in str(caught.value)
    assert isinstance(caught.value, elutrix.Error) == (error is not TypeError)


def test_a_run_that_stops_carries_the_command_lines_message(tmp_path):
    scenario = BAD_SCENARIOS[0][0]
    (tmp_path / "big.json").write_text(json.dumps(scenario))
    stderr = generate(tmp_path / "out", [tmp_path / "big.json"]).stderr
    with pytest.raises(elutrix.SimulationError) as caught:
        elutrix.simulate_many(tmp_path / "big.json", 2)
    assert caught.value.message == str(caught.value)
    assert (caught.value.name, caught.value.replicate) == ("big", 1)
    assert stderr.strip().endswith(f'"big" ({tmp_path / "big.json"}): {caught.value.message}')


BAD_FILES = [
    # (file's text or None for no file, words of the message)
    (None, "cannot be read"),
    ('{\n  "name": "x",,\n}', "malformed JSON at line 2, column 15"),
    ('[{"name": "a"}, {"name": "b"}]', "holds 2 scenarios"),
    ("[]", "a non-empty list"),
    ('[{"name": "a", "rows": 3}]', "rows"),
]


@pytest.mark.parametrize("text,words", BAD_FILES)
def test_bad_files(tmp_path, text, words):
    path = tmp_path / "s.json"
    if text is not None:
        path.write_text(text)
    with pytest.raises(elutrix.ScenarioError) as caught:
        elutrix.simulate(str(path))
    assert words in str(caught.value) and str(path) in str(caught.value)


@pytest.mark.parametrize("replicates,error", [(0, ValueError), (-1, ValueError), (1000001, ValueError),
                                               (True, TypeError), (1.0, TypeError), ("2", TypeError)])
def test_replicates_must_be_a_count(replicates, error):
    with pytest.raises(error):
        elutrix.simulate_many({}, replicates)


def test_seeds_that_would_repeat_a_noise_sequence_are_refused():
    with pytest.raises(elutrix.ScenarioError, match="would draw the same noise"):
        elutrix.simulate_many({"seed": -1, "settings": NOISY}, 3)


def test_numpy_numbers_stand_for_their_values():
    plain = elutrix.simulate({"seed": 5, "rows": [{"enabled": True, "retention_time": 1.5, "plates": 4000}],
                              "settings": dict(NOISY, s_to_n_percent=50)})
    numpy = elutrix.simulate({"seed": np.int64(5), "rows": [{"enabled": np.bool_(True),
                                                              "retention_time": np.float64(1.5),
                                                              "plates": np.int32(4000)}],
                              "settings": dict(NOISY, s_to_n_percent=np.float32(50))})
    assert same_bits(plain.response, numpy.response)


def test_writing(tmp_path):
    result = elutrix.simulate({"seed": 1})
    for name, first in [("a.xy", b"0.000833333333333333,0\r\n"), ("b.CSV", b"time_min,response\n"),
                        ("c.cdf", b"CDF\x01"), ("d.nc", b"CDF\x01")]:
        assert open(result.write(tmp_path / name), "rb").read().startswith(first), name
    assert open(result.write(tmp_path / "e.txt", "csv"), "rb").read().startswith(b"time_min,response\n")
    with pytest.raises(ValueError, match="does not end in"):
        result.write(tmp_path / "f.txt")
    with pytest.raises(ValueError, match="the format must be"):
        result.write(tmp_path / "g.xy", "xls")
    with pytest.raises(ValueError, match="the precision must be"):
        result.write(tmp_path / "g.cdf", precision="single")
    with pytest.raises(OSError, match="could not be written"):
        result.write(tmp_path / "missing" / "h.xy")
    assert not (tmp_path / "g.xy").exists()


def test_simulate_many_lets_other_threads_run():
    # Ten tailing peaks: their ground truth takes a while.
    scenario = {"seed": 1, "rows": [{"enabled": True, "retention_time": 2 + k, "tau": 5 + k} for k in range(10)],
                "settings": {"peak_model": "ExponentiallyModifiedGaussian", "sampling_rate": 25, **NOISY}}
    done = []
    worker = threading.Thread(target=lambda: done.append(elutrix.simulate_many(scenario, 400, threads=2)))
    ticks = []
    start = time.perf_counter()
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
        time.sleep(0.001)
    worker.join()
    total = time.perf_counter() - start
    assert len(done[0]) == 400
    # Held through the runs, the lock would stop this loop for nearly all of them.
    gaps = np.diff([start] + ticks + [start + total])
    assert total > 0.05 and gaps.max() < total / 3, (total, gaps.max())


def random_scenarios(seed, count):
    """Scenarios drawn from everything a user can type: negative, zero,
    subnormal, huge and non-numeric texts, JSON numbers, every option."""
    rng = random.Random(seed)
    numbers = ["0", "-1", "-0.5", "5e-324", "1e308", "1e-300", "abc", "", "2.5", "1", "3", "0.7", "1e3", " 2x"]
    times = ["1", "2.5", "0.4", "3", "0", "-1", "5e-324", "1e308", "x"]

    def value(choices):
        text = rng.choice(choices)
        if rng.random() < 0.3:
            try:
                return float(text)  # a JSON number instead of a text
            except ValueError:
                pass
        return text

    out = []
    for k in range(count):
        rows = [{"enabled": rng.random() < 0.7, "retention_time": value(times), "relative_response": value(numbers),
                 "plates": value(numbers + ["10000", "500"]), "tau": value(numbers),
                 "resolution": value(numbers) if rng.random() < 0.3 else ""} for _ in range(rng.randint(0, 10))]
        settings = {
            "efficiency": rng.choice(["lc", "gc", "custom", "custom_individual"]),
            "custom_plates": value(numbers + ["5000"]),
            "peak_model": rng.choice(elutrix.PEAK_MODELS),
            "constant_bandwidth": rng.random() < 0.2, "void_minutes": value(numbers),
            "sampling_rate": value(["20", "5", "0", "-5", "1e-300", "1e300", "abc", "2.5", "10"]),
            "baseline_shape": rng.choice(["flat", "linear", "quad"]), "linear_down": rng.random() < 0.5,
            "quad_down": rng.random() < 0.5, "baseline_percentage": value(numbers),
            "noise_kind": rng.choice(["omit", "random", "random_walk"]), "s_to_n_percent": value(numbers),
            "s_to_n_value": value(numbers)}
        level = rng.choice([None, "level_by_s_to_n", "level_by_value"])  # one option of a pair, or none
        if level:
            settings[level] = True
        out.append({"name": f"r{k:03d}", "seed": rng.randint(0, 10 ** 6), "rows": rows, "settings": settings})
    return out


def test_random_scenarios_run_alike_in_both(tmp_path):
    scenarios = random_scenarios(20240602, 80)
    (tmp_path / "all.json").write_text(json.dumps(scenarios))
    stderr = generate(tmp_path / "xy", [tmp_path / "all.json"]).stderr
    kinds = Counter()
    for scenario in scenarios:
        name = scenario["name"]
        try:
            result = elutrix.simulate(scenario, components=True)
        except elutrix.SimulationError as e:
            kinds["stopped"] += 1
            assert f'"{name}" ({tmp_path / "all.json"}): {e.message}' in stderr
            assert not (tmp_path / "xy" / f"{name}.xy").exists()
            continue
        kinds["ran"] += 1
        kinds["no points" if result.point_count <= 0 else "points"] += 1
        kinds["noise" if result.noise["active"] else "no noise"] += 1
        result.write(tmp_path / "mine.xy")
        assert (tmp_path / "mine.xy").read_bytes() == (tmp_path / "xy" / f"{name}.xy").read_bytes(), name
        table = components_table(tmp_path / "xy" / f"{name}.components.csv")
        if result.point_count > 0:
            assert same_bits(result.response, table["response"]) and same_bits(result.noise_free, table["noise_free"])
    for scenario in scenarios:
        s = scenario["settings"]
        kinds.update([s["efficiency"], s["peak_model"], s["baseline_shape"], s["noise_kind"]])
        for v in [x for r in scenario["rows"] for x in r.values()] + list(s.values()):
            if isinstance(v, bool):
                continue
            if isinstance(v, float):
                kinds["JSON number"] += 1
            text = str(v).strip()
            try:
                number = float(text)
            except ValueError:
                kinds["empty" if text == "" else "non-numeric"] += 1
                continue
            kinds["negative" if number < 0 else "zero" if number == 0 else
                  "subnormal" if number < 2.3e-308 else "huge" if number > 1e300 else "positive"] += 1
    expected = ["ran", "stopped", "points", "no points", "noise", "no noise", "lc", "gc", "custom",
                "custom_individual", *elutrix.PEAK_MODELS, "flat", "linear", "quad", "omit",
                "random", "random_walk", "JSON number", "empty", "non-numeric", "negative", "zero", "subnormal",
                "huge", "positive"]
    assert not [k for k in expected if kinds[k] == 0], kinds


HOSTILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "generate", "hostile")
DEEP = "[" * 100000 + "]" * 100000


def _hostile_path(tmp_path, kind):
    """A path that is no readable scenario file, made for the test."""
    if kind == "fifo":
        os.mkfifo(tmp_path / "fifo.json")
        return tmp_path / "fifo.json"
    if kind == "large":
        with open(tmp_path / "large.json", "wb") as f:
            f.truncate(16 * 2**20 + 1)
        return tmp_path / "large.json"
    if kind == "deep":
        (tmp_path / "deep.json").write_text('{"rows": ' + DEEP + "}")
        return tmp_path / "deep.json"
    if kind == "huge key":
        (tmp_path / "key.json").write_text('{"' + "k" * (10 * 2**20) + '": 1}')
        return tmp_path / "key.json"
    return {"folder": tmp_path, "missing": tmp_path / "missing.json", "device": "/dev/zero"}[kind]


# Every hostile input ends in the package's own exceptions, at once.
@pytest.mark.parametrize("kind,words", [
    ("fifo", "not a regular file"), ("device", "not a regular file"), ("large", "larger than 16 MiB"),
    ("folder", "Is a directory"), ("missing", "No such file or directory"), ("deep", "too deeply nested"),
    ("huge key", 'unknown key "kkkk'),
] + [(name, "") for name in sorted(os.listdir(HOSTILE))])
def test_hostile_scenario_files_raise_scenario_error(tmp_path, kind, words):
    path = os.path.join(HOSTILE, kind) if kind.endswith(".json") else _hostile_path(tmp_path, kind)
    start = time.monotonic()
    with pytest.raises(elutrix.ScenarioError) as caught:
        elutrix.simulate(path)
    assert words in str(caught.value)
    assert len(str(caught.value)) < 1200 + len(str(path))
    assert time.monotonic() - start < 5


@pytest.mark.parametrize("scenario,replicates,words", [
    ({"rows": json.loads("[" * 200 + "]" * 200)}, 1, "too deeply nested"),
    ({"seed": "1e999", "settings": NOISY}, 2, "the seed 1e999 is too large"),
    ({"seed": -5, "settings": NOISY}, 1000000, "replicates 5 and 7 would draw the same noise"),
    ({"program": "elutrix-generate", "seed": 999, "replicates": 10, "settings": {"seed": "1"}}, 1,
     "is not the seed in its settings"),
    ({"settings": {"peak_model": "é" * 1000}}, 1, "é..."),
])
def test_hostile_scenarios_raise_scenario_error(scenario, replicates, words):
    start = time.monotonic()
    with pytest.raises(elutrix.ScenarioError, match=words):
        elutrix.simulate_many(scenario, replicates)
    assert time.monotonic() - start < 5


def test_a_dict_nested_beyond_the_interpreters_limit_raises_scenario_error():
    deep = []
    for _ in range(100000):
        deep = [deep]
    with pytest.raises(elutrix.ScenarioError, match="too deeply nested"):
        elutrix.simulate({"rows": deep})


def test_paths_holding_nul_are_refused_as_open_refuses_them(tmp_path):
    (tmp_path / "s.json").write_text("{}")
    result = elutrix.simulate(tmp_path / "s.json")
    for call in (lambda: elutrix.simulate(str(tmp_path / "s.json") + "\0x"),
                 lambda: elutrix.simulate(bytes(tmp_path / "s.json") + b"\0x"),
                 lambda: result.write(str(tmp_path / "out") + "\0.xy")):
        with pytest.raises(ValueError, match="null byte"):
            call()
    assert sorted(os.listdir(tmp_path)) == ["s.json"]


def test_a_file_name_that_is_not_utf8_names_the_run(tmp_path):
    path = bytes(tmp_path) + b"/r\xff.json"
    with open(path, "w") as f:
        f.write("{}")
    result = elutrix.simulate(path)
    assert result.name == "r\udcff"
    result.write(bytes(tmp_path) + b"/r\xff.xy")
    assert os.path.exists(bytes(tmp_path) + b"/r\xff.xy")


@pytest.mark.parametrize("threads,error", [(elutrix.MAX_THREADS + 1, ValueError), (10**6, ValueError),
                                           (-1, ValueError), (2.0, TypeError)])
def test_threads_are_capped(threads, error):
    with pytest.raises(error, match="threads"):
        elutrix.simulate_many({"seed": 1}, 2, threads=threads)


def test_the_most_threads_run():
    assert len(elutrix.simulate_many({"seed": 1}, 3, threads=elutrix.MAX_THREADS)) == 3
