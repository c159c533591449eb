// elutrix._elutrix.run_batch: the replicates of one scenario stacked into
// arrays that the workers fill in place, with no Python object per run and
// no text between the core and Python. The package's Batch wraps it.
#include "python/batch.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "generate/batch.h"
#include "generate/dataset_file.h"
#include "generate/outputs.h"
#include "generate/replicates.h"
#include "generate/peak_columns.h"
#include "generate/run.h"

namespace py = pybind11;

namespace elutrix::generate {
namespace {

// A 2-D C-contiguous array of rows x columns doubles.
py::array_t<double> matrix(std::size_t rows, std::size_t columns) {
    return py::array_t<double>({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(columns)});
}

}  // namespace

BatchRun::BatchRun(Scenario s, std::string src) : scenario(std::move(s)), source(std::move(src)) {}

std::string BatchRun::record(int k) const {
    const auto r = static_cast<std::size_t>(k - 1);
    ReplicateNoise m = made.at(r);
    if (!m.tallied) {
        RandomGenerator generator;
        m.noise = shared->noise_of(seeds[r], generator);
        m.tallied = true;
    }
    return record_json(shared->output(seeds[r], m), scenario.name, first + k - 1, first + replicates - 1);
}

std::shared_ptr<BatchRun> run_batch_arrays(const Scenario& scenario, const std::string& source, int replicates,
                                           bool components, unsigned threads, int first) {
    if (replicates < 1 || replicates > max_replicates) {
        throw py::value_error("replicates must be a whole number from 1 to " + std::to_string(max_replicates));
    }
    if (first < 1 || first > max_replicates - replicates + 1) {
        throw py::value_error("first must be a whole number from 1 to " + std::to_string(max_replicates) +
                              " - replicates + 1");
    }
    auto batch = std::make_shared<BatchRun>(scenario, source);
    batch->first = first;
    batch->replicates = replicates;
    const auto R = static_cast<std::size_t>(replicates);

    // The seeds, and the first replicate run in full: what every replicate
    // shares, its grid among it, which sizes the arrays. Nothing here needs
    // the interpreter.
    std::string problem;
    {
        const py::gil_scoped_release unlocked;
        problem = repeated_seed_problem(scenario.settings, first + replicates - 1);
        if (problem.empty()) {
            std::set<std::uint64_t> drawn;
            batch->seeds = replicate_seeds(scenario.settings, replicates, drawn, first);
            batch->made.resize(R);
        }
    }
    if (!problem.empty()) throw py::value_error(problem);
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    {
        const py::gil_scoped_release unlocked;
        Trace trace(0);
        RandomGenerator generator;
        batch->shared = std::make_unique<ScenarioReplicates>(scenario, batch->seeds[0], trace, generator);
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    const ScenarioReplicates& shared = *batch->shared;
    if (!shared.shared()) {
        batch->failed_replicate = first;
        batch->message = shared.first().message;
        return batch;
    }
    const auto n = static_cast<std::size_t>(std::max(shared.point_count(), 0));
    batch->time_min = py::array_t<double>(static_cast<py::ssize_t>(n));
    double* const time_min = batch->time_min.mutable_data();
    for (std::size_t i = 0; i < n; ++i) time_min[i] = shared.times()[i] / 60.0;
    batch->response = matrix(R, n);
    double* const response = batch->response.mutable_data();
    // The components need the run's grid, as its trace holds it.
    Trace grid(static_cast<std::int32_t>(n));
    std::copy(shared.times().begin(), shared.times().end(), grid.times.begin() + 1);
    const RunComponents first_parts(shared.first());
    const std::size_t terms = first_parts.terms().size();
    double* noise_free = nullptr;
    double* baseline = nullptr;
    double* wander = nullptr;
    std::vector<double*> parts;
    batch->with_components = components;
    if (components) {
        batch->noise_free = matrix(R, n);
        batch->baseline = matrix(R, n);
        noise_free = batch->noise_free.mutable_data();
        baseline = batch->baseline.mutable_data();
        if (first_parts.has_wander()) {
            batch->wander = matrix(R, n);
            wander = batch->wander.mutable_data();
        }
        for (const RowTerm& t : first_parts.terms()) {
            batch->component_rows.push_back(t.row + 1);
            batch->components.push_back(matrix(R, n));
            parts.push_back(batch->components.back().mutable_data());
        }
    }

    // Every replicate over the workers, each into its own rows. The calling
    // thread checks for Ctrl-C ten times a second; the workers then start
    // no more replicates.
    std::atomic<bool> cancelled{false};
    const auto fill_components = [&](std::size_t r, const RunOutput& out) {
        RunComponents run_parts(out);
        std::vector<double> values(terms);
        for (std::size_t i = 1; i <= n; ++i) {
            double base = 0.0;
            double w = 0.0;
            const double sum = run_parts.next(grid, static_cast<std::int32_t>(i), values.data(), base, w);
            noise_free[r * n + i - 1] = sum;
            baseline[r * n + i - 1] = base;
            if (wander) wander[r * n + i - 1] = w;
            for (std::size_t j = 0; j < terms; ++j) parts[j][r * n + i - 1] = values[j];
        }
    };
    {
        const py::gil_scoped_release unlocked;
        // Replicates go to the workers in blocks, whose noise figures are
        // summed up side by side.
        constexpr std::size_t block = ScenarioReplicates::block_replicates;
        for_each_run(
            (R + block - 1) / block, threads,
            [&](std::size_t b, Trace&, RandomGenerator& generator) {
                if (cancelled) return;
                const std::size_t r = b * block;
                const int count = static_cast<int>(std::min(block, R - r));
                double* rows[block] = {};
                for (int j = 0; j < count; ++j) rows[j] = response + (r + j) * n;
                // The noise figures only when a record is read.
                shared.make_block(&batch->seeds[r], rows, &batch->made[r], count, generator, false);
                for (int j = 0; components && j < count; ++j) {
                    if (batch->made[r + j].ok) fill_components(r + j, shared.output(batch->seeds[r + j], batch->made[r + j]));
                }
            },
            [&](std::size_t b, const std::string& what) {
                for (std::size_t r = b * block; r < std::min(R, (b + 1) * block); ++r) {
                    batch->made[r] = ReplicateNoise{};
                    batch->made[r].ok = false;
                    batch->made[r].message = "The run stopped: " + what;
                }
            },
            [&](std::size_t, std::size_t) {
                const py::gil_scoped_acquire locked;
                if (!cancelled && PyErr_CheckSignals() != 0) cancelled = true;
            });
    }
    if (cancelled) throw py::error_already_set();
    for (std::size_t r = 0; r < R; ++r) {
        if (!batch->made[r].ok) {
            batch->failed_replicate = first + static_cast<int>(r);
            batch->message = batch->made[r].message;
            return batch;
        }
    }
    return batch;
}

py::dict peak_table(const BatchRun& batch) {
    // Every replicate has the peaks of the one run in full.
    const std::vector<PeakTruth>& peaks = batch.shared->first().peaks;
    const std::size_t count = peaks.size() * static_cast<std::size_t>(batch.replicates);
    const auto size = static_cast<py::ssize_t>(count);
    py::array_t<int> replicate(size);
    py::dict out;
    out["replicate"] = replicate;
    // Every column of NAME.peaks.csv in its order (NaN where the table is empty).
    for (const PeakColumn& column : peak_columns()) {
        std::size_t at = 0;
        const auto each = [&](auto put) {
            for (int r = 0; r < batch.replicates; ++r)
                for (const PeakTruth& p : peaks) {
                    replicate.mutable_data()[at] = batch.first + static_cast<int>(r);
                    put(at++, p);
                }
        };
        if (column.kind == PeakColumnKind::text) {
            py::list texts;
            each([&](std::size_t, const PeakTruth& p) { texts.append(py::str(std::string(peak_text(column, p)))); });
            out[column.name] = texts;
        } else if (column.kind == PeakColumnKind::row) {
            py::array_t<int> values(size);
            each([&](std::size_t i, const PeakTruth& p) { values.mutable_data()[i] = static_cast<int>(peak_value(column, p)); });
            out[column.name] = values;
        } else if (column.kind == PeakColumnKind::flag) {
            py::array_t<bool> values(size);
            each([&](std::size_t i, const PeakTruth& p) { values.mutable_data()[i] = peak_value(column, p) != 0.0; });
            out[column.name] = values;
        } else {
            py::array_t<double> values(size);
            each([&](std::size_t i, const PeakTruth& p) { values.mutable_data()[i] = peak_value(column, p); });
            out[column.name] = values;
        }
    }
    return out;
}

namespace {

py::object optional_array(const BatchRun& b, const py::array_t<double>& a) {
    if (!b.with_components || a.ndim() != 2) return py::none();
    return a;
}

}  // namespace

// The batch as a dataset file (generate/dataset_file.h), written in one block.
void write_dataset(const BatchRun& b, const std::string& path, int compress) {
    if (b.failed_replicate != 0 || b.response.ndim() != 2) throw py::value_error("a batch that stopped has no dataset file");
    DatasetLayout layout;
    layout.replicates = b.made.size();
    layout.points = static_cast<std::size_t>(b.time_min.size());
    layout.peaks = b.shared->first().peaks.size();
    layout.first_peaks = b.shared->first().peaks;
    layout.first_replicate = b.first;
    layout.components = b.with_components;
    layout.wander = b.with_components && b.wander.ndim() == 2;
    layout.component_rows = b.component_rows;
    layout.compress = compress;
    DatasetBlock block;
    block.count = layout.replicates;
    for (const ReplicateNoise& made : b.made) block.seeds.push_back(made.seed);
    block.peaks = &b.shared->first().peaks;
    block.response = b.response.data();
    if (layout.components) {
        block.noise_free = b.noise_free.data();
        block.baseline = b.baseline.data();
        if (layout.wander) block.wander = b.wander.data();
        for (const py::array_t<double>& part : b.components) block.components.push_back(part.data());
    }
    DatasetFile file;
    bool written = false;
    {
        const py::gil_scoped_release unlocked;
        written = file.create(path, layout, b.time_min.data(), b.scenario, b.source) && file.write(block) && file.finish();
    }
    if (!written) {
        const std::string message = "the file " + path + " could not be written: " + file.error();
        PyErr_SetObject(PyExc_OSError, py::str(readable_text(message, 4000)).ptr());
        throw py::error_already_set();
    }
}

void add_batch(py::module_& m) {
    py::class_<BatchRun, std::shared_ptr<BatchRun>>(m, "BatchRun")
        .def_property_readonly("name", [](const BatchRun& b) { return b.scenario.name; })
        .def_readonly("failed_replicate", &BatchRun::failed_replicate)
        .def_readonly("message", &BatchRun::message)
        .def_readonly("first", &BatchRun::first)
        .def_readonly("seeds", &BatchRun::seeds)
        .def_property_readonly("seed_values",
                               [](const BatchRun& b) {
                                   py::array_t<double> values(static_cast<py::ssize_t>(b.made.size()));
                                   for (std::size_t r = 0; r < b.made.size(); ++r) values.mutable_data()[r] = b.made[r].seed;
                                   return values;
                               })
        .def_readonly("time_min", &BatchRun::time_min)
        .def_readonly("response", &BatchRun::response)
        .def_property_readonly("noise_free", [](const BatchRun& b) { return optional_array(b, b.noise_free); })
        .def_property_readonly("baseline", [](const BatchRun& b) { return optional_array(b, b.baseline); })
        .def_property_readonly("wander", [](const BatchRun& b) { return optional_array(b, b.wander); })
        .def_readonly("components", &BatchRun::components)
        .def_readonly("component_rows", &BatchRun::component_rows)
        .def("record", &BatchRun::record, py::arg("replicate"))
        .def("peaks", &peak_table)
        .def("write", &write_dataset, py::arg("path"), py::arg("compress"))
        .def_property_readonly("warnings", [](const BatchRun& b) {
            std::vector<std::string> out;
            for (const PeakTruth& p : b.shared->first().peaks)
                if (p.clipped) out.push_back(clipping_warning(b.scenario.name, p));
            return out;
        });
    m.def("run_batch", &run_batch_arrays, py::arg("scenario"), py::arg("source"), py::arg("replicates"),
          py::arg("components"), py::arg("threads"), py::arg("first") = 1);
}

}  // namespace elutrix::generate
