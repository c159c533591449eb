"""Synthetic chromatograms with their ground truth, for testing peak integrators.

A scenario is what elutrix-generate reads: a dict (or a JSON file) with
"rows", "settings", "name", "replicates" and "seed". A run is one press of
"Update" in the window holding those inputs, made by the same core as
elutrix-generate, so that both give the same numbers bit for bit.

    import elutrix
    run = elutrix.simulate({"seed": 1, "settings": {"noise_kind": "random",
                            "level_by_s_to_n": True, "s_to_n_percent": 100}})
    run.time_min, run.response        # numpy arrays
    run.peaks[0]["apex_height"]       # the ground truth
    run.write("run.cdf")              # .xy, .csv or an ANDI (.cdf) file
"""

import functools
import json
import operator
import os
import warnings

import numpy as np

from . import _elutrix

__all__ = ["simulate", "simulate_many", "simulate_batch", "Batch", "peak_shape", "score", "Result", "Error",
           "ScenarioError", "SimulationError", "ClippingWarning", "PEAK_MODELS", "__version__"]

__version__ = _elutrix.version


class Error(Exception):
    """Every error of this package."""


class ScenarioError(Error, ValueError):
    """The scenario cannot be read: an unknown key, a wrong value, a malformed
    file. The message names the key and where it stands."""


class ClippingWarning(UserWarning):
    """The window's exponentially modified Gaussian rounded part of a peak
    away (its sigma / |tau| is too large): the data holds less than the
    ground truth's area_model, and the peak's "clipped" is True. The
    "ExactExponentiallyModifiedGaussian" model has the whole peak."""


# The peak models a scenario's settings.peak_model may name.
PEAK_MODELS = tuple(_elutrix.peak_models())


def peak_shape(model, t, peak, sigma, tau=0.0):
    """The unit peak of a model at times t (seconds; a number or an array),
    centred on peak with standard deviation sigma and time constant tau
    (seconds), as a run evaluates it before multiplying by the relative
    response: "ExactExponentiallyModifiedGaussian" and
    "ExponentialGaussianHybrid" have area 1; the window's "Gaussian" and
    "ExponentiallyModifiedGaussian" keep their stored constants (the latter,
    with its clipping, has area about 2/sqrt(pi))."""
    if model not in PEAK_MODELS:
        raise ValueError(f"unknown peak model {model!r}; the models are {', '.join(PEAK_MODELS)}")
    values = _elutrix.shape(model, np.asarray(t, dtype=float), float(peak), float(sigma), float(tau))
    return values if np.ndim(t) else float(values)


class SimulationError(Error, RuntimeError):
    """A run stopped with a message, the one the window would show; it is
    the exception's text and its `message`. `replicate` is the run's number."""

    def __init__(self, message, name=None, replicate=1):
        super().__init__(message)
        self.message = message
        self.name = name
        self.replicate = replicate


# The most worker threads of simulate_many.
MAX_THREADS = 64

# The data file's forms, by the file name's ending.
_FORMATS = {".xy": "xy", ".csv": "csv", ".cdf": "andi", ".nc": "andi"}


def _peak(header, fields):
    """One row of the ground truth: numbers as floats, the row as an int,
    a figure the peak has none of as None."""
    record = {}
    for key, text in zip(header, fields):
        if key == "row":
            record[key] = int(text)
        elif key == "model":
            record[key] = text
        elif key == "clipped":
            record[key] = text == "true"
        else:
            record[key] = float(text) if text else None
    return record


def _from_record(key):
    """A Result's field of its record, read when first asked for."""
    return functools.cached_property(lambda self: self.record[key])


class Result:
    """One run: its trace, the inputs after its write-backs and its ground truth.

    time_min, response   numpy arrays, point by point, as the .xy holds them
                         (each to the last bit; the .xy shows 15 digits)
    peaks                the ground truth, one dict per component, under the
                         column names of elutrix-generate's NAME.peaks.csv
    rows, settings       the inputs after the run's write-backs (plate counts,
                         derived retention times, the S/N or noise value), in
                         the scenario form
    record               the run's record, as NAME.json holds it
    seed                 the seed the run used (drawn when the scenario has none)
    noise_free, baseline, components
                         with components=True: the signal without noise, the
                         baseline and each component's own term ({row: array});
                         otherwise None. With a detector's time constant they
                         are as the detector records them (filtered)
    wander               with components=True and a detector's wander: the
                         wander as recorded; otherwise None
    """

    def __init__(self, run):
        self._run = run
        self.name = run.name
        self.stem = run.stem
        self.replicate = run.replicate
        self.time_min = run.time_min
        self.response = run.response
        self.noise_free = run.noise_free
        self.baseline = run.baseline
        self.components = run.components
        self.wander = run.wander

    # The record and the peak table are read from the core's texts only
    # when first asked for: a batch of many runs pays for none it does not
    # read.
    @functools.cached_property
    def record(self):
        return json.loads(self._run.record_json)

    rows = _from_record("rows")
    settings = _from_record("settings")
    seed = _from_record("seed")
    point_count = _from_record("point_count")
    time_step_s = _from_record("time_step_s")
    noise = _from_record("noise")

    @functools.cached_property
    def peaks_csv(self):
        return self._run.peaks_csv

    @functools.cached_property
    def peaks(self):
        lines = self.peaks_csv.splitlines()
        header = lines[0].split(",")
        return [_peak(header, line.split(",")) for line in lines[1:]]

    def write(self, path, format=None, precision="float"):
        """Writes the data file at path, whole or not at all: "xy" (the window's
        .xy), "csv" (a header line and LF line ends) or "andi" (the
        chromatography interchange file, its peak table the ground truth).
        Without a format the file name's ending (.xy, .csv, .cdf or .nc) says
        which. An interchange file stores its numbers as floats, as the
        template types them and its readers expect; precision="double" keeps
        the run's doubles bit for bit. Returns the path."""
        path = os.fspath(path)
        system_path = _system_path(path)
        if format is None:
            format = _FORMATS.get(os.path.splitext(os.fsdecode(path))[1].lower())
            if format is None:
                raise ValueError(f"no format given, and the name {path!r} does not end in .xy, .csv, .cdf or .nc")
        self._run.write(system_path, format, precision)
        return path

    def __repr__(self):
        return f"<elutrix.Result {self.stem!r}: {self.point_count} points, {len(self.peaks)} peaks, seed {self.seed}>"


def _json_value(value):
    # numpy's numbers, and any other number, as plain ones.
    item = getattr(value, "item", None)
    if callable(item):
        return item()
    raise TypeError(f"a scenario holds JSON values, not {type(value).__name__}")


def _system_path(path):
    """A path as the system takes it (bytes); one holding a NUL character is
    refused, as open() refuses it."""
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError("embedded null byte")
    return encoded


def _scenario(scenario):
    """The one scenario of a dict or a scenario file, and its file."""
    if isinstance(scenario, (str, bytes, os.PathLike)):
        system_path = _system_path(scenario)
        source = os.fsdecode(scenario)
        entries, error = _elutrix.read_scenario_file(system_path)
        where = source
    elif isinstance(scenario, dict):
        try:
            text = json.dumps(scenario, allow_nan=False, default=_json_value)
        except ValueError as e:
            raise ScenarioError(f"the scenario holds a number that JSON has not: {e}") from None
        except TypeError as e:
            raise ScenarioError(str(e)) from None
        except RecursionError:
            raise ScenarioError("the scenario is too deeply nested") from None
        entries, error = _elutrix.read_scenarios(text, "scenario")
        source, where = "", "the scenario"
    else:
        raise TypeError(f"a scenario is a dict or the path of a scenario file, not {type(scenario).__name__}")
    if error:
        raise ScenarioError(f"{where}: {error}")
    if len(entries) != 1:
        raise ScenarioError(f"{where} holds {len(entries)} scenarios; give one at a time")
    name, parsed, error = entries[0]
    if parsed is None:
        raise ScenarioError(f"{where}: {error}")
    return parsed, source


def _whole(value, what, lowest, highest, why=""):
    """A whole number (numpy's too, but no bool) from lowest to highest."""
    try:
        if isinstance(value, bool):
            raise TypeError
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be a whole number, not {value!r}") from None
    if not lowest <= number <= highest:
        raise ValueError(f"{what} must be a whole number from {lowest} to {highest}{why}, not {number}")
    return number


def _results(runs):
    for run in runs:
        if not run.ok:
            raise SimulationError(run.message, run.name, run.replicate)
    # One warning per clipped row, however many replicates share it.
    seen = set()
    for run in runs:
        for text in run.warnings:
            if text not in seen:
                seen.add(text)
                warnings.warn(text, ClippingWarning, stacklevel=3)
    return [Result(run) for run in runs]


def simulate(scenario, components=False):
    """One run of the scenario (a dict, or the path of a scenario file that
    holds one scenario). A seeded scenario gives the same run every time;
    without a seed one is drawn, and the result's seed makes it again.

    Raises ScenarioError when the scenario cannot be read, and
    SimulationError, with the window's message, when the run stops."""
    parsed, source = _scenario(scenario)
    return _results(_elutrix.run(parsed, 1, bool(components), 1, os.fsencode(source)))[0]


def simulate_many(scenario, replicates=None, components=False, threads=0):
    """Replicates 1 .. replicates of the scenario (its own "replicates" when
    not given), spread over threads workers (0: one per core) while the
    interpreter goes on without them. Replicate k of a seeded scenario
    reseeds with seed + k - 1, as elutrix-generate does; unseeded ones draw
    a fresh seed each. Returns a list of Result.

    Raises ScenarioError when the scenario cannot be read or its seeds would
    repeat a noise sequence, and SimulationError for the first replicate
    whose run stops."""
    parsed, source = _scenario(scenario)
    if replicates is None:
        replicates = parsed.replicates or 1
    replicates = _whole(replicates, "replicates", 1, _elutrix.max_replicates)
    threads = _whole(threads, "threads", 0, MAX_THREADS, " (0: one per core)")
    try:
        runs = _elutrix.run(parsed, replicates, bool(components), threads, os.fsencode(source))
    except ValueError as e:
        raise ScenarioError(str(e)) from None
    return _results(runs)


def simulate_batch(scenario, replicates, components=False, threads=0, first=1):
    """Replicates first .. first + replicates - 1 of the scenario (their
    seeds those of elutrix-generate's replicates of these numbers, so that
    blocks of a batch made apart join into the whole) as one Batch: the shared
    time grid and every replicate's response stacked into a 2-D array that
    the core fills in place, the seeds, and the ground truth as a
    structured array (see Batch). Each replicate has the bits
    elutrix-generate gives it. Ctrl-C stops it within a second.

    Raises ScenarioError as simulate_many does, and SimulationError naming
    the first replicate whose run stops. A replicate's seed follows from
    its number, so that batches of consecutive replicates, made apart, hold
    the bits of one batch of them all."""
    parsed, source = _scenario(scenario)
    replicates = _whole(replicates, "replicates", 1, _elutrix.max_replicates)
    threads = _whole(threads, "threads", 0, 4096)
    first = _whole(first, "first", 1, _elutrix.max_replicates - replicates + 1)
    try:
        return _batch.simulate_batch(parsed, source, replicates, components, threads, first, SimulationError)
    except ValueError as e:
        if isinstance(e, Error):
            raise
        raise ScenarioError(str(e)) from None


def score(truth, found, tolerance_min=None):
    """The figures elutrix-score writes into score.json, as a dict: the peaks
    of the CSV file found scored against the folder truth that
    elutrix-generate wrote (see elutrix.scoring)."""
    from .scoring import score as scored
    return scored(truth, found, tolerance_min)


from . import _batch  # noqa: E402
from ._batch import Batch  # noqa: E402,F401
