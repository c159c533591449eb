#include "generate/outputs.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "engine/version.h"
#include "generate/peak_columns.h"
#include "generate/scenario.h"

namespace elutrix::generate {

std::string run_stem(const std::string& name, int replicate, int replicates) {
    if (replicates <= 1) return name;
    char number[16];
    std::snprintf(number, sizeof number, "_%04d", replicate);
    return name + number;
}

namespace {

char* put_round_trip(char* out, double value) {
    if (value == 0.0) {
        *out = '0';
        return out + 1;
    }
    if (!std::isfinite(value)) return out;
    return std::to_chars(out, out + 32, value).ptr;
}

nlohmann::ordered_json json_number(double value) {
    if (!std::isfinite(value)) return nullptr;
    return value;
}

nlohmann::ordered_json json_number(const std::optional<double>& value) {
    return value ? json_number(*value) : nlohmann::ordered_json(nullptr);
}

}  // namespace

std::string number_text(double value) {
    char buffer[32];
    return std::string(buffer, put_round_trip(buffer, value));
}

std::string csv_field(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string peaks_csv(const std::vector<PeakTruth>& peaks) {
    // A run through a detector's time constant also keeps the unfiltered apex.
    const bool pure = std::any_of(peaks.begin(), peaks.end(), [](const PeakTruth& p) {
        return p.pure_apex_time_min.has_value();
    });
    std::string out;
    for (const PeakColumn& column : peak_columns()) {
        if (column.detector_only && !pure) continue;
        if (!out.empty()) out += ',';
        out += column.name;
    }
    out += '\n';
    for (const PeakTruth& p : peaks) {
        bool first = true;
        for (const PeakColumn& column : peak_columns()) {
            if (column.detector_only && !pure) continue;
            if (!first) out += ',';
            first = false;
            switch (column.kind) {
            case PeakColumnKind::row: out += std::to_string(p.row + 1); break;
            case PeakColumnKind::text: out += peak_text(column, p); break;
            case PeakColumnKind::flag: out += peak_value(column, p) != 0.0 ? "true" : "false"; break;
            case PeakColumnKind::number:
            case PeakColumnKind::figure:
                // A figure the peak lacks is empty.
                if (const std::optional<double> v = column.number(p)) out += number_text(*v);
                break;
            }
        }
        out += '\n';
    }
    return out;
}

std::string record_json(const RunOutput& run, const std::string& name, int replicate, int replicates,
                        const SuiteLabel* suite) {
    nlohmann::ordered_json record;
    record["program"] = "elutrix-generate";
    record["version"] = program_version;
    record["name"] = name;
    record["replicate"] = replicate;
    record["replicates"] = replicates;
    // Whole seeds are written as whole numbers.
    if (std::isfinite(run.seed) && run.seed == std::floor(run.seed) && std::fabs(run.seed) < 0x1p53) {
        record["seed"] = static_cast<long long>(run.seed);
    } else {
        record["seed"] = json_number(run.seed);
    }
    record["seed_drawn"] = run.seed_drawn;
    record["point_count"] = run.point_count;
    record["time_step_s"] = json_number(run.time_step_s);
    record["time_step_min"] = json_number(run.time_step_s ? std::optional(*run.time_step_s / 60.0) : std::nullopt);
    nlohmann::ordered_json noise;
    noise["active"] = run.noise.active;
    noise["level_u"] = json_number(run.noise.u);
    const auto drawn = [&](double v) { return run.noise.active ? json_number(v) : nlohmann::ordered_json(nullptr); };
    noise["sd"] = drawn(run.noise.sd);
    noise["min"] = drawn(run.noise.min);
    noise["max"] = drawn(run.noise.max);
    record["noise"] = noise;
    record["rows"] = rows_json(run.rows);
    record["settings"] = settings_json(run.settings);
    if (run.detector) {
        record["detector"] = detector_json(*run.detector);
        const DetectorRecord& d = run.detector_record;
        nlohmann::ordered_json realised;
        realised["seed"] = std::to_string(d.seed);
        const auto drawn_noise = [&](double v) { return d.noise ? json_number(v) : nlohmann::ordered_json(nullptr); };
        realised["noise_sd"] = drawn_noise(d.noise_sd);
        realised["noise_min"] = drawn_noise(d.noise_min);
        realised["noise_max"] = drawn_noise(d.noise_max);
        realised["spikes"] = d.spike_points.size();
        nlohmann::ordered_json minutes = nlohmann::ordered_json::array();
        for (const std::int32_t k : d.spike_points) minutes.push_back(json_number(k * *run.time_step_s / 60.0));
        realised["spike_points"] = d.spike_points;
        realised["spike_times_min"] = minutes;
        realised["clamped_low"] = d.clamped_low;
        realised["clamped_high"] = d.clamped_high;
        record["detector_realised"] = realised;
    }
    if (suite) record["suite"] = suite_json(*suite);
    // A name made from a file name that is not UTF-8 is written with U+FFFD
    // for its stray bytes.
    return record.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

RunComponents::RunComponents(const RunOutput& run)
    : terms_(run_terms(run.rows, run.settings, run.placement, run_grid(run.placement, run.point_count))),
      baseline_(run.rows, run.settings, run.placement) {
    if (run.detector && run.time_step_s) {
        detector_wander(*run.detector, run.detector_record.seed, static_cast<std::size_t>(run.point_count),
                        *run.time_step_s, wander_);
    }
    if (run.detector && run.detector->time_constant_s && *run.detector->time_constant_s > 0.0 && run.time_step_s) {
        filtered_ = true;
        a_ = filter_weight(*run.detector->time_constant_s, *run.time_step_s);
        previous_.resize(terms_.size() + 3);
    }
}

double RunComponents::next(const Trace& trace, std::int32_t i, double* values, double& base, double& wander) {
    const double t = trace.times[i];
    // A term is exactly 0 outside its range.
    double sum = 0.0;
    for (std::size_t j = 0; j < terms_.size(); ++j) {
        values[j] = terms_[j].term.range().contains(i) ? terms_[j].term(t) : 0.0;
        sum += values[j];
    }
    base = baseline_(static_cast<double>(i));
    double total = sum + base;
    wander = 0.0;
    if (!wander_.empty()) {
        wander = wander_[static_cast<std::size_t>(i - 1)];
        total += wander;
    }
    if (!filtered_) return total;
    // y(1) = x(1), y(k) = y(k - 1) + a (x(k) - y(k - 1)) for every part.
    const std::size_t m = terms_.size();
    const auto through = [&](std::size_t k, double x) {
        const double y = i == 1 ? x : previous_[k] + a_ * (x - previous_[k]);
        previous_[k] = y;
        return y;
    };
    for (std::size_t j = 0; j < m; ++j) values[j] = through(j, values[j]);
    base = through(m, base);
    wander = through(m + 1, wander);
    return through(m + 2, total);
}

bool write_components_csv(const RunOutput& run, const Trace& trace, const ByteSink& sink) {
    RunComponents components(run);
    const std::vector<RowTerm>& terms = components.terms();

    std::string header = "time_min,response,noise_free,baseline";
    if (components.has_wander()) header += ",wander";
    for (const RowTerm& t : terms) header += ",row_" + std::to_string(t.row + 1);
    header += '\n';
    if (!sink(header.data(), header.size())) return false;

    constexpr std::size_t block = std::size_t{1} << 16;
    const std::size_t line_room = (terms.size() + 5) * 33;
    std::vector<char> buffer(block + line_room);
    char* const begin = buffer.data();
    char* out = begin;
    std::vector<double> values(terms.size());
    for (std::int32_t i = 1; i <= run.point_count; ++i) {
        double base = 0.0;
        double wander = 0.0;
        const double sum = components.next(trace, i, values.data(), base, wander);
        out = put_round_trip(out, trace.times[i] / 60.0);
        for (const double v : {trace.export_points[i].response, sum, base}) {
            *out++ = ',';
            out = put_round_trip(out, v);
        }
        if (components.has_wander()) {
            *out++ = ',';
            out = put_round_trip(out, wander);
        }
        for (const double v : values) {
            *out++ = ',';
            out = put_round_trip(out, v);
        }
        *out++ = '\n';
        if (static_cast<std::size_t>(out - begin) >= block) {
            if (!sink(begin, static_cast<std::size_t>(out - begin))) return false;
            out = begin;
        }
    }
    return out == begin || sink(begin, static_cast<std::size_t>(out - begin));
}

}  // namespace elutrix::generate
