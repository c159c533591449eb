// The parts of a batch (see batch.h): its plan, which reads, names and
// checks every scenario as a job; its runs; and its report, the manifest
// that tells the truth while the runs go on and the failures at the end.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/file_output.h"
#include "engine/xy_file.h"
#include "generate/batch.h"
#include "generate/replicates.h"

namespace elutrix::generate::batch_parts {

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
    // What its replicates share, made by the first worker to reach one of
    // them from replicate 1, and their peak table.
    std::once_flag shared_once;
    std::unique_ptr<ScenarioReplicates> shared;
    std::string peaks;
    std::unique_ptr<XyTimeColumn> times;  // of their data files

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

using Jobs = std::vector<std::unique_ptr<Job>>;

// The plan (batch_plan.cpp).

// The names of the scenario files that lie in the output folder.
std::set<std::string> inputs_in(const std::vector<ScenarioSource>& sources, const std::string& out_dir);

// Every scenario of the sources as a job, and every file that cannot be
// read: its replicates' seeds drawn and its file names checked against
// those of the others, of the manifest and of the scenario files in the
// output folder (inputs). A job that cannot run is failed with the reason.
Jobs plan_jobs(const std::vector<ScenarioSource>& sources, const BatchOptions& options,
               const std::set<std::string>& inputs);

// The output folder, held for this batch alone (an advisory lock on the
// folder itself, so that nothing is left in it): a second generator writing
// into the same folder is refused instead of mixing its files and manifest
// with this one's.
class FolderLock {
public:
    // Empty when the folder is held; otherwise why not.
    std::string hold(const std::string& dir);
    ~FolderLock();

private:
    int fd_ = -1;
};

// The report (batch_report.cpp).

// A file's content that is a text already made.
ContentProducer text_content(const std::string& text);

// One line of the manifest: source, scenario, replicate, seed, status,
// message, the four file names and the suite label (suite, version, series,
// level), the fields not given empty.
std::string manifest_line(std::vector<std::string> fields);

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
        : jobs_(jobs), options_(options), path_(manifest_path(options.out_dir)) {}

    const std::string& path() const { return path_; }
    // Why the last write found the files could not be synced, or empty.
    const std::string& sync_failure() const { return sync_failure_; }

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
    // The runs' files are synced (see DeferredFileSync) before a manifest
    // that calls them "ok" is written: a run it lists as ok has every file
    // on the storage device.
    bool write_locked() {
        const auto start = std::chrono::steady_clock::now();
        const std::string listed = text();
        std::error_code error;
        if (!sync_file_system(options_.out_dir, error)) {
            sync_failure_ = "the files in " + options_.out_dir + " could not be synced to the storage device: " +
                            error.message();
            return false;
        }
        sync_failure_.clear();
        const bool ok = replace_file(path_, text_content(listed));
        written_at_ = std::chrono::steady_clock::now();
        took_ = written_at_ - start;
        return ok;
    }

    static std::string manifest_path(const std::string& out_dir);
    std::string text() const;
    const std::vector<std::unique_ptr<Job>>& jobs_;
    const BatchOptions& options_;
    const std::string path_;
    std::mutex mutex_;
    std::chrono::steady_clock::time_point written_at_{};
    std::chrono::steady_clock::duration took_{};
    std::string sync_failure_;
};

// Writes the manifest a last time, removes every file of a failed scenario
// and adds the failures (one line per scenario) and the clipping warnings
// to report.
void finish_report(const Jobs& jobs, Manifest& manifest, BatchReport& report);

// The runs (batch_runs.cpp): every replicate of every job that has not
// failed, over the workers, the manifest rewritten as they complete.
void run_jobs(const Jobs& jobs, const BatchOptions& options, Manifest& manifest);

}  // namespace elutrix::generate::batch_parts
