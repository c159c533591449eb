#include "formats/andi_file.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <string_view>

#include <netcdf.h>
#include <netcdf_mem.h>

#include "engine/file_output.h"

namespace elutrix {

namespace {

// Why a file could not be made, in words; thrown inside this file only.
struct WriteFailure {
    std::string reason;
};

void check(int status, std::string_view what) {
    if (status != NC_NOERR) throw WriteFailure{std::string(what) + ": " + nc_strerror(status)};
}

// A number as a float32 record stores it: rounded to the nearest float. A
// finite number beyond the largest float would become infinite, so it is
// refused, naming where it stands.
float stored_float(double value, std::string_view where) {
    if (std::isfinite(value) && std::fabs(value) > std::numeric_limits<float>::max()) {
        char shown[32];
        const char* end = std::to_chars(shown, shown + sizeof shown, value).ptr;
        throw WriteFailure{std::string(where) + ": " + std::string(shown, static_cast<std::size_t>(end - shown)) +
                           " is beyond the range of a float (write the file with doubles)"};
    }
    return static_cast<float>(value);
}

// The character dimensions every file of the template declares.
struct StringDimension {
    const char* name;
    std::size_t length;
};
constexpr StringDimension string_dimensions[] = {
    {"_2_byte_string", 2},   {"_4_byte_string", 4},   {"_8_byte_string", 8},     {"_12_byte_string", 12},
    {"_16_byte_string", 16}, {"_32_byte_string", 32}, {"_64_byte_string", 64},   {"_128_byte_string", 128},
    {"_255_byte_string", 255},
};

// The numeric columns of the peak table, in the template's order (the text
// columns and the reintegration flag are placed between them by name).
struct PeakColumn {
    const char* name;
    double AndiPeak::*field;
};
constexpr PeakColumn leading_columns[] = {
    {"peak_retention_time", &AndiPeak::retention_time},
};
constexpr PeakColumn middle_columns[] = {
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
};
constexpr PeakColumn trailing_columns[] = {
    {"retention_index", &AndiPeak::retention_index},
    {"migration_time", &AndiPeak::migration_time},
    {"peak_asymmetry", &AndiPeak::asymmetry},
    {"peak_efficiency", &AndiPeak::efficiency},
    {"mass_on_column", &AndiPeak::mass_on_column},
};

bool digits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int number(std::string_view text) {
    int value = 0;
    for (char c : text) value = value * 10 + (c - '0');
    return value;
}

// "YYYYMMDDhhmmss+zzzz" naming a real calendar day and time of day, and a
// zone offset below 24 hours.
bool valid_time_stamp(std::string_view stamp) {
    if (stamp.size() != 19 || (stamp[14] != '+' && stamp[14] != '-')) return false;
    if (!digits(stamp.substr(0, 14)) || !digits(stamp.substr(15))) return false;
    const std::chrono::year_month_day day{std::chrono::year{number(stamp.substr(0, 4))},
                                          std::chrono::month{static_cast<unsigned>(number(stamp.substr(4, 2)))},
                                          std::chrono::day{static_cast<unsigned>(number(stamp.substr(6, 2)))}};
    return day.ok() && number(stamp.substr(8, 2)) < 24 && number(stamp.substr(10, 2)) < 60 &&
           number(stamp.substr(12, 2)) <= 60 && number(stamp.substr(15, 2)) < 24 && number(stamp.substr(17, 2)) < 60;
}

void validate(const AndiChromatogram& c) {
    const std::pair<const char*, const std::string*> stamps[] = {
        {"dataset_date_time_stamp", &c.dataset_date_time_stamp},
        {"injection_date_time_stamp", &c.injection_date_time_stamp},
        {"peak_processing_date_time_stamp", &c.peak_processing_date_time_stamp},
    };
    for (const auto& [name, stamp] : stamps) {
        const bool optional = stamp == &c.peak_processing_date_time_stamp && stamp->empty();
        if (!optional && !valid_time_stamp(*stamp)) {
            throw WriteFailure{std::string(name) + " \"" + *stamp + "\" is not of the form YYYYMMDDhhmmss+zzzz"};
        }
    }
    for (std::size_t k = 0; k < c.peaks.size(); ++k) {
        const AndiPeak& peak = c.peaks[k];
        const std::string which = "peak " + std::to_string(k + 1);
        if (peak.name.size() > andi_peak_name_room) {
            throw WriteFailure{which + ": the name is longer than " + std::to_string(andi_peak_name_room) + " bytes"};
        }
        if (peak.start_detection_code.size() > andi_detection_code_room ||
            peak.stop_detection_code.size() > andi_detection_code_room) {
            throw WriteFailure{which + ": a detection code is longer than " +
                               std::to_string(andi_detection_code_room) + " bytes"};
        }
    }
}

// The leading version number of the netCDF library, "4.9.0".
std::string library_revision() {
    const std::string_view version = nc_inq_libvers();
    return std::string(version.substr(0, version.find(' ')));
}

// A file being defined and filled in memory; closes or abandons it at the
// end. It lives, and is used, only while netcdf_lock() is held.
class MemoryFile {
public:
    // The memory starts empty and grows to the file's extent: a file
    // made in room given beforehand would be as long as that room, and every
    // byte it holds besides the values (padding, unused room) would be what
    // that memory held before. Fill values, on as they are by default, set
    // the padding's bytes.
    MemoryFile() {
        check(nc_create_mem("andi.cdf", NC_CLOBBER, 0, &id_), "cannot start the netCDF file in memory");
        open_ = true;
    }
    ~MemoryFile() {
        if (open_) nc_abort(id_);
        std::free(bytes_.memory);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    int id() const { return id_; }

    int dimension(const char* name, std::size_t length) {
        int dim = 0;
        check(nc_def_dim(id_, name, length, &dim), std::string("cannot define dimension ") + name);
        return dim;
    }

    void text(int var, const char* name, const std::string& value) {
        check(nc_put_att_text(id_, var, name, value.size(), value.data()), std::string("cannot write ") + name);
    }

    void number(const char* name, double value, AndiPrecision precision) {
        int status = NC_NOERR;
        if (precision == AndiPrecision::float32) {
            const float single = stored_float(value, name);
            status = nc_put_att_float(id_, NC_GLOBAL, name, NC_FLOAT, 1, &single);
        } else {
            status = nc_put_att_double(id_, NC_GLOBAL, name, NC_DOUBLE, 1, &value);
        }
        check(status, std::string("cannot write ") + name);
    }

    // Writes all values of a numeric variable in the record's precision.
    void numbers(int var, const char* name, const double* values, std::size_t count, AndiPrecision precision) {
        int status = NC_NOERR;
        if (precision == AndiPrecision::float32) {
            std::vector<float> singles(count);
            for (std::size_t k = 0; k < count; ++k) singles[k] = stored_float(values[k], name);
            status = nc_put_var_float(id_, var, singles.data());
        } else {
            status = nc_put_var_double(id_, var, values);
        }
        check(status, std::string("cannot write ") + name);
    }

    int variable(const char* name, nc_type type, std::initializer_list<int> dims) {
        int var = 0;
        check(nc_def_var(id_, name, type, static_cast<int>(dims.size()), std::data(dims), &var),
              std::string("cannot define variable ") + name);
        return var;
    }

    void end_definitions() { check(nc_enddef(id_), "cannot end the netCDF definitions"); }

    // Closes the file and keeps its bytes.
    void close() {
        open_ = false;
        check(nc_close_memio(id_, &bytes_), "cannot finish the netCDF file");
    }
    // The closed file's bytes, now the caller's to free.
    std::unique_ptr<char, decltype(&std::free)> take_bytes(std::size_t& size) {
        size = bytes_.size;
        std::unique_ptr<char, decltype(&std::free)> bytes(static_cast<char*>(bytes_.memory), &std::free);
        bytes_ = {0, nullptr, 0};
        return bytes;
    }

private:
    int id_ = -1;
    bool open_ = false;
    NC_memio bytes_{0, nullptr, 0};
};

// A fixed-width character column: each text padded with NUL bytes.
std::vector<char> character_column(const std::vector<AndiPeak>& peaks, std::string AndiPeak::*field,
                                   std::size_t width) {
    std::vector<char> column(peaks.size() * width, '\0');
    for (std::size_t k = 0; k < peaks.size(); ++k) {
        const std::string& text = peaks[k].*field;
        std::copy(text.begin(), text.end(), column.begin() + static_cast<std::ptrdiff_t>(k * width));
    }
    return column;
}

bool has_value(const std::vector<AndiPeak>& peaks, double AndiPeak::*field) {
    return std::any_of(peaks.begin(), peaks.end(), [field](const AndiPeak& p) { return p.*field != andi_no_value; });
}

// Builds the whole file in memory.
void build(MemoryFile& file, const AndiChromatogram& c) {
    const int nc = file.id();
    const AndiPrecision precision = c.precision;
    const nc_type number_type = precision == AndiPrecision::float32 ? NC_FLOAT : NC_DOUBLE;
    const bool with_peaks = !c.peaks.empty();

    int string_dim[std::size(string_dimensions)] = {};
    for (std::size_t k = 0; k < std::size(string_dimensions); ++k) {
        string_dim[k] = file.dimension(string_dimensions[k].name, string_dimensions[k].length);
    }
    const auto string_dimension = [&](std::size_t length) {
        for (std::size_t k = 0; k < std::size(string_dimensions); ++k)
            if (string_dimensions[k].length == length) return string_dim[k];
        return -1;
    };
    // A classic file has no fixed dimension of length 0: a run without points
    // keeps its (empty) ordinate values along the record dimension instead.
    const std::size_t point_count = c.ordinate_values.size();
    const int point_dim = file.dimension("point_number", point_count > 0 ? point_count : NC_UNLIMITED);
    const int peak_dim = with_peaks ? file.dimension("peak_number", c.peaks.size()) : -1;
    const int error_dim = file.dimension("error_number", 1);

    // Global attributes, in the template's order of categories.
    const auto text = [&](const char* name, const std::string& value) { file.text(NC_GLOBAL, name, value); };
    text("dataset_completeness", with_peaks ? "C1+C2" : "C1");
    text("aia_template_revision", "1.0");
    text("netcdf_revision", library_revision());
    text("languages", c.languages);
    text("administrative_comments", c.administrative_comments);
    text("dataset_origin", c.dataset_origin);
    text("dataset_owner", c.dataset_owner);
    text("dataset_date_time_stamp", c.dataset_date_time_stamp);
    text("injection_date_time_stamp", c.injection_date_time_stamp);
    text("experiment_title", c.experiment_title);
    text("operator_name", c.operator_name);
    text("separation_experiment_type", c.separation_experiment_type);
    text("company_method_name", c.company_method_name);
    text("company_method_id", c.company_method_id);
    text("pre_experiment_program_name", c.pre_experiment_program_name);
    text("post_experiment_program_name", c.post_experiment_program_name);
    text("source_file_reference", c.source_file_reference);
    text("sample_id_comments", c.sample_id_comments);
    text("sample_id", c.sample_id);
    text("sample_name", c.sample_name);
    text("sample_type", c.sample_type);
    if (c.sample_injection_volume) file.number("sample_injection_volume", *c.sample_injection_volume, precision);
    if (c.sample_amount) file.number("sample_amount", *c.sample_amount, precision);
    text("detection_method_table_name", c.detection_method_table_name);
    text("detector_method_comments", c.detector_method_comments);
    text("detection_method_name", c.detection_method_name);
    text("detector_name", c.detector_name);
    text("detector_unit", c.detector_unit);
    text("raw_data_table_name", c.raw_data_table_name);
    text("retention_unit", c.retention_unit);
    if (with_peaks) {
        text("peak_processing_results_table_name", c.peak_processing_results_table_name);
        text("peak_processing_results_comments", c.peak_processing_results_comments);
        text("peak_processing_method_name", c.peak_processing_method_name);
        text("peak_processing_date_time_stamp", c.peak_processing_date_time_stamp);
        text("peak_amount_unit", c.peak_amount_unit);
    }

    // Variables.
    const int error_log = file.variable("error_log", NC_CHAR, {error_dim, string_dimension(64)});
    const int maximum = file.variable("detector_maximum_value", number_type, {});
    const int minimum = file.variable("detector_minimum_value", number_type, {});
    const int run_length = file.variable("actual_run_time_length", number_type, {});
    const int interval = file.variable("actual_sampling_interval", number_type, {});
    const int delay = file.variable("actual_delay_time", number_type, {});
    const int ordinate = file.variable("ordinate_values", number_type, {point_dim});
    file.text(ordinate, "uniform_sampling_flag", "Y");
    file.text(ordinate, "autosampler_position", c.autosampler_position);

    struct NumberColumn {
        int var;
        const char* name;
        double AndiPeak::*field;
    };
    std::vector<NumberColumn> number_columns;
    const auto numbers = [&](const auto& columns) {
        for (const PeakColumn& column : columns) {
            if (has_value(c.peaks, column.field))
                number_columns.push_back(
                    {file.variable(column.name, number_type, {peak_dim}), column.name, column.field});
        }
    };
    int name_var = -1, start_code_var = -1, stop_code_var = -1, reintegrated_var = -1;
    if (with_peaks) {
        numbers(leading_columns);
        name_var = file.variable("peak_name", NC_CHAR, {peak_dim, string_dimension(andi_peak_name_room)});
        numbers(middle_columns);
        const int code_dim = string_dimension(andi_detection_code_room);
        start_code_var = file.variable("peak_start_detection_code", NC_CHAR, {peak_dim, code_dim});
        stop_code_var = file.variable("peak_stop_detection_code", NC_CHAR, {peak_dim, code_dim});
        numbers(trailing_columns);
        reintegrated_var = file.variable("manually_reintegrated_peaks", NC_SHORT, {peak_dim});
    }
    file.end_definitions();

    // Values.
    const auto put = [&](int status, const char* what) { check(status, std::string("cannot write ") + what); };
    const char no_errors[64] = {};
    put(nc_put_var_text(nc, error_log, no_errors), "error_log");
    const auto [low, high] = std::minmax_element(c.ordinate_values.begin(), c.ordinate_values.end());
    const double detector_max =
        c.detector_maximum_value.value_or(point_count > 0 ? *high : andi_no_value);
    const double detector_min =
        c.detector_minimum_value.value_or(point_count > 0 ? *low : andi_no_value);
    // The points first: a detector range taken from them names them when they do not fit.
    if (point_count > 0) {
        file.numbers(ordinate, "ordinate_values", c.ordinate_values.data(), point_count, precision);
    }
    file.numbers(maximum, "detector_maximum_value", &detector_max, 1, precision);
    file.numbers(minimum, "detector_minimum_value", &detector_min, 1, precision);
    file.numbers(run_length, "actual_run_time_length", &c.actual_run_time_length, 1, precision);
    file.numbers(interval, "actual_sampling_interval", &c.actual_sampling_interval, 1, precision);
    file.numbers(delay, "actual_delay_time", &c.actual_delay_time, 1, precision);

    if (with_peaks) {
        std::vector<double> column(c.peaks.size());
        for (const NumberColumn& number_column : number_columns) {
            std::transform(c.peaks.begin(), c.peaks.end(), column.begin(),
                           [&](const AndiPeak& p) { return p.*number_column.field; });
            file.numbers(number_column.var, number_column.name, column.data(), column.size(), precision);
        }
        put(nc_put_var_text(nc, name_var, character_column(c.peaks, &AndiPeak::name, andi_peak_name_room).data()),
            "peak_name");
        put(nc_put_var_text(
                nc, start_code_var,
                character_column(c.peaks, &AndiPeak::start_detection_code, andi_detection_code_room).data()),
            "peak_start_detection_code");
        put(nc_put_var_text(
                nc, stop_code_var,
                character_column(c.peaks, &AndiPeak::stop_detection_code, andi_detection_code_room).data()),
            "peak_stop_detection_code");
        std::vector<short> reintegrated(c.peaks.size());
        std::transform(c.peaks.begin(), c.peaks.end(), reintegrated.begin(),
                       [](const AndiPeak& p) { return static_cast<short>(p.manually_reintegrated ? 1 : 0); });
        put(nc_put_var_short(nc, reintegrated_var, reintegrated.data()), "manually_reintegrated_peaks");
    }
    file.close();
}

}  // namespace

std::string andi_time_stamp(std::chrono::system_clock::time_point moment, int utc_offset_minutes) {
    using namespace std::chrono;
    const auto local = floor<seconds>(moment) + minutes{utc_offset_minutes};
    const auto day = floor<days>(local);
    const year_month_day date{day};
    const hh_mm_ss time{local - day};
    const int offset = utc_offset_minutes < 0 ? -utc_offset_minutes : utc_offset_minutes;
    char out[64];
    std::snprintf(out, sizeof out, "%04d%02u%02u%02d%02d%02d%c%02d%02d", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), utc_offset_minutes < 0 ? '-' : '+', offset / 60,
                  offset % 60);
    return out;
}

void set_raw_data(AndiChromatogram& chromatogram, const Trace& trace) {
    const std::int32_t available = static_cast<std::int32_t>(trace.export_points.size()) - 1;
    const std::int32_t n = std::min(trace.point_count, available);
    chromatogram.retention_unit = "Seconds";
    chromatogram.ordinate_values.clear();
    if (n <= 0) {
        chromatogram.actual_sampling_interval = chromatogram.actual_delay_time = 0.0;
        chromatogram.actual_run_time_length = 0.0;
        return;
    }
    chromatogram.ordinate_values.reserve(static_cast<std::size_t>(n));
    for (std::int32_t i = 1; i <= n; ++i) chromatogram.ordinate_values.push_back(trace.export_points[i].response);
    // The last point lies exactly at the run's end, n steps after 0.
    const double run_length = trace.export_points[n].time;
    const double step = run_length / n;
    chromatogram.actual_run_time_length = run_length;
    chromatogram.actual_sampling_interval = step;
    chromatogram.actual_delay_time = step;
}

void set_peak_percentages(std::vector<AndiPeak>& peaks) {
    // Peaks without an area or height neither count towards the total nor get a share.
    const auto share = [&peaks](double AndiPeak::*value, double AndiPeak::*percent) {
        double total = 0.0;
        for (const AndiPeak& p : peaks)
            if (p.*value != andi_no_value) total += p.*value;
        for (AndiPeak& p : peaks) {
            const bool counted = p.*value != andi_no_value && std::isfinite(total) && total > 0.0;
            p.*percent = counted ? 100.0 * p.*value / total : andi_no_value;
        }
    };
    share(&AndiPeak::area, &AndiPeak::area_percent);
    share(&AndiPeak::height, &AndiPeak::height_percent);
}

std::mutex& netcdf_lock() {
    static std::mutex lock;
    return lock;
}

bool write_andi_file(const std::string& path, const AndiChromatogram& chromatogram, std::string* error) {
    try {
        validate(chromatogram);
        std::size_t size = 0;
        std::unique_ptr<char, decltype(&std::free)> bytes(nullptr, &std::free);
        {
            const std::lock_guard lock(netcdf_lock());
            MemoryFile file;
            build(file, chromatogram);
            bytes = file.take_bytes(size);
        }
        std::error_code why;
        if (!replace_file(path, [&](const ByteSink& sink) { return sink(bytes.get(), size); }, why)) {
            throw WriteFailure{"cannot write " + path + (why ? ": " + why.message() : std::string())};
        }
        return true;
    } catch (const WriteFailure& failure) {
        if (error) *error = failure.reason;
        return false;
    }
}

}  // namespace elutrix
