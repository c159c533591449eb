#include "generate/data_file.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "engine/file_output.h"
#include "engine/version.h"
#include "generate/scenario.h"

namespace elutrix::generate {

namespace {

struct FormatName {
    DataFormat format;
    const char* name;
    const char* extension;
};
constexpr FormatName format_names[] = {
    {DataFormat::xy, "xy", ".xy"}, {DataFormat::csv, "csv", ".csv"}, {DataFormat::andi, "andi", ".cdf"},
    {DataFormat::dataset, "dataset", ".nc"}};

const FormatName& entry(DataFormat format) {
    for (const FormatName& e : format_names)
        if (e.format == format) return e;
    return format_names[0];
}

const char* separation_type(EfficiencyChoice efficiency) {
    switch (efficiency) {
    case EfficiencyChoice::lc: return "liquid chromatography";
    case EfficiencyChoice::gc: return "gas chromatography";
    default: return "";
    }
}

AndiPeak andi_peak(const PeakTruth& truth, const RunBaseline& baseline, const std::optional<double>& step) {
    AndiPeak p;
    p.name = "Component " + std::to_string(truth.row + 1);
    p.amount = truth.relative_response;
    p.area = truth.area_trapezoid * 60.0;
    if (!truth.has_apex) {
        p.retention_time = truth.retention_time_min * 60.0;
        return p;
    }
    const PeakWidth& w50 = truth.widths[0];
    const PeakWidth& w5 = truth.widths[2];
    p.retention_time = truth.apex_time_min * 60.0;
    p.height = truth.apex_height;
    p.width = w50.width() * 60.0;
    p.start_time = (truth.apex_time_min - w5.lead) * 60.0;
    p.end_time = (truth.apex_time_min + w5.trail) * 60.0;
    p.baseline_start_time = p.start_time;
    p.baseline_stop_time = p.end_time;
    if (step) {
        p.baseline_start_value = baseline(p.start_time / *step);
        p.baseline_stop_value = baseline(p.end_time / *step);
    }
    p.asymmetry = truth.asymmetry;
    p.efficiency = truth.plates;
    return p;
}

}  // namespace

std::optional<DataFormat> data_format_named(std::string_view name) {
    for (const FormatName& e : format_names)
        if (name == e.name) return e.format;
    return std::nullopt;
}

const char* name_of(DataFormat format) { return entry(format).name; }

const char* extension_of(DataFormat format) { return entry(format).extension; }

bool write_csv_lines(const Trace& trace, const ByteSink& sink, const XyTimeColumn* times) {
    static constexpr char header[] = "time_min,response\n";
    if (!sink(header, sizeof header - 1)) return false;
    return times ? write_xy_lines(trace, *times, sink, LineEnd::lf) : write_xy_lines(trace, sink, LineEnd::lf);
}

std::chrono::system_clock::time_point stamp_moment() {
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
        long long seconds = 0;
        const char* const end = epoch + std::strlen(epoch);
        const auto [stop, error] = std::from_chars(epoch, end, seconds);
        // Years 1970 to 9999, which the stamp's four digits hold.
        if (error == std::errc() && stop == end && *epoch != '\0' && seconds >= 0 && seconds < 253402300800LL) {
            return std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
        }
    }
    return std::chrono::system_clock::now();
}

std::optional<AndiPrecision> andi_precision_named(std::string_view name) {
    if (name == "float") return AndiPrecision::float32;
    if (name == "double") return AndiPrecision::float64;
    return std::nullopt;
}

AndiChromatogram andi_record(const RunOutput& run, const Trace& trace, const RunLabel& label) {
    AndiChromatogram c;
    const std::string stamp = andi_time_stamp(label.made);
    c.administrative_comments = "Synthetic chromatogram; seed " + run.settings.seed +
                                (run.seed_drawn ? " (drawn)" : "");
    c.dataset_origin = std::string("Elutrix ") + program_version;
    c.dataset_date_time_stamp = stamp;
    c.injection_date_time_stamp = stamp;
    c.experiment_title = label.name;
    c.separation_experiment_type = separation_type(run.settings.efficiency);
    c.company_method_name = label.name;
    c.source_file_reference = label.source;
    c.sample_name = label.stem;
    c.sample_id = std::to_string(label.replicate);
    c.detection_method_name = name_of(run.settings.peak_model);
    c.detector_name = "simulated detector";
    c.detector_unit = "response";
    c.raw_data_table_name = label.stem;
    set_raw_data(c, trace);

    c.peak_processing_results_table_name = label.stem;
    c.peak_processing_results_comments =
        "Ground truth of every component's own term: apex time and height, trapezoid area over the run's grid, "
        "half-height width, start and end at 5 % of the apex height";
    c.peak_processing_method_name = "ground truth of the model";
    c.peak_processing_date_time_stamp = stamp;
    c.peak_amount_unit = "relative response";
    const RunBaseline baseline(run.rows, run.settings, run.placement);
    for (const PeakTruth& truth : run.peaks) c.peaks.push_back(andi_peak(truth, baseline, run.time_step_s));
    set_peak_percentages(c.peaks);
    return c;
}

bool write_data_file(const std::string& path, DataFormat format, const RunOutput& run, const Trace& trace,
                     const RunLabel& label, AndiPrecision precision, std::string* error,
                     const XyTimeColumn* times) {
    if (format == DataFormat::dataset) {
        // A dataset file holds many runs: see dataset_file.h.
        if (error) *error = "a dataset file holds a whole batch, not one run";
        return false;
    }
    if (format == DataFormat::andi) {
        AndiChromatogram record = andi_record(run, trace, label);
        record.precision = precision;
        return write_andi_file(path, record, error);
    }
    std::error_code why;
    const bool written = replace_file(
        path,
        [&](const ByteSink& sink) {
            if (format == DataFormat::csv) return write_csv_lines(trace, sink, times);
            return times ? write_xy_lines(trace, *times, sink) : write_xy_lines(trace, sink);
        },
        why);
    if (!written && error && why) *error = why.message();
    return written;
}

}  // namespace elutrix::generate
