#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <unordered_map>

#include "generate/batch_parts.h"
#include "generate/outputs.h"

namespace elutrix::generate::batch_parts {

namespace fs = std::filesystem;

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

Jobs plan_jobs(const std::vector<ScenarioSource>& sources, const BatchOptions& options,
               const std::set<std::string>& inputs) {
    // Every scenario becomes a job, and so does a file that cannot be read.
    Jobs jobs;
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
    return jobs;
}

std::string FolderLock::hold(const std::string& dir) {
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

FolderLock::~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace elutrix::generate::batch_parts
