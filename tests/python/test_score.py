"""The benchmark suites and elutrix-score: the truth scores perfectly, a table
of shifted, missing, split and extra peaks gives the expected figures, bad
FOUND files name their line, and the suites regenerate byte for byte."""

import csv
import filecmp
import json
import os
import subprocess
import sys

import pytest

import elutrix
from elutrix.scoring import Scoring, ScoreError, match, read_truth


def generate(folder, *args):
    return subprocess.run([os.environ["ELUTRIX_GENERATE"], "--quiet", "--out", str(folder), *args],
                          capture_output=True, text=True)


def write_found(path, lines, header=("run", "retention_time_min", "area", "height", "width_50_min")):
    with open(path, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(header)
        writer.writerows(lines)
    return path


def truth_lines(runs):
    return [[r["stem"], p["time"], p["area"], p["height"], p["width"]] for r in runs for p in r["peaks"]]


@pytest.fixture(scope="module")
def truth(tmp_path_factory):
    folder = tmp_path_factory.mktemp("truth")
    done = generate(folder, "--suite", "resolution", "--replicates", "2")
    assert done.returncode == 0, done.stderr
    return folder


def test_the_truth_fed_back_scores_recall_1_and_no_error(truth, tmp_path):
    runs = read_truth(truth)
    assert len(runs) == 7 * 2 * 2 and all(len(r["peaks"]) == 2 for r in runs)
    found = write_found(tmp_path / "found.csv", truth_lines(runs))
    done = subprocess.run([sys.executable, "-m", "elutrix.score", str(truth), str(found), "--out", str(tmp_path)],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    written = json.loads((tmp_path / "score.json").read_text())
    figures = elutrix.score(truth, found)
    assert written == figures
    assert (figures["suite"], figures["suite_version"], figures["runs"]) == ("resolution", "1", 28)
    assert (figures["recall"], figures["precision"], figures["false_per_run"]) == (1.0, 1.0, 0.0)
    for key in ("retention_time_error_min", "area_error_rel", "height_error_rel", "width_50_error_rel"):
        assert figures[key]["max_abs"] == 0.0 and figures[key]["n"] == 56
    assert [(x["series"], x["level"], x["recall"]) for x in figures["by_level"][:2]] == [("equal", 0.5, 1.0),
                                                                                       ("equal", 0.75, 1.0)]
    assert len(figures["by_level"]) == 14
    html = (tmp_path / "score.html").read_text()
    assert "score_resolution.png" in html and (tmp_path / "score_worst_5.png").stat().st_size > 1000
    assert len((tmp_path / "score.csv").read_text().splitlines()) == 1 + 56


# One run of two peaks (times a, b; the tolerance 0.01 min); FOUND as offsets
# from a or b, and the figures expected.
D = 0.002
CASES = [
    ("shifted within the tolerance", [("a", D), ("b", -D)], dict(matched=2, recall=1.0, precision=1.0),
     [D, -D]),
    ("shifted beyond it: a miss and a false peak", [("a", 0.02), ("b", 0)], dict(matched=1, recall=0.5,
                                                                                 precision=0.5), [None, 0.0]),
    ("missing", [("a", 0)], dict(matched=1, recall=0.5, precision=1.0), [0.0, None]),
    ("split: the nearer part matches", [("a", -D), ("a", 2 * D), ("b", 0)],
     dict(matched=2, recall=1.0, precision=2 / 3), [-D, 0.0]),
    ("extra, far off", [("a", 0), ("b", 0), ("a", -1)], dict(matched=2, recall=1.0, precision=2 / 3),
     [0.0, 0.0]),
    ("none found: all missed", [], dict(matched=0, recall=0.0, precision=None), [None, None]),
]


@pytest.mark.parametrize("name,offsets,expected,errors", CASES, ids=[c[0] for c in CASES])
def test_shifted_missing_split_and_extra_peaks(truth, tmp_path, name, offsets, expected, errors):
    run = read_truth(truth)[0]
    times = {"a": run["peaks"][0]["time"], "b": run["peaks"][1]["time"]}
    found = write_found(tmp_path / "found.csv", [[run["stem"], times[p] + dt] for p, dt in offsets],
                        header=("run", "retention_time_min"))
    figures = elutrix.score(truth, found, tolerance_min=0.01)
    level = figures["by_level"][0]
    assert (level["runs"], level["true_peaks"], level["found_peaks"]) == (2, 4, len(offsets))
    # The other run of the level has no found peaks: both missed.
    assert level["matched"] == expected["matched"]
    assert level["recall"] == pytest.approx(expected["recall"] / 2)
    assert level["precision"] == pytest.approx(expected["precision"])
    assert level["false_per_run"] == pytest.approx((len(offsets) - expected["matched"]) / 2)
    assert "area_error_rel" not in figures
    lines = [x for x in Scoring(truth, found, 0.01).lines if x["run"] == run["stem"]]
    got = [x["retention_time_error_min"] for x in lines]
    assert got == [pytest.approx(e, abs=1e-12) if e is not None else None for e in errors]


@pytest.mark.parametrize("true,found,tolerance,pairs", [
    # Nearest first would pair 0.55 with 1 and leave 0 and 1.5 alone.
    ([0, 1], [0.55, 1.5], [0.6, 0.6], [(0, 0), (1, 1)]),
    ([0, 1], [0.9, 1.05], [0.2, 0.2], [(1, 1)]),
    ([0, 1], [], [0.2, 0.2], []),
    ([5], [4.9, 5.05, 5.2], [0.1], [(0, 1)]),
])
def test_matching_takes_the_most_pairs_then_the_least_distance(true, found, tolerance, pairs):
    assert match(true, found, tolerance) == pairs


@pytest.mark.parametrize("lines,header,message", [
    ([["nope_0001", 1]], ("run", "retention_time_min"), "line 2: 'nope_0001' is not a run of TRUTH"),
    ([["x"]], ("run",), "line 1: the column retention_time_min is missing"),
    ([[1]], ("retention_time_min",), "line 1: the column run is missing"),
    ([["{run}", 4], ["{run}", "four"]], ("run", "retention_time_min"),
     "line 3: retention_time_min must be a finite number, not 'four'"),
    ([["{run}", 4, "nan"]], ("run", "retention_time_min", "area"), "line 2: area must be a finite number"),
])
def test_bad_found_files_name_their_line(truth, tmp_path, lines, header, message):
    stem = read_truth(truth)[0]["stem"]
    rows = [[str(c).format(run=stem) for c in line] for line in lines]
    found = write_found(tmp_path / "found.csv", rows, header)
    with pytest.raises(ScoreError, match=message.replace("(", r"\(")):
        elutrix.score(truth, found)
    done = subprocess.run([sys.executable, "-m", "elutrix.score", str(truth), str(found), "--out", str(tmp_path)],
                          capture_output=True, text=True)
    assert done.returncode == 1 and "line" in done.stderr


def test_the_suites_regenerate_byte_for_byte(tmp_path):
    for k in (1, 2):
        done = generate(tmp_path / str(k), "--suite", "all", "--replicates", "2")
        assert done.returncode == 0, done.stderr
    comparison = filecmp.dircmp(tmp_path / "1", tmp_path / "2")
    names = sorted(p.name for p in (tmp_path / "1").iterdir())
    assert comparison.left_only == comparison.right_only == []
    assert filecmp.cmpfiles(tmp_path / "1", tmp_path / "2", names, shallow=False)[0] == names
    with open(tmp_path / "1" / "manifest.csv", newline="") as f:
        manifest = list(csv.DictReader(f))
    suites = {m["suite"] for m in manifest}
    assert suites == {"resolution", "noise", "tailing", "baseline", "realistic"}
    assert {m["suite_version"] for m in manifest} == {"1"} and all(m["level"] for m in manifest)
    # A run's record carries its label and makes the run again.
    record = tmp_path / "1" / "tailing_fronting_3_0002.json"
    assert json.loads(record.read_text())["suite"]["level"] == 3
    again = generate(tmp_path / "again", str(record))
    assert again.returncode == 0, again.stderr
    assert filecmp.cmp(tmp_path / "again" / "tailing_fronting_3.xy", tmp_path / "1" / "tailing_fronting_3_0002.xy",
                       shallow=False)


@pytest.mark.parametrize("name", ["nonesuch", "noise,nonesuch", "../suites/noise"])
def test_an_unknown_suite_is_a_command_line_error(tmp_path, name):
    done = generate(tmp_path, "--suite", name)
    assert done.returncode == 2 and 'no suite named "' in done.stderr and "resolution" in done.stderr
    assert not (tmp_path / "manifest.csv").exists()
