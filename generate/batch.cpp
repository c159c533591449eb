#include "generate/batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "engine/file_output.h"
#include "generate/outputs.h"
#include "generate/run.h"

namespace elutrix::generate {

namespace {

namespace fs = std::filesystem;

// A scenario of the batch and what became of it.
struct Job {
    std::string source;
    std::string name;  // empty for a file that could not be read
    std::optional<Scenario> scenario;  // none when it could not be read
    int replicates = 0;
    std::vector<std::string> seeds;  // seed text of each replicate

    std::mutex mutex;
    std::atomic<bool> failed{false};
    std::string message;  // why it wrote no file
    int failed_replicate = 0;
    std::vector<std::vector<std::string>> written;  // per replicate, the files written
    std::map<int, std::string> clipping;             // warning per clipped row

    void fail(const std::string& why, int replicate = 0) {
        const std::lock_guard lock(mutex);
        if (!failed || (replicate != 0 && replicate < failed_replicate)) {
            message = why;
            failed_replicate = replicate;
        }
        failed = true;
    }
};

struct Run {
    Job* job;
    int replicate;
};

// A file's content that is a text already made.
ContentProducer text_content(const std::string& text) {
    return [&text](const ByteSink& sink) { return sink(text.data(), text.size()); };
}

bool write_text(const std::string& path, const std::string& text) { return replace_file(path, text_content(text)); }

// One run and its files. A run that stops, or a file that cannot be
// written, fails the run's scenario.
void perform(const Run& run, const BatchOptions& options, std::chrono::system_clock::time_point made, Trace& trace,
             RandomGenerator& generator) {
    Job& job = *run.job;
    const int k = run.replicate;
    const RunOutput out = run_replicate(*job.scenario, job.seeds[k - 1], trace, generator);
    if (!out.ok) {
        job.fail(out.message, k);
        return;
    }
    for (const PeakTruth& peak : out.peaks) {
        if (!peak.clipped) continue;
        const std::lock_guard lock(job.mutex);
        job.clipping.emplace(peak.row, clipping_warning(job.name, peak));
    }
    const std::string stem = run_stem(job.name, k, job.replicates);
    const fs::path dir(options.out_dir);
    const auto written = [&](const std::string& path) {
        const std::lock_guard lock(job.mutex);
        job.written[k - 1].push_back(path);
    };
    const std::string data_path = (dir / (stem + extension_of(options.format))).string();
    std::string why;
    if (!write_data_file(data_path, options.format, out, trace, {job.name, stem, k, job.source, made},
                         options.andi_precision, &why)) {
        job.fail("the file " + data_path + " could not be written" + (why.empty() ? "" : ": " + why), k);
        return;
    }
    written(data_path);

    std::vector<std::pair<std::string, ContentProducer>> files;
    const std::string peaks = peaks_csv(out.peaks);
    files.push_back({stem + ".peaks.csv", text_content(peaks)});
    const std::string record =
        record_json(out, job.name, k, job.replicates, job.scenario->suite ? &*job.scenario->suite : nullptr);
    files.push_back({stem + ".json", text_content(record)});
    if (options.components) {
        files.push_back({stem + ".components.csv",
                         [&out, &trace](const ByteSink& sink) { return write_components_csv(out, trace, sink); }});
    }
    for (const auto& [name, content] : files) {
        const std::string path = (dir / name).string();
        if (!replace_file(path, content)) {
            job.fail("the file " + path + " could not be written", k);
            return;
        }
        written(path);
    }
}

// A trace takes 32 MB and a while to clear: the batches of one program
// share theirs, each used by one worker at a time.
class TracePool {
public:
    std::unique_ptr<Trace> take() {
        const std::lock_guard lock(mutex_);
        if (free_.empty()) return nullptr;
        std::unique_ptr<Trace> trace = std::move(free_.back());
        free_.pop_back();
        return trace;
    }
    void give_back(std::unique_ptr<Trace> trace) {
        const std::lock_guard lock(mutex_);
        if (trace) free_.push_back(std::move(trace));
    }

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<Trace>> free_;
};

TracePool& trace_pool() {
    static TracePool pool;
    return pool;
}

// The names of the scenario files that lie in the output folder.
std::set<std::string> inputs_in(const std::vector<ScenarioSource>& sources, const std::string& out_dir) {
    std::set<std::string> names;
    for (const ScenarioSource& source : sources) {
        std::error_code error, out_error;
        const fs::path file = fs::weakly_canonical(source.path, error);
        const fs::path there = fs::weakly_canonical(fs::path(out_dir) / file.filename(), out_error);
        if (!error && !out_error && !file.filename().empty() && file == there) names.insert(file.filename().string());
    }
    return names;
}

std::string failure_line(const Job& job) {
    if (job.name.empty()) return job.source + ": " + job.message;
    std::string line = "\"" + job.name + "\" (" + job.source + "): ";
    if (job.failed_replicate != 0 && job.replicates > 1) line += "replicate " + std::to_string(job.failed_replicate) + ": ";
    return line + job.message;
}

// One line of the manifest: source, scenario, replicate, seed, status,
// message, the four file names and the suite label (suite, version, series,
// level), the fields not given empty.
std::string manifest_line(std::vector<std::string> fields) {
    fields.resize(14);
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) line += (i == 0 ? "" : ",") + csv_field(fields[i]);
    return line + "\n";
}

}  // namespace

BatchReport run_batch(const std::vector<ScenarioSource>& sources, const BatchOptions& options) {
    BatchReport report;
    std::string manifest = manifest_line(
        {"source", "scenario", "replicate", "seed", "status", "message", "data", "peaks", "record", "components",
         "suite", "suite_version", "series", "level"});

    // Every scenario becomes a job, and so does a file that cannot be read.
    std::vector<std::unique_ptr<Job>> jobs;
    std::map<std::string, const Job*> stems;  // file stem -> the scenario that writes it
    std::set<std::uint64_t> drawn;           // no two unseeded runs share a seed
    // The scenario files in the output folder, by name: no run may write over one.
    const std::set<std::string> inputs = inputs_in(sources, options.out_dir);
    const std::vector<std::string> endings = {extension_of(options.format), ".peaks.csv", ".json",
                                              options.components ? ".components.csv" : extension_of(options.format)};
    for (const ScenarioSource& source : sources) {
        if (!source.file.error.empty()) {
            auto job = std::make_unique<Job>();
            job->source = source.path;
            job->fail(source.file.error);
            jobs.push_back(std::move(job));
            continue;
        }
        for (const ScenarioEntry& entry : source.file.entries) {
            auto job = std::make_unique<Job>();
            job->source = source.path;
            job->name = entry.name;
            job->scenario = entry.scenario;
            if (!entry.scenario) {
                job->fail(entry.error);
            } else {
                job->replicates = options.replicates.value_or(entry.scenario->replicates.value_or(1));
                const SimulationSettings& settings = entry.scenario->settings;
                if (const std::string problem = repeated_seed_problem(settings, job->replicates); !problem.empty()) {
                    job->fail(problem);
                }
            }
            if (!job->failed) {
                for (int k = 1; k <= job->replicates; ++k) {
                    const auto clash = stems.find(run_stem(job->name, k, job->replicates));
                    if (clash == stems.end()) continue;
                    job->fail("its files would take the names of those of scenario \"" + clash->second->name + "\" (" +
                              clash->second->source + "). Give it another \"name\".");
                    break;
                }
            }
            for (int k = 1; !job->failed && !inputs.empty() && k <= job->replicates; ++k) {
                for (const std::string& ending : endings) {
                    const std::string name = run_stem(job->name, k, job->replicates) + ending;
                    if (!inputs.contains(name)) continue;
                    job->fail("its file " + name + " would replace the scenario file of that name in " +
                              options.out_dir + ". Write into another folder (--out) or give it another \"name\".");
                    break;
                }
            }
            if (!job->failed) {
                for (int k = 1; k <= job->replicates; ++k) stems[run_stem(job->name, k, job->replicates)] = job.get();
                job->seeds = replicate_seeds(job->scenario->settings, job->replicates, drawn);
                job->written.resize(static_cast<std::size_t>(job->replicates));
            }
            jobs.push_back(std::move(job));
        }
    }

    std::vector<Run> runs;
    for (const auto& job : jobs) {
        if (job->failed) continue;
        for (int k = 1; k <= job->replicates; ++k) runs.push_back({job.get(), k});
    }

    std::error_code folder_error;
    if (!runs.empty()) fs::create_directories(options.out_dir, folder_error);
    if (folder_error) {
        for (const auto& job : jobs) {
            if (!job->failed) job->fail("the output folder " + options.out_dir + " cannot be made: " + folder_error.message());
        }
        runs.clear();
    }

    const auto made = stamp_moment();
    for_each_run(
        runs.size(), options.threads,
        [&](std::size_t i, Trace& trace, RandomGenerator& generator) {
            if (!runs[i].job->failed) perform(runs[i], options, made, trace, generator);
        },
        [&](std::size_t i, const std::string& what) {
            runs[i].job->fail("The run stopped: " + what, runs[i].replicate);
        },
        options.progress);

    for (const auto& job : jobs) {
        if (job->failed) {
            // Whatever of it was written before it failed goes again.
            for (const auto& files : job->written)
                for (const std::string& path : files) {
                    std::error_code ignored;
                    fs::remove(path, ignored);
                }
            report.failures.push_back(failure_line(*job));
            if (job->replicates == 0) manifest += manifest_line({job->source, job->name, "", "", "failed", job->message});
        } else {
            for (const auto& [row, warning] : job->clipping) report.warnings.push_back(warning);
        }
        for (int k = 1; k <= job->replicates; ++k) {
            const std::string stem = run_stem(job->name, k, job->replicates);
            const std::string seed = job->seeds.empty() ? "" : job->seeds[k - 1];
            if (job->failed) {
                manifest += manifest_line({job->source, job->name, std::to_string(k), seed, "failed", job->message});
                continue;
            }
            ++report.runs_written;
            const std::optional<SuiteLabel>& suite = job->scenario->suite;
            manifest += manifest_line({job->source, job->name, std::to_string(k), seed, "ok", "",
                                       stem + extension_of(options.format), stem + ".peaks.csv", stem + ".json",
                                       options.components ? stem + ".components.csv" : "",
                                       suite ? suite->name : "", suite ? suite->version : "",
                                       suite ? suite->series : "", suite ? number_text(suite->level) : ""});
        }
    }

    std::error_code ignored;
    fs::create_directories(options.out_dir, ignored);
    const std::string manifest_path = (fs::path(options.out_dir) / "manifest.csv").string();
    if (!write_text(manifest_path, manifest)) report.failures.push_back("the file " + manifest_path + " could not be written");
    return report;
}

void for_each_run(std::size_t count, unsigned threads, const RunBody& run, const RunFailure& failed,
                  const std::function<void(std::size_t done, std::size_t total)>& progress) {
    // The runs go to the workers in order; each worker keeps one trace.
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    std::mutex done_mutex;
    std::condition_variable all_done;
    const auto work = [&] {
        std::unique_ptr<Trace> trace = trace_pool().take();
        RandomGenerator generator;
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= count) break;
            try {
                if (!trace) trace = std::make_unique<Trace>();
                run(i, *trace, generator);
            } catch (const std::exception& error) {
                failed(i, error.what());
            }
            if (done.fetch_add(1) + 1 == count) {
                const std::lock_guard lock(done_mutex);
                all_done.notify_all();
            }
        }
        trace_pool().give_back(std::move(trace));
    };
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t wanted = std::min<std::size_t>(threads ? threads : std::min(cores, 16u), count);
    std::vector<std::thread> workers;
    for (std::size_t w = 0; wanted > 1 && w < wanted; ++w) {
        try {
            workers.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // the runs go to the workers that did start
        }
    }
    if (workers.empty()) work();
    if (progress) progress(done, count);
    {
        std::unique_lock lock(done_mutex);
        while (!all_done.wait_for(lock, std::chrono::milliseconds(100), [&] { return done == count; })) {
            if (progress) progress(done, count);
        }
    }
    for (std::thread& worker : workers) worker.join();
    if (progress) progress(done, count);
}

BatchReport run_batch(const std::vector<std::string>& files, const BatchOptions& options) {
    std::vector<ScenarioSource> sources;
    for (const std::string& path : files) sources.push_back({path, read_scenario_file(path)});
    return run_batch(sources, options);
}

}  // namespace elutrix::generate
