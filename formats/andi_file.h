// The chromatography interchange file (ANDI/AIA, ASTM E1947): a classic
// netCDF file holding one detector trace on a uniform time grid, the texts
// that describe the run, and a peak table. Data systems and integrators read
// it; this module only writes it.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/synthesis.h"

namespace elutrix {

// The template's mark for a number that has no value.
inline constexpr double andi_no_value = -9999.0;

// How a file stores its numbers. float32 types every number as the template
// does (NC_FLOAT), which is what most readers of the format expect; float64
// stores doubles, the run's values bit for bit, for readers that accept them.
enum class AndiPrecision { float32, float64 };

// Width of the template's character dimensions that the peak table uses.
inline constexpr std::size_t andi_peak_name_room = 32;
inline constexpr std::size_t andi_detection_code_room = 2;

// One row of the peak table. Times are in the file's retention unit, areas
// in detector unit x retention unit, heights in detector unit. A number left
// at andi_no_value is written as the template's "no value"; a column that
// has no value in any row is left out of the file.
struct AndiPeak {
    std::string name;                      // at most andi_peak_name_room bytes
    double retention_time = andi_no_value;
    double amount = andi_no_value;         // in the file's peak amount unit
    double start_time = andi_no_value;
    double end_time = andi_no_value;
    double width = andi_no_value;
    double area = andi_no_value;
    double area_percent = andi_no_value;
    double height = andi_no_value;
    double height_percent = andi_no_value;
    double baseline_start_time = andi_no_value;
    double baseline_start_value = andi_no_value;
    double baseline_stop_time = andi_no_value;
    double baseline_stop_value = andi_no_value;
    std::string start_detection_code = "B";  // at most 2 bytes: "B" baseline, "V" valley, ...
    std::string stop_detection_code = "B";
    double retention_index = andi_no_value;
    double migration_time = andi_no_value;
    double asymmetry = andi_no_value;
    double efficiency = andi_no_value;    // plate count
    double mass_on_column = andi_no_value;
    bool manually_reintegrated = false;
};

// Everything one file holds, whatever made the run. The texts go into the
// file's global attributes of the same names; date-time stamps have the form
// "YYYYMMDDhhmmss+zzzz" (andi_time_stamp makes one).
struct AndiChromatogram {
    // How the numbers below are stored: ordinate_values, the detection
    // method's and the raw data's numbers, every number of the peak table
    // and the sample's injection volume and amount.
    AndiPrecision precision = AndiPrecision::float32;

    // Administrative texts.
    std::string languages = "English";
    std::string administrative_comments;
    std::string dataset_origin;
    std::string dataset_owner;
    std::string dataset_date_time_stamp;    // when the file was made; required
    std::string injection_date_time_stamp;  // when the run started; required
    std::string experiment_title;
    std::string operator_name;
    std::string separation_experiment_type;  // "liquid chromatography", "gas chromatography"
    std::string company_method_name;
    std::string company_method_id;
    std::string pre_experiment_program_name;
    std::string post_experiment_program_name;
    std::string source_file_reference;

    // Sample description.
    std::string sample_id_comments;
    std::string sample_id;
    std::string sample_name;
    std::string sample_type;
    std::optional<double> sample_injection_volume;  // written only when given
    std::optional<double> sample_amount;

    // Detection method.
    std::string detection_method_table_name;
    std::string detector_method_comments;
    std::string detection_method_name;
    std::string detector_name;
    std::string detector_unit;
    // The detector's range; the largest and smallest ordinate value when not given.
    std::optional<double> detector_maximum_value;
    std::optional<double> detector_minimum_value;

    // Raw data: point k (k = 0, 1, ...) of ordinate_values lies at
    // actual_delay_time + k x actual_sampling_interval.
    std::string raw_data_table_name;
    std::string retention_unit = "Seconds";
    std::string autosampler_position;
    double actual_sampling_interval = 0.0;
    double actual_delay_time = 0.0;
    double actual_run_time_length = 0.0;
    std::vector<double> ordinate_values;

    // Peak processing results.
    std::string peak_processing_results_table_name;
    std::string peak_processing_results_comments;
    std::string peak_processing_method_name;
    std::string peak_processing_date_time_stamp;  // empty, or a stamp
    std::string peak_amount_unit;
    std::vector<AndiPeak> peaks;
};

// The stamp of a moment as local time at utc_offset_minutes from UTC
// (-1439 to 1439), in the form "YYYYMMDDhhmmss+zzzz".
std::string andi_time_stamp(std::chrono::system_clock::time_point moment, int utc_offset_minutes = 0);

// Takes the raw data from a run: the responses of export points 1 to
// point_count as the data file writes them, and their grid. The run's grid
// has no point at time 0: point i of n lies at i x step, step = run length / n,
// so the delay is one step. Sets the retention unit to "Seconds".
void set_raw_data(AndiChromatogram& chromatogram, const Trace& trace);

// Fills each peak's area and height percentages of the table's totals; a
// peak without that value, or a table whose total is not a positive finite
// number, gets andi_no_value.
void set_peak_percentages(std::vector<AndiPeak>& peaks);

// Writes the file at path, whole or not at all (from any number of threads
// at once: the netCDF library's part is taken in turns): it is made in memory and put
// in place in one step, so a failure leaves any earlier file at path as it
// was. Returns false, with the reason in error when given, when the record
// cannot be written (a stamp of the wrong form, a peak name or code too
// long, a finite number beyond a float's range in a float32 record, more
// data than a classic netCDF file holds) or the file cannot be put in place.
bool write_andi_file(const std::string& path, const AndiChromatogram& chromatogram, std::string* error = nullptr);

// The netCDF library keeps its open files in tables of its own and is not
// safe to call from two threads at once: every call into it, by any writer,
// goes through this lock.
std::mutex& netcdf_lock();

}  // namespace elutrix
