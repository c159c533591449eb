// A batch in three parts (batch_parts.h): the plan, the runs and the report.
#include "generate/batch.h"

#include <filesystem>

#include "generate/batch_parts.h"

namespace elutrix::generate {

using namespace batch_parts;

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
    const Jobs jobs = plan_jobs(sources, options, inputs);

    std::error_code folder_error;
    std::filesystem::create_directories(options.out_dir, folder_error);
    if (folder_error) {
        for (const auto& job : jobs) {
            if (!job->failed) job->fail("the output folder " + options.out_dir + " cannot be made: " + folder_error.message());
        }
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
    run_jobs(jobs, options, manifest);
    finish_report(jobs, manifest, report);
    return report;
}

BatchReport run_batch(const std::vector<std::string>& files, const BatchOptions& options) {
    std::vector<ScenarioSource> sources;
    for (const std::string& path : files) sources.push_back({path, read_scenario_file(path)});
    return run_batch(sources, options);
}

}  // namespace elutrix::generate
