"""Many replicates of one scenario as stacked numpy arrays."""

import json
import os
import warnings

import numpy as np

from . import _elutrix


class Batch:
    """Replicates first .. first + R - 1 of one scenario, stacked.

    time_min        the grid every replicate shares (1-D)
    response        replicates x points, C-contiguous float64, each row the
                    bits elutrix-generate's run of that replicate has
    seeds           the seed of each replicate (1-D)
    first           the number of the first replicate
    peaks           the ground truth of every replicate: a structured array
                    with replicate (its number) and row (1-based), then the columns of
                    NAME.peaks.csv (NaN where the table is empty)
    noise_free, baseline, wander
                    with components=True: stacked like response (wander only
                    with a detector's wander); otherwise None
    components      with components=True: {row: replicates x points}
    records         each replicate's record as a dict, made when first read
    first           the number of the first replicate
    write(path)     the batch as one netCDF-4 dataset file
    """

    def __init__(self, core):
        self._core = core
        self.name = core.name
        self.time_min = core.time_min
        self.response = core.response
        self.seeds = core.seed_values
        self.first = core.first
        self.noise_free = core.noise_free
        self.baseline = core.baseline
        self.wander = core.wander
        self.components = dict(zip(core.component_rows, core.components)) if core.noise_free is not None else None
        self._peaks = None
        self._records = None

    @property
    def peaks(self):
        if self._peaks is None:
            columns = self._core.peaks()
            dtype = [(name, "U40" if name == "model" else np.asarray(values).dtype) for name, values in columns.items()]
            table = np.empty(len(columns["replicate"]), dtype=dtype)
            for name, values in columns.items():
                table[name] = values
            self._peaks = table
        return self._peaks

    def peaks_frame(self):
        """The ground truth as a pandas DataFrame (pandas must be installed)."""
        import pandas

        return pandas.DataFrame(self.peaks)

    @property
    def records(self):
        if self._records is None:
            self._records = [json.loads(self._core.record(k)) for k in range(1, len(self.seeds) + 1)]
        return self._records

    def write(self, path, compress=False):
        """Writes the batch as one netCDF-4 file, the one elutrix-generate
        --format dataset writes for it: time_min (point), response (replicate
        x point), seed (replicate), every column of the peak table as a
        replicate x peak variable, and with components noise_free, baseline,
        wander and components. compress: True (zlib level 1) or a level from
        1 to 9, with byte shuffling; noisy responses shrink little. The file
        takes the path only once complete. Returns the path."""
        if isinstance(compress, bool):
            level = 1 if compress else 0
        elif isinstance(compress, int) and 0 <= compress <= 9:
            level = compress
        else:
            raise ValueError(f"compress is True, False or a zlib level from 0 to 9, not {compress!r}")
        from . import _system_path

        path = os.fspath(path)
        self._core.write(_system_path(path), level)
        return path

    def __len__(self):
        return len(self.seeds)

    def __repr__(self):
        return f"<elutrix.Batch {self.name!r}: {len(self)} replicates x {len(self.time_min)} points>"


def simulate_batch(parsed, source, replicates, components, threads, first, simulation_error):
    core = _elutrix.run_batch(parsed, source, replicates, bool(components), threads, first)
    if core.failed_replicate:
        raise simulation_error(core.message, core.name, core.failed_replicate)
    for text in core.warnings:
        warnings.warn(text, _clipping_warning(), stacklevel=3)
    return Batch(core)


def _clipping_warning():
    from . import ClippingWarning

    return ClippingWarning
