// A batch whose every scenario becomes one dataset file, NAME.nc: its
// replicates are made block by block over the workers, and each block is
// written while the next one is made.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <set>

#include "engine/file_output.h"
#include "generate/batch.h"
#include "generate/batch_parts.h"
#include "generate/dataset_file.h"
#include "generate/outputs.h"
#include "generate/replicates.h"
#include "generate/run.h"

namespace elutrix::generate {

namespace {

namespace fs = std::filesystem;

// A scenario of the batch and what became of it.
struct DatasetJob {
    std::string source;
    std::string name;  // empty for a file that could not be read
    const Scenario* scenario = nullptr;
    int replicates = 0;
    std::vector<std::string> seeds;
    std::string file;     // NAME.nc
    bool done = false;    // its file is written
    std::string message;  // why it wrote none
    int failed_replicate = 0;
    bool failed() const { return !message.empty(); }
};

// The replicates of one block and their rows.
struct Block {
    std::size_t first = 0, count = 0;
    std::vector<ReplicateNoise> made;
    std::vector<double> response, noise_free, baseline, wander;
    std::vector<std::vector<double>> components;
};

using batch_parts::FolderLock;
using batch_parts::manifest_line;

// The manifest: one line per scenario, its file named once it is complete.
// The data, peaks and components columns all name NAME.nc, which holds
// them; no run has a record file of its own.
std::string manifest_text(const std::vector<DatasetJob>& jobs, bool components) {
    std::string out = manifest_line({"source", "scenario", "replicate", "seed", "status", "message", "data", "peaks",
                                     "record", "components", "suite", "suite_version", "series", "level"});
    for (const DatasetJob& job : jobs) {
        if (job.failed()) {
            out += manifest_line({job.source, job.name, "", "", "failed", job.message});
        } else if (!job.done) {
            out += manifest_line({job.source, job.name, "", "", "pending"});
        } else {
            const std::optional<SuiteLabel>& suite = job.scenario->suite;
            out += manifest_line({job.source, job.name, "", "", "ok", "", job.file, job.file, "",
                                  components ? job.file : "", suite ? suite->name : "", suite ? suite->version : "",
                                  suite ? suite->series : "", suite ? number_text(suite->level) : ""});
        }
    }
    return out;
}

// Makes the replicates of a block over the workers into its rows, from
// what they share.
void make_block(const DatasetJob& job, const ScenarioReplicates& shared, const DatasetLayout& layout, Block& block,
                unsigned threads, const std::function<void(std::size_t, std::size_t)>& progress) {
    const std::size_t n = layout.points, rows = block.count * n;
    block.made.assign(block.count, ReplicateNoise{});
    block.response.resize(rows);
    if (layout.components) {
        block.noise_free.resize(rows);
        block.baseline.resize(rows);
        if (layout.wander) block.wander.resize(rows);
        block.components.resize(layout.component_rows.size());
        for (std::vector<double>& part : block.components) part.resize(rows);
    }
    // The components need the run's grid, as its trace holds it.
    Trace grid(layout.components ? static_cast<std::int32_t>(n) : 0);
    if (layout.components) std::copy(shared.times().begin(), shared.times().end(), grid.times.begin() + 1);
    const auto fill_components = [&](std::size_t i, const RunOutput& out) {
        RunComponents parts(out);
        std::vector<double> values(parts.terms().size());
        for (std::size_t p = 0; p < n; ++p) {
            double base = 0.0, wander = 0.0;
            const double sum = parts.next(grid, static_cast<std::int32_t>(p + 1), values.data(), base, wander);
            block.noise_free[i * n + p] = sum;
            block.baseline[i * n + p] = base;
            if (layout.wander) block.wander[i * n + p] = wander;
            for (std::size_t j = 0; j < values.size() && j < block.components.size(); ++j) {
                block.components[j][i * n + p] = values[j];
            }
        }
    };
    // Replicates go to the workers in groups, whose noise figures are
    // summed up side by side.
    constexpr std::size_t group = ScenarioReplicates::block_replicates;
    for_each_run(
        (block.count + group - 1) / group, threads,
        [&](std::size_t g, Trace&, RandomGenerator& generator) {
            const std::size_t i = g * group;
            const int count = static_cast<int>(std::min(group, block.count - i));
            double* rows_of[group] = {};
            for (int j = 0; j < count; ++j) rows_of[j] = block.response.data() + (i + j) * n;
            const std::string* seeds = &job.seeds[block.first + i];
            shared.make_block(seeds, rows_of, &block.made[i], count, generator, false);  // the file has no noise figures
            for (int j = 0; layout.components && j < count; ++j) {
                if (block.made[i + j].ok) fill_components(i + j, shared.output(seeds[j], block.made[i + j]));
            }
        },
        [&](std::size_t g, const std::string& what) {
            for (std::size_t i = g * group; i < std::min(block.count, (g + 1) * group); ++i) {
                block.made[i] = ReplicateNoise{};
                block.made[i].ok = false;
                block.made[i].message = "The run stopped: " + what;
            }
        },
        [&](std::size_t done, std::size_t) { progress(std::min(done * group, block.count), block.count); });
}

DatasetBlock view(const Block& block, const std::vector<PeakTruth>& peaks) {
    DatasetBlock b;
    b.first = block.first;
    b.count = block.count;
    for (const ReplicateNoise& made : block.made) b.seeds.push_back(made.seed);
    b.peaks = &peaks;
    b.response = block.response.data();
    if (!block.noise_free.empty()) b.noise_free = block.noise_free.data();
    if (!block.baseline.empty()) b.baseline = block.baseline.data();
    if (!block.wander.empty()) b.wander = block.wander.data();
    for (const std::vector<double>& part : block.components) b.components.push_back(part.data());
    return b;
}

// Runs one scenario into its file. done counts the runs of the whole batch
// made so far, total all of them.
void run_job(DatasetJob& job, const BatchOptions& options, std::size_t& done, std::size_t total,
             std::map<int, std::string>& clipping) {
    const std::string path = (fs::path(options.out_dir) / job.file).string();
    const auto progress = [&](std::size_t block_done, std::size_t) {
        if (options.progress) options.progress(done + block_done, total);
    };
    // Replicate 1 alone first: its grid, peaks and components size the file.
    DatasetLayout layout;
    layout.replicates = static_cast<std::size_t>(job.replicates);
    layout.components = options.components;
    layout.compress = options.compress;
    std::unique_ptr<ScenarioReplicates> shared;
    {
        Trace trace(0);
        RandomGenerator generator;
        shared = std::make_unique<ScenarioReplicates>(*job.scenario, job.seeds[0], trace, generator);
    }
    const RunOutput& full = shared->first();
    if (!shared->shared()) {
        job.message = full.message;
        job.failed_replicate = 1;
        return;
    }
    layout.points = static_cast<std::size_t>(std::max(full.point_count, 0));
    layout.peaks = full.peaks.size();
    layout.first_peaks = full.peaks;
    std::vector<double> times;
    for (const double t : shared->times()) times.push_back(t / 60.0);
    if (options.components) {
        const RunComponents parts(full);
        layout.wander = parts.has_wander();
        for (const RowTerm& t : parts.terms()) layout.component_rows.push_back(t.row + 1);
    }
    for (const PeakTruth& peak : full.peaks)
        if (peak.clipped) clipping.emplace(peak.row, clipping_warning(job.name, peak));
    DatasetFile file;
    file.remove_on_signal();
    if (!file.create(path, layout, times.data(), *job.scenario, job.source)) {
        job.message = "the file " + path + " could not be written: " + file.error();
        return;
    }
    // Blocks of whole chunks, about 16 MB of responses; one is written while
    // the next is made.
    const std::size_t block_size = dataset_chunk_replicates(layout) * 16;
    Block blocks[2];
    std::future<bool> writing;
    const auto wait = [&] { return !writing.valid() || writing.get(); };
    const auto check = [&](const Block& block) {
        for (std::size_t i = 0; i < block.count; ++i) {
            if (block.made[i].ok) continue;
            job.message = block.made[i].message;
            job.failed_replicate = static_cast<int>(block.first + i + 1);
            return false;
        }
        return true;
    };
    bool ok = true;
    std::size_t which = 0;
    for (std::size_t first = 0; ok && first < layout.replicates; first += block_size, which ^= 1) {
        Block& block = blocks[which];
        block.first = first;
        block.count = std::min(block_size, layout.replicates - first);
        make_block(job, *shared, layout, block, options.threads, progress);
        done += block.count;
        if (!wait()) {
            ok = false;
            break;
        }
        ok = check(block);
        if (ok) writing = std::async(std::launch::async, [&file, b = view(block, full.peaks)] { return file.write(b); });
    }
    ok = wait() && ok;
    if (ok && file.finish()) {
        job.done = true;
        return;
    }
    if (job.message.empty()) job.message = "the file " + path + " could not be written: " + file.error();
}

}  // namespace

BatchReport run_dataset_batch(const std::vector<ScenarioSource>& sources, const BatchOptions& options) {
    BatchReport report;
    // The scenario files that lie in the output folder, by name.
    const std::set<std::string> inputs = batch_parts::inputs_in(sources, options.out_dir);
    if (inputs.contains("manifest.csv")) {
        report.failures.push_back("the batch's manifest.csv would replace the scenario file of that name in " +
                                  options.out_dir + "; nothing was written. Write into another folder (--out).");
        return report;
    }

    std::vector<DatasetJob> jobs;
    std::map<std::string, std::size_t> files;  // NAME.nc -> its scenario
    std::set<std::uint64_t> drawn;
    for (const ScenarioSource& source : sources) {
        if (!source.file.error.empty()) {
            DatasetJob job;
            job.source = source.path;
            job.message = source.file.error;
            jobs.push_back(std::move(job));
            continue;
        }
        for (const ScenarioEntry& entry : source.file.entries) {
            DatasetJob job;
            job.source = source.path;
            job.name = entry.name;
            job.scenario = entry.scenario ? &*entry.scenario : nullptr;
            job.file = entry.name + ".nc";
            if (!entry.scenario) {
                job.message = entry.error;
            } else {
                job.replicates = options.replicates.value_or(entry.scenario->replicates.value_or(1));
                job.message = repeated_seed_problem(entry.scenario->settings, job.replicates);
            }
            if (!job.failed()) {
                if (const auto clash = files.find(job.file); clash != files.end()) {
                    const DatasetJob& other = jobs[clash->second];
                    job.message = "its file " + job.file + " would take the name of that of scenario \"" + other.name +
                                  "\" (" + other.source + "). Give it another \"name\".";
                } else if (inputs.contains(job.file)) {
                    job.message = "its file " + job.file + " would replace the scenario file of that name in " +
                                  options.out_dir + ". Write into another folder (--out) or give it another \"name\".";
                }
            }
            if (!job.failed()) {
                files.emplace(job.file, jobs.size());
                job.seeds = replicate_seeds(entry.scenario->settings, job.replicates, drawn);
            }
            jobs.push_back(std::move(job));
        }
    }

    std::error_code folder_error;
    fs::create_directories(options.out_dir, folder_error);
    FolderLock lock;
    if (folder_error) {
        for (DatasetJob& job : jobs) {
            if (!job.failed()) job.message = "the output folder " + options.out_dir + " cannot be made: " + folder_error.message();
        }
    } else if (const std::string why = lock.hold(options.out_dir); !why.empty()) {
        report.failures.push_back(why + "; nothing was written.");
        return report;
    }
    const std::string manifest = (fs::path(options.out_dir) / "manifest.csv").string();
    const auto write_manifest = [&] {
        const std::string text = manifest_text(jobs, options.components);
        return replace_file(manifest, [&](const ByteSink& sink) { return sink(text.data(), text.size()); });
    };
    if (!folder_error) write_manifest();

    std::size_t total = 0, done = 0;
    for (const DatasetJob& job : jobs)
        if (!job.failed()) total += static_cast<std::size_t>(job.replicates);
    std::vector<std::string> warnings;
    for (DatasetJob& job : jobs) {
        if (job.failed()) continue;
        std::map<int, std::string> clipping;
        const std::size_t before = done;
        try {
            run_job(job, options, done, total, clipping);
        } catch (const std::bad_alloc&) {
            job.message = "there is not enough memory for it";
        } catch (const std::exception& error) {
            job.message = error.what();
        }
        done = before + static_cast<std::size_t>(job.replicates);
        if (job.done) {
            report.runs_written += static_cast<std::size_t>(job.replicates);
            for (const auto& [row, warning] : clipping) warnings.push_back(warning);
        }
        write_manifest();
    }
    if (options.progress) options.progress(done, total);
    if (!folder_error && !write_manifest()) report.failures.push_back("the file " + manifest + " could not be written");

    std::vector<std::string> failures;
    for (const DatasetJob& job : jobs) {
        if (!job.failed()) continue;
        if (job.name.empty()) {
            failures.push_back(job.source + ": " + job.message);
            continue;
        }
        std::string line = "\"" + job.name + "\" (" + job.source + "): ";
        if (job.failed_replicate != 0 && job.replicates > 1) line += "replicate " + std::to_string(job.failed_replicate) + ": ";
        failures.push_back(line + job.message);
    }
    report.failures.insert(report.failures.begin(), failures.begin(), failures.end());
    report.warnings = std::move(warnings);
    return report;
}

}  // namespace elutrix::generate
