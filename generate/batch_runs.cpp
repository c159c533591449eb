#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <new>
#include <thread>

#include "engine/workers.h"
#include "generate/batch_parts.h"
#include "generate/outputs.h"

namespace elutrix::generate {

namespace batch_parts {

namespace {

namespace fs = std::filesystem;

// One run and its files. A run that stops, or a file that cannot be
// written, fails the run's scenario.
bool perform(const Run& run, const BatchOptions& options, std::chrono::system_clock::time_point made, Trace& trace,
             RandomGenerator& generator) {
    Job& job = *run.job;
    const int k = run.replicate;
    std::call_once(job.shared_once, [&] {
        job.shared = std::make_unique<ScenarioReplicates>(*job.scenario, job.seeds[0], trace, generator);
        job.peaks = peaks_csv(job.shared->first().peaks);
        if (job.shared->shared()) job.times = std::make_unique<XyTimeColumn>(trace);
    });
    const std::string& seed = job.seeds[k - 1];
    RunOutput out;
    if (job.shared->shared()) {
        trace.fit(job.shared->point_count());
        double* const response = trace.responses.data() + 1;
        out = job.shared->output(seed, job.shared->make(seed, response, generator));
        if (out.ok) job.shared->fill(response, trace);
    } else {
        out = run_replicate(*job.scenario, seed, trace, generator);
    }
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
    const QuietFileWrites quiet;  // for every file of the run at once
    const DeferredFileSync deferred;  // synced with the others before the manifest lists them
    const std::string data_path = (dir / (stem + extension_of(options.format))).string();
    std::string why;
    if (!write_data_file(data_path, options.format, out, trace, {job.name, stem, k, job.source, made},
                         options.andi_precision, &why, job.times.get())) {
        job.fail("the file " + data_path + " could not be written" + (why.empty() ? "" : ": " + why), k);
        return false;
    }
    written(data_path);

    std::vector<std::pair<std::string, ContentProducer>> files;
    files.push_back({stem + ".peaks.csv", text_content(job.peaks)});
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

}  // namespace

void run_jobs(const Jobs& jobs, const BatchOptions& options, Manifest& manifest) {
    std::vector<Run> runs;
    for (const auto& job : jobs) {
        if (job->failed) continue;
        for (int k = 1; k <= job->replicates; ++k) runs.push_back({job.get(), k});
    }
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
}

}  // namespace batch_parts

namespace {

// A trace grows to the largest run it held: the batches of one program
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

}  // namespace

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
                if (!trace) trace = std::make_unique<Trace>(0);  // grows to its runs
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
    // The calling thread waits, telling the progress, while the workers run;
    // a single worker is the calling thread itself.
    const auto wanted = static_cast<unsigned>(std::min<std::size_t>(batch_threads(threads), count));
    std::thread runner;
    if (wanted > 1) {
        try {
            runner = std::thread([&] { run_on_workers(wanted, [&] {
                const WorkerScope scope;
                work();
            }); });
        } catch (const std::system_error&) {
        }
    }
    if (!runner.joinable()) work();
    if (progress) progress(done, count);
    {
        std::unique_lock lock(done_mutex);
        while (!all_done.wait_for(lock, std::chrono::milliseconds(100), [&] { return done == count; })) {
            if (progress) progress(done, count);
        }
    }
    if (runner.joinable()) runner.join();
    if (progress) progress(done, count);
}

}  // namespace elutrix::generate
