// The interchange file's writer: records it refuses, paths it cannot write,
// and the helpers that fill a record from a run. What a written file holds
// is read back by an independent reader in test_andi_read_back.py.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/chromatogram.h"
#include "formats/andi_file.h"

namespace elutrix {
namespace {

namespace fs = std::filesystem;

class AndiFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("andi_file_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::set<std::string> entries() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder_)) names.insert(entry.path().filename().string());
        return names;
    }

    fs::path folder_;
};

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

AndiChromatogram valid_record() {
    AndiChromatogram c;
    c.dataset_date_time_stamp = "20240101120000+0000";
    c.injection_date_time_stamp = "20240101115959+0100";
    c.ordinate_values = {0.0, 1.0, 0.5};
    c.actual_sampling_interval = c.actual_delay_time = 1.0;
    c.actual_run_time_length = 3.0;
    c.peaks.resize(1);
    c.peaks[0].name = "peak";
    c.peaks[0].retention_time = 2.0;
    return c;
}

struct RecordCase {
    const char* name;
    std::function<void(AndiChromatogram&)> change;
    const char* error_part;  // empty: the record is written
};

std::vector<RecordCase> record_cases() {
    using C = AndiChromatogram;
    constexpr double largest_float = std::numeric_limits<float>::max();
    constexpr double infinity = std::numeric_limits<double>::infinity();
    const auto injection = [](const char* stamp) { return [stamp](C& c) { c.injection_date_time_stamp = stamp; }; };
    return {
        {"leap day, leap second, widest zones",
         [](C& c) {
             c.dataset_date_time_stamp = "20240229235960+1400";
             c.injection_date_time_stamp = "20000229000000-2359";
             c.peak_processing_date_time_stamp = "19991231235959-0000";
         },
         ""},
        {"no points, no peaks",
         [](C& c) {
             c.ordinate_values.clear();
             c.peaks.clear();
         },
         ""},
        {"name and codes filling their room",
         [](C& c) {
             c.peaks[0].name = std::string(andi_peak_name_room, 'x');
             c.peaks[0].start_detection_code = "BV";
             c.peaks[0].stop_detection_code = "";
         },
         ""},
        {"empty injection stamp", injection(""), "injection_date_time_stamp"},
        {"thirteen digits", injection("2024010100000+0000"), "injection_date_time_stamp"},
        {"month 13", injection("20241301000000+0000"), "injection_date_time_stamp"},
        {"February 29 of a common year", injection("20230229000000+0000"), "injection_date_time_stamp"},
        {"hour 24", injection("20240101240000+0000"), "injection_date_time_stamp"},
        {"minute 60", injection("20240101006000+0000"), "injection_date_time_stamp"},
        {"second 61", injection("20240101000061+0000"), "injection_date_time_stamp"},
        {"no zone sign", injection("20240101000000 0000"), "injection_date_time_stamp"},
        {"zone of 24 hours", injection("20240101000000+2400"), "injection_date_time_stamp"},
        {"ISO form", injection("2024-01-01T00:00:00"), "injection_date_time_stamp"},
        {"empty dataset stamp", [](C& c) { c.dataset_date_time_stamp.clear(); }, "dataset_date_time_stamp"},
        {"bad peak processing stamp", [](C& c) { c.peak_processing_date_time_stamp = "yesterday"; },
         "peak_processing_date_time_stamp"},
        {"name one byte too long", [](C& c) { c.peaks[0].name = std::string(andi_peak_name_room + 1, 'x'); },
         "peak 1"},
        {"start code too long", [](C& c) { c.peaks[0].start_detection_code = "BVB"; }, "detection code"},
        {"stop code too long in the second peak",
         [](C& c) {
             c.peaks.resize(2);
             c.peaks[1].stop_detection_code = "VVV";
         },
         "peak 2"},
        // A float record holds every number within a float's range, and the
        // infinities; a finite number beyond it is refused where it stands.
        {"largest floats, infinities and NaN",
         [](C& c) {
             c.ordinate_values = {largest_float, -largest_float, infinity, -infinity, std::nan("")};
             c.peaks[0].area = infinity;
             c.sample_amount = -largest_float;
         },
         ""},
        {"a point beyond a float", [](C& c) { c.ordinate_values[2] = 1e39; }, "ordinate_values: 1e+39"},
        {"a peak number beyond a float", [](C& c) { c.peaks[0].area = -1e300; }, "peak_area"},
        {"a detector range beyond a float", [](C& c) { c.detector_minimum_value = -3.5e38; },
         "detector_minimum_value"},
        {"a sampling interval beyond a float", [](C& c) { c.actual_sampling_interval = 1e40; },
         "actual_sampling_interval"},
        {"a sample amount beyond a float", [](C& c) { c.sample_amount = 1e40; }, "sample_amount"},
        {"every number beyond a float, as doubles",
         [](C& c) {
             c.precision = AndiPrecision::float64;
             c.ordinate_values[2] = c.peaks[0].area = c.actual_sampling_interval = 1e300;
             c.sample_amount = c.detector_minimum_value = -1e300;
         },
         ""},
    };
}

// A refused record leaves an earlier file at the path as it was; an accepted
// one replaces it with a classic netCDF file.
TEST_F(AndiFileTest, RefusesMalformedRecordsAndKeepsTheEarlierFile) {
    const fs::path path = folder_ / "run.cdf";
    for (const RecordCase& c : record_cases()) {
        SCOPED_TRACE(c.name);
        { std::ofstream(path, std::ios::binary) << "earlier file"; }
        AndiChromatogram record = valid_record();
        c.change(record);
        std::string error;
        const bool written = write_andi_file(path.string(), record, &error);
        const bool should_write = *c.error_part == '\0';
        EXPECT_EQ(written, should_write) << error;
        if (should_write) {
            EXPECT_EQ(contents(path).substr(0, 4), std::string("CDF\x01", 4));
        } else {
            EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
            EXPECT_EQ(contents(path), "earlier file");
        }
        EXPECT_EQ(entries(), std::set<std::string>{"run.cdf"});
    }
}

// The file holds the record and nothing else: not the bytes that its memory
// held before (here 0xa5, which no value or text of the record has), however
// much room the record takes.
TEST_F(AndiFileTest, HoldsNoByteOfTheMemoryItWasMadeIn) {
    for (const std::size_t points : {3, 1000, 100000}) {
        SCOPED_TRACE(points);
        AndiChromatogram record = valid_record();
        record.ordinate_values.assign(points, 1.0);
        const fs::path first = folder_ / "first.cdf";
        ASSERT_TRUE(write_andi_file(first.string(), record));
        for (int k = 0; k < 8; ++k) {
            const std::size_t size = 4096 + 8 * points + 32768 * k;
            const std::vector<char> junk(size, static_cast<char>(0xa5));
            volatile char kept = junk[size / 2];
            static_cast<void>(kept);
        }
        const fs::path second = folder_ / "second.cdf";
        ASSERT_TRUE(write_andi_file(second.string(), record));
        const std::string bytes = contents(second);
        EXPECT_EQ(bytes, contents(first));
        EXPECT_EQ(bytes.find(static_cast<char>(0xa5)), std::string::npos);
        // The last variable ends the file: the ordinate values, then the peak table's few bytes.
        EXPECT_LT(bytes.size(), 8 * points + 4096);
    }
}

// Threads that write at the same time write the files one thread writes.
TEST_F(AndiFileTest, ThreadsWriteAtTheSameTime) {
    AndiChromatogram record = valid_record();
    record.ordinate_values.assign(100, 0.25);
    record.peaks.resize(4);
    ASSERT_TRUE(write_andi_file((folder_ / "alone.cdf").string(), record));
    const std::string alone = contents(folder_ / "alone.cdf");
    constexpr int threads = 4, files = 200;
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            for (int k = 0; k < files; ++k) {
                const fs::path path = folder_ / ("t" + std::to_string(t) + "_" + std::to_string(k) + ".cdf");
                failures += write_andi_file(path.string(), record) ? 0 : 1;
            }
        });
    }
    for (std::thread& w : writers) w.join();
    EXPECT_EQ(failures, 0);
    int same = 0;
    for (int t = 0; t < threads; ++t)
        for (int k = 0; k < files; ++k)
            same += contents(folder_ / ("t" + std::to_string(t) + "_" + std::to_string(k) + ".cdf")) == alone;
    EXPECT_EQ(same, threads * files);
}

// Paths that cannot take a file: false with the system's reason and the
// path, and no file and no temporary left behind.
TEST_F(AndiFileTest, UnwritablePathGivesAnErrorAndNoFile) {
    { std::ofstream(folder_ / "plain_file") << "x"; }
    fs::create_directory(folder_ / "a_folder");
    const std::set<std::string> before = entries();
    const struct {
        fs::path path;
        std::errc reason;  // the system's, as the message gives it
    } cases[] = {
        {folder_ / "missing_folder" / "run.cdf", std::errc::no_such_file_or_directory},
        {folder_ / "plain_file" / "run.cdf", std::errc::not_a_directory},
        {folder_ / "a_folder", std::errc::is_a_directory},
        {fs::path(), std::errc::no_such_file_or_directory},
    };
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(path.string());
        std::string error;
        EXPECT_FALSE(write_andi_file(path.string(), valid_record(), &error));
        EXPECT_EQ(error, "cannot write " + path.string() + ": " + std::make_error_code(reason).message());
        EXPECT_EQ(entries(), before);
        EXPECT_TRUE(fs::is_directory(folder_ / "a_folder"));
        EXPECT_FALSE(write_andi_file(path.string(), valid_record()));  // the reason is optional
    }
}

TEST(AndiTimeStamp, FormsCivilTimeAtTheOffset) {
    using namespace std::chrono;
    struct Case {
        sys_time<milliseconds> moment;
        int offset_minutes;
        const char* stamp;
    };
    const Case cases[] = {
        {sys_days{1970y / 1 / 1}, 0, "19700101000000+0000"},
        {sys_days{1970y / 1 / 1}, -300, "19691231190000-0500"},
        {sys_days{2000y / 2 / 29} + 12h, 90, "20000229133000+0130"},
        {sys_days{2023y / 12 / 31} + 23h + 59min + 59s + 999ms, 0, "20231231235959+0000"},
        {sys_days{2023y / 12 / 31} + 23h + 30min, 45, "20240101001500+0045"},
        {sys_days{1970y / 1 / 1} - 1s, 0, "19691231235959+0000"},
        {sys_days{2024y / 3 / 1}, -1439, "20240229000100-2359"},
    };
    for (const Case& c : cases) {
        const std::string stamp = andi_time_stamp(c.moment, c.offset_minutes);
        EXPECT_EQ(stamp, c.stamp);
        AndiChromatogram record = valid_record();
        record.injection_date_time_stamp = record.dataset_date_time_stamp = stamp;
        EXPECT_TRUE(write_andi_file((fs::temp_directory_path() / "andi_stamp_test.cdf").string(), record));
    }
    fs::remove(fs::temp_directory_path() / "andi_stamp_test.cdf");
}

// The raw data of a run: the responses the data file writes, on a grid whose
// first point lies one step after 0 and whose last lies at the run's end.
TEST(AndiRawData, TakesTheRunsResponsesAndGrid) {
    struct Case {
        const char* retention_time;
        const char* sampling_rate;
        std::int32_t points;
        double run_length;
    };
    const Case cases[] = {{"1", "20", 1800, 90.0}, {"10", "20", 18000, 900.0}, {"1", "0.0333", 3, 90.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.retention_time);
        ComponentTable rows = factory_table();
        rows[0].retention_time = c.retention_time;
        SimulationSettings settings;
        settings.sampling_rate = c.sampling_rate;
        Trace trace;
        ASSERT_TRUE(chromatogram(rows, settings, trace, nullptr).ok);
        AndiChromatogram record;
        record.retention_unit = "Minutes";
        set_raw_data(record, trace);
        ASSERT_EQ(record.ordinate_values.size(), static_cast<std::size_t>(c.points));
        for (std::int32_t i = 1; i <= c.points; ++i)
            ASSERT_EQ(record.ordinate_values[i - 1], trace.export_points[i].response);
        EXPECT_EQ(record.retention_unit, "Seconds");
        EXPECT_EQ(record.actual_run_time_length, c.run_length);
        EXPECT_EQ(record.actual_delay_time, record.actual_sampling_interval);
        EXPECT_DOUBLE_EQ(record.actual_sampling_interval * c.points, c.run_length);
    }
    for (std::int32_t count : {0, -5}) {
        Trace trace;
        trace.point_count = count;
        AndiChromatogram record;
        record.ordinate_values = {1.0};
        set_raw_data(record, trace);
        EXPECT_TRUE(record.ordinate_values.empty());
        EXPECT_EQ(record.actual_sampling_interval, 0.0);
        EXPECT_EQ(record.actual_run_time_length, 0.0);
    }
}

TEST(AndiPeakPercentages, SharesOfTheTotalsOfPeaksWithValues) {
    const double x = andi_no_value;
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        std::vector<double> areas, heights;
        std::vector<double> area_percents, height_percents;
    };
    const Case cases[] = {
        {{1, 3}, {2, 2}, {25, 75}, {50, 50}},
        {{1, x, 1}, {x, 4, x}, {50, x, 50}, {x, 100, x}},
        {{0, 0}, {-1, 1}, {x, x}, {x, x}},
        {{inf, 1}, {1, 0}, {x, x}, {100, 0}},
        {{}, {}, {}, {}},
    };
    for (const Case& c : cases) {
        std::vector<AndiPeak> peaks(c.areas.size());
        for (std::size_t k = 0; k < peaks.size(); ++k) {
            peaks[k].area = c.areas[k];
            peaks[k].height = c.heights[k];
        }
        set_peak_percentages(peaks);
        for (std::size_t k = 0; k < peaks.size(); ++k) {
            EXPECT_EQ(peaks[k].area_percent, c.area_percents[k]) << k;
            EXPECT_EQ(peaks[k].height_percent, c.height_percents[k]) << k;
        }
    }
}

}  // namespace
}  // namespace elutrix
