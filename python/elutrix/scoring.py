"""Scores the peaks an integrator found against the ground truth of a folder
that elutrix-generate wrote (its manifest.csv and NAME.peaks.csv tables).

    elutrix-score TRUTH FOUND [--out DIR] [--tolerance-min T]
    python3 -m elutrix.score TRUTH FOUND ...
    elutrix.score(truth, found)            # the figures of score.json, as a dict

FOUND is a CSV file with the columns run (a run's file stem, such as
tailing_tailing_1_0003) and retention_time_min, and optionally area
(response x min), height, width_50_min, start_min and end_min.

The found and true peaks of a run are matched one to one: as many pairs as
possible whose retention times lie within the tolerance of each other
(default: half the true peak's width at half height), and among those the
pairs of least total retention-time distance. True peaks are described by
their component's apex (apex_time_min, apex_height), trapezoid area
(area_trapezoid) and width at half height (width_50_min); a component that is
0 everywhere has no apex and is not a peak to find. Every error is found
minus true; relative errors are divided by the true value.
"""

import argparse
import csv
import json
import math
import os
import sys
from pathlib import Path

import numpy as np

# The optional columns of FOUND that have a true counterpart, the truth's
# column, and the error's name in score.json.
COMPARED = (("area", "area_trapezoid", "area_error_rel"), ("height", "apex_height", "height_error_rel"),
            ("width_50_min", "width_50_min", "width_50_error_rel"))
OPTIONAL = ("area", "height", "width_50_min", "start_min", "end_min")


class ScoreError(ValueError):
    """TRUTH or FOUND cannot be read; the message names the file and line."""


def _number(text, where, column):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise ScoreError(f"{where}: {column} must be a finite number, not {text!r}")
    return value


# ---------------------------------------------------------------- reading


def read_truth(folder):
    """The runs of a folder elutrix-generate wrote, in manifest order: a list
    of dicts with stem, scenario, suite, suite_version, series, level (None
    for runs of no suite), data (the data file's path) and peaks (dicts with
    row, time, area, height, width)."""
    folder = Path(folder)
    manifest = folder / "manifest.csv"
    if not manifest.is_file():
        raise ScoreError(f"{folder} holds no manifest.csv: TRUTH is a folder elutrix-generate wrote")
    runs = []
    with open(manifest, newline="") as f:
        for line, entry in enumerate(csv.DictReader(f), start=2):
            if entry.get("status") != "ok":
                continue
            peaks_name = entry["peaks"]
            if not peaks_name.endswith(".peaks.csv"):
                raise ScoreError(f"{manifest}, line {line}: {peaks_name} is a dataset file (--format dataset); "
                                 "scoring needs a run's files (--format xy, csv or andi)")
            stem = peaks_name[:-len(".peaks.csv")]
            level = entry.get("level") or None
            run = {"stem": stem, "scenario": entry["scenario"], "suite": entry.get("suite") or None,
                   "suite_version": entry.get("suite_version") or None, "series": entry.get("series") or None,
                   "level": None if level is None else _number(level, f"{manifest}, line {line}", "level"),
                   "data": str(folder / entry["data"]), "peaks": []}
            with open(folder / peaks_name, newline="") as p:
                for peak in csv.DictReader(p):
                    if not peak["apex_time_min"]:
                        continue  # 0 everywhere: nothing to find
                    run["peaks"].append({"row": int(peak["row"]), "time": float(peak["apex_time_min"]),
                                         "area": float(peak["area_trapezoid"]),
                                         "height": float(peak["apex_height"]),
                                         "width": float(peak["width_50_min"])})
            runs.append(run)
    return runs


def read_found(path, stems):
    """The found peaks by run stem, and the optional columns FOUND has. Every
    stem must be one of stems."""
    found = {}
    # utf-8-sig: a spreadsheet's byte order mark is not part of the first name.
    with open(path, newline="", encoding="utf-8-sig") as f:
        reader = csv.DictReader(f)
        columns = [c.strip() for c in (reader.fieldnames or [])]
        reader.fieldnames = columns
        for needed in ("run", "retention_time_min"):
            if needed not in columns:
                raise ScoreError(f"{path}, line 1: the column {needed} is missing (found: {', '.join(columns)})")
        present = [c for c in OPTIONAL if c in columns]
        for entry in reader:
            where = f"{path}, line {reader.line_num}"
            if None in entry or any(entry[c] is None for c in columns):
                raise ScoreError(f"{where}: the line does not have the header's {len(columns)} fields")
            stem = entry["run"].strip()
            if stem not in stems:
                raise ScoreError(f"{where}: {stem!r} is not a run of TRUTH")
            peak = {"time": _number(entry["retention_time_min"].strip(), where, "retention_time_min")}
            for c in present:
                text = entry[c].strip()
                # An empty optional field: this peak has no such figure.
                peak[c] = _number(text, where, c) if text else None
            found.setdefault(stem, []).append(peak)
    return found, present


# ---------------------------------------------------------------- matching


def match(true_times, found_times, tolerances):
    """Pairs (i, j) of true peak i and found peak j: the most pairs within
    each true peak's tolerance, and among those the least total distance."""
    from scipy.optimize import linear_sum_assignment

    if len(true_times) == 0 or len(found_times) == 0:
        return []
    distance = np.abs(np.subtract.outer(np.asarray(true_times, float), np.asarray(found_times, float)))
    allowed = distance <= np.asarray(tolerances, float)[:, None]
    # A pair beyond the tolerance costs more than every allowed pair together.
    cost = np.where(allowed, distance, distance[allowed].sum() + 1.0 if allowed.any() else 1.0)
    rows, cols = linear_sum_assignment(cost)
    return [(int(i), int(j)) for i, j in zip(rows, cols) if allowed[i, j]]


def _summary(values):
    v = np.asarray([x for x in values if x is not None], float)
    if v.size == 0:
        return None
    return {"mean": float(v.mean()), "sd": float(v.std(ddof=1)) if v.size > 1 else 0.0,
            "max_abs": float(np.abs(v).max()), "n": int(v.size)}


def _figures(lines, runs, found_count, present):
    """The figures of score.json over lines (one per true peak) of runs."""
    true_peaks = len(lines)
    matched = sum(1 for x in lines if x["matched"])
    out = {"runs": runs, "true_peaks": true_peaks, "found_peaks": found_count, "matched": matched,
           "recall": matched / true_peaks if true_peaks else None,
           "precision": matched / found_count if found_count else None,
           "false_per_run": (found_count - matched) / runs if runs else None,
           "retention_time_error_min": _summary(x["retention_time_error_min"] for x in lines if x["matched"])}
    for column, _, name in COMPARED:
        if column in present:
            out[name] = _summary(x[name] for x in lines if x["matched"])
    return out


def _one_or_all(values):
    values = sorted({v for v in values if v is not None})
    return values[0] if len(values) == 1 else (values or None)


class Scoring:
    """The matching of FOUND to TRUTH: lines (one per true peak), runs, the
    found peaks left unmatched, and the figures."""

    def __init__(self, truth, found, tolerance_min=None):
        if tolerance_min is not None and not (math.isfinite(tolerance_min) and tolerance_min > 0):
            raise ScoreError(f"the tolerance must be a positive number of minutes, not {tolerance_min}")
        self.runs = read_truth(truth)
        by_stem = {r["stem"]: r for r in self.runs}
        self.found, self.present = read_found(found, by_stem)
        self.lines = []
        self.unmatched = {}  # stem -> found peaks left over
        for run in self.runs:
            peaks, found_peaks = run["peaks"], self.found.get(run["stem"], [])
            tolerances = [tolerance_min if tolerance_min is not None else p["width"] / 2 for p in peaks]
            pairs = dict(match([p["time"] for p in peaks], [f["time"] for f in found_peaks], tolerances))
            run["found"] = found_peaks
            run["pairs"] = pairs
            self.unmatched[run["stem"]] = [f for j, f in enumerate(found_peaks) if j not in pairs.values()]
            for i, p in enumerate(peaks):
                line = {"run": run["stem"], "suite": run["suite"], "suite_version": run["suite_version"],
                        "series": run["series"], "level": run["level"], "row": p["row"],
                        "true_retention_time_min": p["time"], "true_area": p["area"], "true_height": p["height"],
                        "true_width_50_min": p["width"], "tolerance_min": tolerances[i], "matched": i in pairs}
                f = found_peaks[pairs[i]] if i in pairs else {}
                line["found_retention_time_min"] = f.get("time")
                line["retention_time_error_min"] = f["time"] - p["time"] if f else None
                for column, truth_column, name in COMPARED:
                    if column not in self.present:
                        continue
                    true_value = {"area_trapezoid": p["area"], "apex_height": p["height"],
                                  "width_50_min": p["width"]}[truth_column]
                    value = f.get(column)
                    line["found_" + column] = value
                    line[name] = (value - true_value) / true_value if value is not None and true_value else None
                for column in ("start_min", "end_min"):
                    if column in self.present:
                        line["found_" + column] = f.get(column)
                self.lines.append(line)

    def _figures_of(self, runs):
        stems = {r["stem"] for r in runs}
        lines = [x for x in self.lines if x["run"] in stems]
        return _figures(lines, len(runs), sum(len(r["found"]) for r in runs), self.present)

    def figures(self):
        out = {"suite": _one_or_all(r["suite"] for r in self.runs)}
        versions = {r["suite"]: r["suite_version"] for r in self.runs if r["suite"]}
        out["suite_version"] = (next(iter(versions.values())) if len(set(versions.values())) == 1
                                else (versions or None))
        out.update(self._figures_of(self.runs))
        out["by_suite"] = {}
        for suite in sorted({r["suite"] for r in self.runs if r["suite"]}):
            out["by_suite"][suite] = self._figures_of([r for r in self.runs if r["suite"] == suite])
        out["by_level"] = []
        keys = []
        for r in self.runs:
            key = (r["suite"], r["series"], r["level"])
            if r["suite"] and key not in keys:
                keys.append(key)
        for suite, series, level in keys:
            group = [r for r in self.runs if (r["suite"], r["series"], r["level"]) == (suite, series, level)]
            out["by_level"].append({"suite": suite, "series": series, "level": level, **self._figures_of(group)})
        return out

    def worst_runs(self, count=5):
        """The runs with the most missed and false peaks, then the largest
        retention-time error against the tolerance; one run per scenario."""
        by_run = {}
        for x in self.lines:
            by_run.setdefault(x["run"], []).append(x)

        def badness(run):
            lines = by_run.get(run["stem"], [])
            wrong = sum(not x["matched"] for x in lines) + len(self.unmatched[run["stem"]])
            off = max((abs(x["retention_time_error_min"]) / x["tolerance_min"] for x in lines if x["matched"]),
                      default=0.0)
            return (wrong, off)
        worst, scenarios = [], set()
        for run in sorted(self.runs, key=badness, reverse=True):
            if run["scenario"] not in scenarios and len(worst) < count:
                scenarios.add(run["scenario"])
                worst.append(run)
        return worst


def score(truth, found, tolerance_min=None):
    """The figures of score.json for the peaks in the CSV file found against
    the folder truth (see the module's text)."""
    return Scoring(truth, found, tolerance_min).figures()


# ---------------------------------------------------------------- writing


def _csv_text(value):
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    return str(value)


def write_score(scoring, out):
    """score.json, score.csv and score.html (with its PNG plots) into out.
    Returns the figures."""
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    figures = scoring.figures()
    (out / "score.json").write_text(json.dumps(figures, indent=2) + "\n")
    columns = list(scoring.lines[0]) if scoring.lines else ["run"]
    with open(out / "score.csv", "w", newline="") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(columns)
        for line in scoring.lines:
            writer.writerow([_csv_text(line[c]) for c in columns])
    try:
        import matplotlib  # noqa: F401
    except ImportError as error:
        raise ScoreError("score.html needs matplotlib (Debian: apt-get install python3-matplotlib); "
                         f"score.json and score.csv are written in {out}") from error
    from .report import write_html
    write_html(scoring, figures, out)
    return figures


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="elutrix-score",
        description="Scores the peaks an integrator found (FOUND, a CSV file with run and retention_time_min, "
                    "optionally area, height, width_50_min, start_min, end_min) against the ground truth of a "
                    "folder elutrix-generate wrote (TRUTH). Writes score.json, score.csv and score.html.")
    parser.add_argument("truth", metavar="TRUTH", help="a folder elutrix-generate wrote (manifest.csv and peak tables)")
    parser.add_argument("found", metavar="FOUND", help="the found peaks, a CSV file")
    parser.add_argument("--out", default=".", help="the folder to write into (default: the current folder)")
    parser.add_argument("--tolerance-min", type=float, default=None,
                        help="the largest retention-time distance of a match, in minutes (default: half the true "
                             "peak's width at half height)")
    args = parser.parse_args(argv)
    try:
        scoring = Scoring(args.truth, args.found, args.tolerance_min)
        figures = write_score(scoring, args.out)
    except (ScoreError, OSError) as error:
        print(f"elutrix-score: {error}", file=sys.stderr)
        return 1
    recall = figures["recall"]
    precision = figures["precision"]
    print(f"{figures['runs']} runs, {figures['true_peaks']} true peaks, {figures['found_peaks']} found, "
          f"{figures['matched']} matched: recall {recall if recall is None else round(recall, 4)}, "
          f"precision {precision if precision is None else round(precision, 4)}; "
          f"report {os.path.join(args.out, 'score.html')}")
    return 0
