#include "generate/batch.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <unordered_map>
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
    // Per replicate: its files are all written.
    std::unique_ptr<std::atomic<bool>[]> complete;

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
bool perform(const Run& run, const BatchOptions& options, std::chrono::system_clock::time_point made, Trace& trace,
             RandomGenerator& generator) {
    Job& job = *run.job;
    const int k = run.replicate;
    const RunOutput out = run_replicate(*job.scenario, job.seeds[k - 1], trace, generator);
    if (!out.ok) {
        job.fail(out.message, k);
        return false;
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
        return false;
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
            return false;
        }
        written(path);
    }
    return true;
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

// The batch's manifest.csv, rewritten while the runs go on so that it never
// names a file that is not complete: a run is "ok" once every file of it is
// written, "failed" once its scenario failed, and "pending" until then (a
// manifest with pending runs is that of a batch still running, or killed).
// Rewriting it all for every run would make a large batch's cost grow with
// the square of its runs: it is rewritten at most once a second, and never
// for more than a tenth of the time, and once more when the batch ends.
class Manifest {
public:
    Manifest(const std::vector<std::unique_ptr<Job>>& jobs, const BatchOptions& options)
        : jobs_(jobs), options_(options), path_((fs::path(options.out_dir) / "manifest.csv").string()) {}

    const std::string& path() const { return path_; }

    // Writes the manifest as it stands; false when it could not be written.
    bool write() {
        const std::lock_guard lock(mutex_);
        return write_locked();
    }

    // Writes it unless it was written lately, or another thread is writing it.
    void write_now_and_then() {
        const std::unique_lock lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - written_at_ < std::max<std::chrono::steady_clock::duration>(std::chrono::seconds(1), 10 * took_)) return;
        write_locked();
    }

private:
    bool write_locked() {
        const auto start = std::chrono::steady_clock::now();
        const bool ok = write_text(path_, text());
        written_at_ = std::chrono::steady_clock::now();
        took_ = written_at_ - start;
        return ok;
    }

    std::string text() const {
        std::string out = manifest_line(
            {"source", "scenario", "replicate", "seed", "status", "message", "data", "peaks", "record", "components",
             "suite", "suite_version", "series", "level"});
        for (const auto& job : jobs_) {
            std::string message;
            if (job->failed) {
                const std::lock_guard lock(job->mutex);
                message = job->message;
            }
            // A scenario refused before any of its runs began has one line,
            // however many replicates it asked for.
            if (job->failed && !job->complete) {
                out += manifest_line({job->source, job->name, "", "", "failed", message});
                continue;
            }
            for (int k = 1; k <= job->replicates; ++k) {
                const std::string seed = job->seeds.empty() ? "" : job->seeds[k - 1];
                const std::string replicate = std::to_string(k);
                if (job->failed) {
                    out += manifest_line({job->source, job->name, replicate, seed, "failed", message});
                } else if (!job->complete[k - 1]) {
                    out += manifest_line({job->source, job->name, replicate, seed, "pending"});
                } else {
                    const std::string stem = run_stem(job->name, k, job->replicates);
                    const std::optional<SuiteLabel>& suite = job->scenario->suite;
                    out += manifest_line({job->source, job->name, replicate, seed, "ok", "",
                                          stem + extension_of(options_.format), stem + ".peaks.csv", stem + ".json",
                                          options_.components ? stem + ".components.csv" : "",
                                          suite ? suite->name : "", suite ? suite->version : "",
                                          suite ? suite->series : "", suite ? number_text(suite->level) : ""});
                }
            }
        }
        return out;
    }

    const std::vector<std::unique_ptr<Job>>& jobs_;
    const BatchOptions& options_;
    const std::string path_;
    std::mutex mutex_;
    std::chrono::steady_clock::time_point written_at_{};
    std::chrono::steady_clock::duration took_{};
};

// The output folder, held for this batch alone (an advisory lock on the
// folder itself, so that nothing is left in it): a second generator writing
// into the same folder is refused instead of mixing its files and manifest
// with this one's.
class FolderLock {
public:
    // Empty when the folder is held; otherwise why not.
    std::string hold(const std::string& dir) {
        fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) return "the output folder " + dir + " cannot be opened: " + std::strerror(errno);
        int result = 0;
        do {
            result = ::flock(fd_, LOCK_EX | LOCK_NB);
        } while (result != 0 && errno == EINTR);
        if (result == 0) return {};
        if (errno == EWOULDBLOCK) {
            return "the output folder " + dir +
                   " is in use by another elutrix-generate, which is writing into it; wait until it ends, or write "
                   "into another folder (--out)";
        }
        return "the output folder " + dir + " cannot be locked: " + std::strerror(errno);
    }
    ~FolderLock() {
        if (fd_ >= 0) ::close(fd_);
    }

private:
    int fd_ = -1;
};

}  // namespace

BatchReport run_batch(const std::vector<ScenarioSource>& sources, const BatchOptions& options) {
    if (options.format == DataFormat::dataset) return run_dataset_batch(sources, options);
    BatchReport report;
    // The scenario files in the output folder, by name: no run may write over one.
    const std::set<std::string> inputs = inputs_in(sources, options.out_dir);
    if (inputs.contains("manifest.csv")) {
        report.failures.push_back("the batch's manifest.csv would replace the scenario file of that name in " +
                                  options.out_dir + "; nothing was written. Write into another folder (--out).");
        return report;
    }

    // Every scenario becomes a job, and so does a file that cannot be read.
    std::vector<std::unique_ptr<Job>> jobs;
    std::unordered_map<std::string, const Job*> stems;  // file stem -> the scenario that writes it
    std::set<std::uint64_t> drawn;           // no two unseeded runs share a seed
    std::vector<std::string> endings = {extension_of(options.format), ".peaks.csv", ".json"};
    if (options.components) endings.push_back(".components.csv");
    // The scenario whose files include one named file, or none.
    const auto writer_of = [&](const std::string& file) -> const Job* {
        for (const std::string& ending : endings) {
            if (!file.ends_with(ending)) continue;
            const auto it = stems.find(file.substr(0, file.size() - ending.size()));
            if (it != stems.end()) return it->second;
        }
        return nullptr;
    };
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
            // A file of one run may also bear the name of another kind of
            // file of another scenario ("a.peaks.csv" of "a" and of "a.peaks"
            // in CSV), or of the manifest.
            for (int k = 1; !job->failed && k <= job->replicates; ++k) {
                const std::string stem = run_stem(job->name, k, job->replicates);
                for (const std::string& ending : endings) {
                    const std::string name = stem + ending;
                    if (name == "manifest.csv") {
                        job->fail("its file manifest.csv would be replaced by the batch's manifest. Give it another "
                                  "\"name\".");
                        break;
                    }
                    if (const Job* other = writer_of(name)) {
                        job->fail("its file " + name + " would take the name of a file of scenario \"" + other->name +
                                  "\" (" + other->source + "). Give it another \"name\".");
                        break;
                    }
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
                job->complete = std::make_unique<std::atomic<bool>[]>(static_cast<std::size_t>(job->replicates));
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
    fs::create_directories(options.out_dir, folder_error);
    if (folder_error) {
        for (const auto& job : jobs) {
            if (!job->failed) job->fail("the output folder " + options.out_dir + " cannot be made: " + folder_error.message());
        }
        runs.clear();
    }
    FolderLock lock;
    if (!folder_error) {
        if (const std::string why = lock.hold(options.out_dir); !why.empty()) {
            report.failures.push_back(why + "; nothing was written.");
            return report;
        }
    }

    // The previous batch's manifest goes at once: every run is pending.
    Manifest manifest(jobs, options);
    if (!folder_error) manifest.write();
    const auto made = stamp_moment();
    for_each_run(
        runs.size(), options.threads,
        [&](std::size_t i, Trace& trace, RandomGenerator& generator) {
            const Run& run = runs[i];
            if (!run.job->failed && perform(run, options, made, trace, generator)) {
                run.job->complete[run.replicate - 1] = true;
                manifest.write_now_and_then();
            }
        },
        [&](std::size_t i, const std::string& what) {
            runs[i].job->fail("The run stopped: " + what, runs[i].replicate);
        },
        options.progress);

    // The manifest first, then the files of failed scenarios go: it never
    // names a file that is not there.
    if (!manifest.write()) report.failures.push_back("the file " + manifest.path() + " could not be written");
    std::vector<std::string> failures;
    for (const auto& job : jobs) {
        if (job->failed) {
            // Whatever of it was written before it failed goes again.
            for (const auto& files : job->written)
                for (const std::string& path : files) {
                    std::error_code ignored;
                    fs::remove(path, ignored);
                }
            failures.push_back(failure_line(*job));
        } else {
            report.runs_written += static_cast<std::size_t>(job->replicates);
            for (const auto& [row, warning] : job->clipping) report.warnings.push_back(warning);
        }
    }
    report.failures.insert(report.failures.begin(), failures.begin(), failures.end());
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
            } catch (const std::bad_alloc&) {
                failed(i, "there is not enough memory for it");
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
