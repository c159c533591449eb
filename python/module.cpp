// elutrix._elutrix: the core's runs for Python. Scenarios are read by the
// generator's own reader, runs are the generator's (run_once, over the same
// workers), and files are written by the generator's writers, so that a run
// made here is the one elutrix-generate makes, bit for bit. The package's
// __init__.py turns what this module returns into the public interface.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/version.h"
#include "generate/batch.h"
#include "generate/data_file.h"
#include "generate/outputs.h"
#include "generate/replicates.h"
#include "generate/run.h"
#include "generate/scenario.h"
#include "python/batch.h"
#include "models/emg.h"
#include "models/gaussian.h"
#include "models/peak_shapes.h"

namespace py = pybind11;

namespace elutrix::generate {
namespace {

// One run as the workers leave it, before it meets Python.
struct RunData {
    RunOutput out;
    int replicate = 1;
    int replicates = 1;
    std::string stem;
    std::vector<TracePoint> points;  // export points 1 .. point_count
    std::vector<double> time_min, response;  // as the data file writes them
    // With the components: the noise-free signal, the baseline and each
    // component's own term, point by point.
    bool with_components = false;
    std::vector<double> noise_free;
    std::vector<double> baseline;
    std::vector<double> wander;  // with a detector's wander
    std::vector<int> component_rows;  // 1-based, as the user numbers them
    std::vector<std::vector<double>> components;
};

// A finished run handed to Python: its arrays, and what writing its files
// needs.
struct Run {
    RunData data;
    std::string name;
    std::string source;
    std::optional<SuiteLabel> suite;  // the scenario's, for its record
    py::object time_min, response, noise_free, baseline, components, wander;

    bool ok() const { return data.out.ok; }
};

// A text of the core as Python's str: names made from file names may hold
// bytes that are not UTF-8, which become surrogates as in os.fsdecode.
py::str text(const std::string& value) {
    PyObject* decoded = PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "surrogateescape");
    if (!decoded) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

// An array that owns the vector's memory.
py::array_t<double> to_array(std::vector<double>&& values) {
    auto owned = std::make_unique<std::vector<double>>(std::move(values));
    const std::size_t size = owned->size();
    double* const first = owned->data();
    py::capsule release(owned.get(), [](void* p) { delete static_cast<std::vector<double>*>(p); });
    owned.release();
    return py::array_t<double>(static_cast<py::ssize_t>(size), first, release);
}

// Makes replicate k of the scenario with the seed text given from what its
// replicates share, and keeps what Python will see.
void perform(const ScenarioReplicates& shared, const Scenario& scenario, int k, int replicates,
             const std::string& seed, bool with_components, Trace& trace, RandomGenerator& generator, RunData& data) {
    data.replicate = k;
    data.replicates = replicates;
    data.stem = run_stem(scenario.name, k, replicates);
    if (shared.shared()) {
        trace.fit(shared.point_count());
        double* const response = trace.responses.data() + 1;
        data.out = shared.output(seed, shared.make(seed, response, generator));
        if (data.out.ok) shared.fill(response, trace);
    } else {
        data.out = run_replicate(scenario, seed, trace, generator);
    }
    if (!data.out.ok) return;
    const std::int32_t n = std::max(data.out.point_count, 0);
    data.points.assign(trace.export_points.begin() + 1, trace.export_points.begin() + 1 + n);
    // As the data file writes them: the time in minutes, the response. Made
    // here, on the worker, so that Python only takes them over.
    data.time_min.resize(data.points.size());
    data.response.resize(data.points.size());
    for (std::size_t i = 0; i < data.points.size(); ++i) {
        data.time_min[i] = data.points[i].time / 60.0;
        data.response[i] = data.points[i].response;
    }
    data.with_components = with_components;
    if (!with_components) return;
    RunComponents parts(data.out);
    const std::size_t terms = parts.terms().size();
    for (const RowTerm& t : parts.terms()) data.component_rows.push_back(t.row + 1);
    data.noise_free.resize(static_cast<std::size_t>(n));
    data.baseline.resize(static_cast<std::size_t>(n));
    data.components.assign(terms, std::vector<double>(static_cast<std::size_t>(n)));
    std::vector<double> values(terms);
    if (parts.has_wander()) data.wander.resize(static_cast<std::size_t>(n));
    for (std::int32_t i = 1; i <= n; ++i) {
        const auto at = static_cast<std::size_t>(i - 1);
        double wander = 0.0;
        data.noise_free[at] = parts.next(trace, i, values.data(), data.baseline[at], wander);
        if (parts.has_wander()) data.wander[at] = wander;
        for (std::size_t j = 0; j < terms; ++j) data.components[j][at] = values[j];
    }
}

// Replicates 1 .. replicates over the workers, without the interpreter's
// lock: replicate 1 in full, and every replicate made from what it shares.
std::vector<RunData> run_replicates(const Scenario& scenario, int replicates, bool with_components,
                                    unsigned threads) {
    if (replicates < 1 || replicates > max_replicates) {
        throw py::value_error("replicates must be a whole number from 1 to " + std::to_string(max_replicates));
    }
    if (const std::string problem = repeated_seed_problem(scenario.settings, replicates); !problem.empty()) {
        throw py::value_error(problem);
    }
    std::set<std::uint64_t> drawn;
    const std::vector<std::string> seeds = replicate_seeds(scenario.settings, replicates, drawn);
    std::vector<RunData> runs(static_cast<std::size_t>(replicates));
    {
        const py::gil_scoped_release unlocked;
        std::unique_ptr<ScenarioReplicates> shared;
        for_each_run(
            1, 1,
            [&](std::size_t, Trace& trace, RandomGenerator& generator) {
                shared = std::make_unique<ScenarioReplicates>(scenario, seeds[0], trace, generator);
            },
            [&](std::size_t, const std::string& what) {
                runs[0].out.message = "The run stopped: " + what;
            });
        if (!shared) return runs;
        for_each_run(
            runs.size(), threads,
            [&](std::size_t i, Trace& trace, RandomGenerator& generator) {
                const int k = static_cast<int>(i) + 1;
                perform(*shared, scenario, k, replicates, seeds[i], with_components, trace, generator, runs[i]);
            },
            [&](std::size_t i, const std::string& what) {
                runs[i].out = RunOutput{};
                runs[i].out.message = "The run stopped: " + what;
            });
    }
    return runs;
}

Run to_python(RunData&& data, const Scenario& scenario, const std::string& source) {
    Run run;
    run.name = scenario.name;
    run.source = source;
    run.suite = scenario.suite;
    run.data = std::move(data);
    RunData& d = run.data;
    run.time_min = run.response = run.noise_free = run.baseline = run.components = run.wander = py::none();
    if (!d.out.ok) return run;
    run.time_min = to_array(std::move(d.time_min));
    run.response = to_array(std::move(d.response));
    if (d.with_components) {
        run.noise_free = to_array(std::move(d.noise_free));
        run.baseline = to_array(std::move(d.baseline));
        if (!d.wander.empty()) run.wander = to_array(std::move(d.wander));
        py::dict parts;
        for (std::size_t j = 0; j < d.components.size(); ++j) {
            parts[py::int_(d.component_rows[j])] = to_array(std::move(d.components[j]));
        }
        run.components = parts;
    }
    return run;
}

// Writes the run's data file in the named format (an interchange file's
// numbers in the named precision), on a worker's trace.
void write_run(const Run& run, const std::string& path, const std::string& format_name,
               const std::string& precision_name) {
    const std::optional<DataFormat> format = data_format_named(format_name);
    if (!format) throw py::value_error("the format must be \"xy\", \"csv\" or \"andi\", not \"" + format_name + "\"");
    const std::optional<elutrix::AndiPrecision> precision = andi_precision_named(precision_name);
    if (!precision) {
        throw py::value_error("the precision must be \"float\" or \"double\", not \"" + precision_name + "\"");
    }
    if (!run.ok()) throw py::value_error("a run that stopped has no data file");
    bool written = false;
    std::string why;
    {
        const py::gil_scoped_release unlocked;
        const RunData& d = run.data;
        for_each_run(
            1, 1,
            [&](std::size_t, Trace& trace, RandomGenerator&) {
                trace.point_count = d.out.point_count;
                for (std::size_t i = 0; i < d.points.size(); ++i) {
                    trace.export_points[i + 1] = d.points[i];
                    trace.times[i + 1] = d.points[i].time;
                    trace.responses[i + 1] = d.points[i].response;
                }
                const RunLabel label{run.name, d.stem, d.replicate, run.source, stamp_moment()};
                written = write_data_file(path, *format, d.out, trace, label, *precision, &why);
            },
            [&](std::size_t, const std::string& what) { why = what; });
    }
    if (!written) {
        const std::string message = "the file " + path + " could not be written" + (why.empty() ? "" : ": " + why);
        PyErr_SetObject(PyExc_OSError, text(message).ptr());
        throw py::error_already_set();
    }
}

// A scenario file's or text's scenarios: (name, scenario or None, message)
// each, and the message that none can be read, empty when they can.
py::tuple entries_of(const ScenarioFile& file) {
    py::list entries;
    for (const ScenarioEntry& e : file.entries) {
        entries.append(py::make_tuple(text(e.name), e.scenario ? py::cast(*e.scenario) : py::none(), text(e.error)));
    }
    return py::make_tuple(entries, text(file.error));
}

}  // namespace
}  // namespace elutrix::generate

PYBIND11_MODULE(_elutrix, m) {
    using namespace elutrix::generate;
    m.doc() = "The Elutrix core: scenario runs, their ground truth and their files.";
    m.attr("version") = elutrix::program_version;
    m.attr("max_replicates") = max_replicates;

    py::class_<Scenario>(m, "Scenario")
        .def_property_readonly("name", [](const Scenario& s) { return text(s.name); })
        .def_readonly("replicates", &Scenario::replicates);

    py::class_<Run>(m, "Run")
        .def_property_readonly("ok", &Run::ok)
        .def_property_readonly("message", [](const Run& r) { return text(r.data.out.message); })
        .def_property_readonly("name", [](const Run& r) { return text(r.name); })
        .def_property_readonly("stem", [](const Run& r) { return text(r.data.stem); })
        .def_property_readonly("replicate", [](const Run& r) { return r.data.replicate; })
        .def_readonly("time_min", &Run::time_min)
        .def_readonly("response", &Run::response)
        .def_readonly("noise_free", &Run::noise_free)
        .def_readonly("baseline", &Run::baseline)
        .def_readonly("components", &Run::components)
        .def_readonly("wander", &Run::wander)
        .def_property_readonly("record_json",
                               [](const Run& r) {
                                   return record_json(r.data.out, r.name, r.data.replicate, r.data.replicates,
                                                      r.suite ? &*r.suite : nullptr);
                               })
        .def_property_readonly("peaks_csv", [](const Run& r) { return peaks_csv(r.data.out.peaks); })
        .def_property_readonly("warnings",
                               [](const Run& r) {
                                   std::vector<std::string> out;
                                   for (const PeakTruth& p : r.data.out.peaks)
                                       if (p.clipped) out.push_back(clipping_warning(r.name, p));
                                   return out;
                               })
        .def("write", &write_run, py::arg("path"), py::arg("format"), py::arg("precision"));

    m.def(
        "shape",
        [](const std::string& model, const py::array_t<double, py::array::c_style | py::array::forcecast>& x,
           double peak, double sigma, double tau) {
            double (*f)(double, double, double, double) = nullptr;
            if (model == "ExponentiallyModifiedGaussianUnclipped") f = elutrix::shapes::emg_unclipped;
            for (elutrix::PeakModel m : peak_models()) {
                if (model != name_of(m)) continue;
                switch (m) {
                    case elutrix::PeakModel::Gaussian:
                        f = [](double t, double p, double s, double) { return elutrix::gaussian(t, p, s); };
                        break;
                    case elutrix::PeakModel::ExponentiallyModifiedGaussian: f = elutrix::emg; break;
                    case elutrix::PeakModel::ExactExponentiallyModifiedGaussian: f = elutrix::shapes::exact_emg; break;
                    case elutrix::PeakModel::ExponentialGaussianHybrid: f = elutrix::shapes::hybrid; break;
                }
            }
            if (!f) throw py::value_error("unknown peak model \"" + model + "\"");
            py::array_t<double> out(x.request().shape);
            const double* in = x.data();
            double* o = out.mutable_data();
            if (model == "ExponentialGaussianHybrid") {
                // Its area is found once, not at every point.
                const double area = elutrix::shapes::hybrid_area(sigma, tau);
                for (py::ssize_t i = 0; i < x.size(); ++i) o[i] = elutrix::shapes::hybrid(in[i], peak, sigma, tau, area);
            } else {
                for (py::ssize_t i = 0; i < x.size(); ++i) o[i] = f(in[i], peak, sigma, tau);
            }
            return out;
        },
        py::arg("model"), py::arg("x"), py::arg("peak"), py::arg("sigma"), py::arg("tau"));
    m.def("hybrid_area", &elutrix::shapes::hybrid_area, py::arg("sigma"), py::arg("tau"));
    m.def("peak_models", [] {
        std::vector<std::string> names;
        for (elutrix::PeakModel m : peak_models()) names.emplace_back(name_of(m));
        return names;
    });
    add_batch(m);
    m.def("read_scenarios",
          [](const std::string& text, const std::string& stem) { return entries_of(read_scenarios(text, stem)); },
          py::arg("text"), py::arg("stem"));
    m.def("read_scenario_file", [](const std::string& path) { return entries_of(read_scenario_file(path)); },
          py::arg("path"));
    m.def(
        "run",
        [](const Scenario& scenario, int replicates, bool components, unsigned threads, const std::string& source) {
            std::vector<RunData> runs = run_replicates(scenario, replicates, components, threads);
            std::vector<Run> out;
            for (RunData& d : runs) out.push_back(to_python(std::move(d), scenario, source));
            return out;
        },
        py::arg("scenario"), py::arg("replicates"), py::arg("components"), py::arg("threads"), py::arg("source"));
}
