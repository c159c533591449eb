// Writes interchange files for the read-back test, each beside a plain-text
// list of what it must hold, so that a reader that shares no code with the
// writer can compare them: andi_fixture OUTPUT_FOLDER.
//
// NAME.cdf is the file; NAME.expect has one line per value, its fields
// separated by single spaces:
//   precision float|double    how the file stores its numbers (the values
//                             below are the record's doubles either way)
//   text NAME HEX             a global attribute, its bytes in hex
//   number NAME BITS          a double, its 64 bits in hex
//   numbers NAME BITS...      a column of doubles
//   texts NAME xHEX...        a column of texts
//   flags NAME 0|1...         a column of yes/no flags
// Runs also get NAME.xy, the data file of the same trace, and their grid
// times (grid_times) in the list.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/chromatogram.h"
#include "engine/file_output.h"
#include "engine/xy_file.h"
#include "formats/andi_file.h"

namespace elutrix {
namespace {

// The global texts of the record, by their names in the file.
const std::pair<const char*, std::string AndiChromatogram::*> text_fields[] = {
    {"languages", &AndiChromatogram::languages},
    {"administrative_comments", &AndiChromatogram::administrative_comments},
    {"dataset_origin", &AndiChromatogram::dataset_origin},
    {"dataset_owner", &AndiChromatogram::dataset_owner},
    {"dataset_date_time_stamp", &AndiChromatogram::dataset_date_time_stamp},
    {"injection_date_time_stamp", &AndiChromatogram::injection_date_time_stamp},
    {"experiment_title", &AndiChromatogram::experiment_title},
    {"operator_name", &AndiChromatogram::operator_name},
    {"separation_experiment_type", &AndiChromatogram::separation_experiment_type},
    {"company_method_name", &AndiChromatogram::company_method_name},
    {"company_method_id", &AndiChromatogram::company_method_id},
    {"pre_experiment_program_name", &AndiChromatogram::pre_experiment_program_name},
    {"post_experiment_program_name", &AndiChromatogram::post_experiment_program_name},
    {"source_file_reference", &AndiChromatogram::source_file_reference},
    {"sample_id_comments", &AndiChromatogram::sample_id_comments},
    {"sample_id", &AndiChromatogram::sample_id},
    {"sample_name", &AndiChromatogram::sample_name},
    {"sample_type", &AndiChromatogram::sample_type},
    {"detection_method_table_name", &AndiChromatogram::detection_method_table_name},
    {"detector_method_comments", &AndiChromatogram::detector_method_comments},
    {"detection_method_name", &AndiChromatogram::detection_method_name},
    {"detector_name", &AndiChromatogram::detector_name},
    {"detector_unit", &AndiChromatogram::detector_unit},
    {"raw_data_table_name", &AndiChromatogram::raw_data_table_name},
    {"retention_unit", &AndiChromatogram::retention_unit},
    {"autosampler_position", &AndiChromatogram::autosampler_position},
    {"peak_processing_results_table_name", &AndiChromatogram::peak_processing_results_table_name},
    {"peak_processing_results_comments", &AndiChromatogram::peak_processing_results_comments},
    {"peak_processing_method_name", &AndiChromatogram::peak_processing_method_name},
    {"peak_processing_date_time_stamp", &AndiChromatogram::peak_processing_date_time_stamp},
    {"peak_amount_unit", &AndiChromatogram::peak_amount_unit},
};

// The numeric peak columns, by their names in the file.
const std::pair<const char*, double AndiPeak::*> peak_number_fields[] = {
    {"peak_retention_time", &AndiPeak::retention_time},
    {"peak_amount", &AndiPeak::amount},
    {"peak_start_time", &AndiPeak::start_time},
    {"peak_end_time", &AndiPeak::end_time},
    {"peak_width", &AndiPeak::width},
    {"peak_area", &AndiPeak::area},
    {"peak_area_percent", &AndiPeak::area_percent},
    {"peak_height", &AndiPeak::height},
    {"peak_height_percent", &AndiPeak::height_percent},
    {"baseline_start_time", &AndiPeak::baseline_start_time},
    {"baseline_start_value", &AndiPeak::baseline_start_value},
    {"baseline_stop_time", &AndiPeak::baseline_stop_time},
    {"baseline_stop_value", &AndiPeak::baseline_stop_value},
    {"retention_index", &AndiPeak::retention_index},
    {"migration_time", &AndiPeak::migration_time},
    {"peak_asymmetry", &AndiPeak::asymmetry},
    {"peak_efficiency", &AndiPeak::efficiency},
    {"mass_on_column", &AndiPeak::mass_on_column},
};

const std::pair<const char*, std::string AndiPeak::*> peak_text_fields[] = {
    {"peak_name", &AndiPeak::name},
    {"peak_start_detection_code", &AndiPeak::start_detection_code},
    {"peak_stop_detection_code", &AndiPeak::stop_detection_code},
};

std::string hex(const std::string& bytes) {
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

std::string bits(double value) {
    std::uint64_t b = 0;
    std::memcpy(&b, &value, sizeof b);
    char out[17];
    std::snprintf(out, sizeof out, "%016" PRIx64, b);
    return out;
}

void put_numbers(std::ostream& out, const char* name, const std::vector<double>& values) {
    out << "numbers " << name;
    for (double v : values) out << ' ' << bits(v);
    out << '\n';
}

void write_expectation(const std::string& path, const AndiChromatogram& c, const std::vector<double>& grid) {
    std::ofstream out(path, std::ios::binary);
    out << "precision " << (c.precision == AndiPrecision::float32 ? "float" : "double") << '\n';
    for (const auto& [name, field] : text_fields) out << "text " << name << ' ' << hex(c.*field) << '\n';
    const std::pair<const char*, const std::optional<double>*> optional_numbers[] = {
        {"sample_injection_volume", &c.sample_injection_volume},
        {"sample_amount", &c.sample_amount},
        {"detector_maximum_value", &c.detector_maximum_value},
        {"detector_minimum_value", &c.detector_minimum_value},
    };
    for (const auto& [name, value] : optional_numbers)
        if (*value) out << "number " << name << ' ' << bits(**value) << '\n';
    out << "number actual_sampling_interval " << bits(c.actual_sampling_interval) << '\n';
    out << "number actual_delay_time " << bits(c.actual_delay_time) << '\n';
    out << "number actual_run_time_length " << bits(c.actual_run_time_length) << '\n';
    put_numbers(out, "ordinate_values", c.ordinate_values);
    if (!grid.empty()) put_numbers(out, "grid_times", grid);
    for (const auto& [name, field] : peak_number_fields) {
        std::vector<double> column;
        for (const AndiPeak& p : c.peaks) column.push_back(p.*field);
        put_numbers(out, name, column);
    }
    for (const auto& [name, field] : peak_text_fields) {
        out << "texts " << name;
        for (const AndiPeak& p : c.peaks) out << " x" << hex(p.*field);
        out << '\n';
    }
    out << "flags manually_reintegrated_peaks";
    for (const AndiPeak& p : c.peaks) out << ' ' << (p.manually_reintegrated ? 1 : 0);
    out << '\n';
}

bool write_case(const std::string& folder, const std::string& name, AndiChromatogram c, AndiPrecision precision,
                const std::vector<double>& grid = {}) {
    c.precision = precision;
    std::string error;
    if (!write_andi_file(folder + "/" + name + ".cdf", c, &error)) {
        std::cerr << name << ": " << error << '\n';
        return false;
    }
    write_expectation(folder + "/" + name + ".expect", c, grid);
    return true;
}

// The descriptive texts a simulated run carries.
AndiChromatogram described(const std::string& title) {
    AndiChromatogram c;
    c.dataset_origin = "Elutrix";
    c.dataset_date_time_stamp = "20240229235959+0130";
    c.injection_date_time_stamp = "20240101000000-0500";
    c.experiment_title = title;
    c.operator_name = "elutrix-generate";
    c.separation_experiment_type = "liquid chromatography";
    c.sample_name = title;
    c.sample_id = "1";
    c.detector_name = "simulated detector";
    c.detector_unit = "response";
    c.detection_method_name = "Exponentially modified Gaussian";
    c.peak_processing_method_name = "ground truth of the model";
    c.peak_processing_date_time_stamp = "20240101000000+0000";
    c.peak_amount_unit = "relative response";
    return c;
}

// A row of the peak table of a run: retention time, area, height and
// widths in seconds (known values; their source does not matter here).
AndiPeak peak(const char* name, double tr, double area, double height, double width) {
    AndiPeak p;
    p.name = name;
    p.retention_time = tr;
    p.amount = area;
    p.area = area;
    p.height = height;
    p.width = width;
    p.start_time = tr - 2.0 * width;
    p.end_time = tr + 3.0 * width;
    p.baseline_start_time = p.start_time;
    p.baseline_stop_time = p.end_time;
    p.baseline_start_value = 0.0;
    p.baseline_stop_value = 0.0;
    p.asymmetry = 1.2;
    p.efficiency = 5.54 * (tr / width) * (tr / width);
    return p;
}

// A simulated run, written both as the data file and as the interchange file.
bool write_run(const std::string& folder, const std::string& name, ComponentTable rows, SimulationSettings settings,
               std::vector<AndiPeak> peaks, AndiPrecision precision) {
    Trace trace;
    RandomGenerator generator;
    const RunResult run = chromatogram(rows, settings, trace, nullptr, generator);
    if (!run.ok) {
        std::cerr << name << ": " << run.message << '\n';
        return false;
    }
    if (!replace_file(folder + "/" + name + ".xy",
                      [&trace](const ByteSink& sink) { return write_xy_lines(trace, sink); })) {
        std::cerr << name << ": cannot write the data file\n";
        return false;
    }
    AndiChromatogram c = described(name);
    set_raw_data(c, trace);
    set_peak_percentages(peaks);
    c.peaks = std::move(peaks);
    std::vector<double> grid;
    for (std::int32_t i = 1; i <= trace.point_count; ++i) grid.push_back(trace.export_points[i].time);
    return write_case(folder, name, c, precision, grid);
}

ComponentRow component(const char* tr, const char* response, const char* tau) {
    ComponentRow r;
    r.enabled = true;
    r.retention_time = tr;
    r.relative_response = response;
    r.tau = tau;
    return r;
}

// Texts and numbers from everything a caller may hand over.
class RandomRecord {
public:
    // Numbers of a float record stay within a float's range (the writer
    // refuses the others).
    RandomRecord(std::uint32_t seed, bool float_range) : engine_(seed), float_range_(float_range) {}

    std::string text(std::size_t max_bytes = 400) {
        static const char* const pieces[] = {"a", "Z", "0", " ", "\t", "\n", "-", "%", "\"", "\\", ",",
                                              "\xc2\xb5", "\xc3\xa9", "\xe4\xb8\xad", "\xf0\x9f\xa7\xaa"};
        std::size_t length = 0;
        switch (pick(4)) {
        case 0: return "";
        case 1: length = pick(8); break;
        case 2: length = pick(40); break;
        default: length = 200 + pick(200); break;
        }
        std::string out;
        for (std::size_t k = 0; k < length; ++k) {
            const std::string piece = pieces[pick(std::size(pieces))];
            if (out.size() + piece.size() > max_bytes) break;
            out += piece;
        }
        return out;
    }

    double number() {
        const double drawn = any_number();
        constexpr double largest = std::numeric_limits<float>::max();
        if (float_range_ && std::isfinite(drawn) && std::fabs(drawn) > largest) return std::copysign(largest, drawn);
        return drawn;
    }

    double any_number() {
        constexpr double special[] = {0.0,
                                      -0.0,
                                      std::numeric_limits<double>::denorm_min(),
                                      -4.9e-320,
                                      std::numeric_limits<double>::min(),
                                      std::numeric_limits<double>::max(),
                                      -std::numeric_limits<double>::max(),
                                      1e300,
                                      std::numeric_limits<double>::infinity(),
                                      -std::numeric_limits<double>::infinity(),
                                      std::numeric_limits<double>::quiet_NaN(),
                                      andi_no_value};
        if (pick(3) == 0) return special[pick(std::size(special))];
        std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
        std::uniform_int_distribution<int> exponent(-320, 308);
        return mantissa(engine_) * std::pow(10.0, exponent(engine_));
    }

    AndiChromatogram record() {
        AndiChromatogram c;
        for (const auto& [name, field] : text_fields) c.*field = text();
        c.dataset_date_time_stamp = "19991231235960+1400";
        c.injection_date_time_stamp = "20000229120000-1159";
        c.peak_processing_date_time_stamp = pick(2) ? "" : "21000101000000+0000";
        if (pick(2)) c.sample_injection_volume = number();
        if (pick(2)) c.sample_amount = number();
        if (pick(2)) c.detector_maximum_value = number();
        if (pick(2)) c.detector_minimum_value = number();
        c.actual_sampling_interval = number();
        c.actual_delay_time = number();
        c.actual_run_time_length = number();
        const std::size_t points = pick(4) == 0 ? pick(2) : pick(3000);
        for (std::size_t k = 0; k < points; ++k) c.ordinate_values.push_back(number());
        const std::size_t peaks = pick(3) == 0 ? 0 : 1 + pick(12);
        for (std::size_t k = 0; k < peaks; ++k) {
            AndiPeak p;
            p.name = text(andi_peak_name_room);
            p.start_detection_code = text(andi_detection_code_room);
            p.stop_detection_code = text(andi_detection_code_room);
            p.manually_reintegrated = pick(2) == 0;
            for (const auto& [name, field] : peak_number_fields) p.*field = pick(4) == 0 ? andi_no_value : number();
            c.peaks.push_back(p);
        }
        return c;
    }

private:
    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(engine_); }
    std::mt19937 engine_;
    bool float_range_;
};

bool write_all(const std::string& folder) {
    bool ok = true;
    // Every case in both precisions: NAME (doubles) and NAME_float.
    struct Precision {
        AndiPrecision precision;
        const char* suffix;
    };
    for (const auto [precision, suffix] : {Precision{AndiPrecision::float64, ""}, Precision{AndiPrecision::float32, "_float"}}) {
        const auto named = [suffix](const std::string& name) { return name + suffix; };

        // The factory run: one Gaussian peak at 1 min, 1800 points.
        ok &= write_run(folder, named("factory"), factory_table(), SimulationSettings{},
                        {peak("Component 1", 60.0, 1.0, 1.0 / (0.6 * 2.506628275), 2.35482 * 0.6)}, precision);

        // Two tailing peaks on a rising baseline with seeded noise, ten points a second.
        ComponentTable rows;
        rows[0] = component("2", "1", "2");
        rows[1] = component("3.5", "0.5", "4");
        SimulationSettings settings;
        settings.peak_model = PeakModel::ExponentiallyModifiedGaussian;
        settings.sampling_rate = "10";
        settings.baseline_shape = BaselineShape::linear;
        settings.baseline_percentage = "5";
        settings.noise_kind = NoiseKind::random;
        settings.level_by_s_to_n = true;
        settings.s_to_n_percent = "100";
        settings.use_seed = true;
        settings.seed = "42";
        ok &= write_run(folder, named("two_tailing_peaks"), rows, settings,
                        {peak("Component 1", 122.0, 2.0 / 1.772453851, 0.31, 3.1),
                         peak("Component 2", 214.0, 1.0 / 1.772453851, 0.09, 5.6)},
                        precision);

        // No points and no peaks.
        ok &= write_case(folder, named("empty"), described("empty"), precision);

        // One point; peaks with only some columns given.
        AndiChromatogram one = described("one point");
        one.ordinate_values = {0.25};
        one.actual_sampling_interval = one.actual_delay_time = one.actual_run_time_length = 0.05;
        one.detector_maximum_value = 1e6;
        one.detector_minimum_value = -1e6;
        one.sample_injection_volume = 0.01;
        one.sample_amount = 2.5;
        AndiPeak sparse;
        sparse.name = std::string(andi_peak_name_room, 'n');
        sparse.retention_time = 0.05;
        sparse.start_detection_code = "BV";
        sparse.stop_detection_code = "";
        sparse.manually_reintegrated = true;
        one.peaks = {sparse, AndiPeak{}};
        ok &= write_case(folder, named("one_point"), one, precision);

        // Records drawn from the whole domain of texts and numbers.
        const bool single = precision == AndiPrecision::float32;
        RandomRecord random(single ? 20240602 : 20240601, single);
        for (int k = 0; k < 40; ++k) {
            char name[16];
            std::snprintf(name, sizeof name, "random_%02d", k);
            ok &= write_case(folder, named(name), random.record(), precision);
        }
    }
    return ok;
}

}  // namespace
}  // namespace elutrix

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: andi_fixture OUTPUT_FOLDER\n";
        return 2;
    }
    return elutrix::write_all(argv[1]) ? 0 : 1;
}
