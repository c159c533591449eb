#include <filesystem>

#include "generate/batch_parts.h"
#include "generate/outputs.h"

namespace elutrix::generate::batch_parts {

namespace {

namespace fs = std::filesystem;

std::string failure_line(const Job& job) {
    if (job.name.empty()) return job.source + ": " + job.message;
    std::string line = "\"" + job.name + "\" (" + job.source + "): ";
    if (job.failed_replicate != 0 && job.replicates > 1) line += "replicate " + std::to_string(job.failed_replicate) + ": ";
    return line + job.message;
}

}  // namespace

ContentProducer text_content(const std::string& text) {
    return [&text](const ByteSink& sink) { return sink(text.data(), text.size()); };
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

std::string Manifest::manifest_path(const std::string& out_dir) { return (fs::path(out_dir) / "manifest.csv").string(); }

std::string Manifest::text() const {
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

void finish_report(const Jobs& jobs, Manifest& manifest, BatchReport& report) {
    // The manifest first, then the files of failed scenarios go: it never
    // names a file that is not there.
    if (!manifest.write()) {
        report.failures.push_back(manifest.sync_failure().empty()
                                      ? "the file " + manifest.path() + " could not be written"
                                      : manifest.sync_failure());
    }
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
}

}  // namespace elutrix::generate::batch_parts
