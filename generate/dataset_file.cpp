#include "generate/dataset_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <csignal>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <mutex>
#include <random>
#include <string_view>

#include <netcdf.h>

#include "engine/version.h"
#include "formats/andi_file.h"
#include "generate/peak_columns.h"

namespace elutrix::generate {

namespace {

// Why the file could not be made, in words; thrown inside this file only.
struct WriteFailure {
    std::string reason;
};

void check(int status, std::string_view what) {
    if (status != NC_NOERR) throw WriteFailure{std::string(what) + ": " + nc_strerror(status)};
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The temporary file a signal removes (see remove_on_signal), or "".
char signal_path[PATH_MAX] = {};
constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void remove_and_end(int number) {
    if (signal_path[0] != '\0') ::unlink(signal_path);
    ::signal(number, SIG_DFL);
    ::raise(number);
}

// The path a signal removes from now on ("" for none), set with the signals
// held back so that the handler never sees half of it.
void set_signal_path(const std::string& path) {
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    const std::size_t size = std::min(path.size(), sizeof signal_path - 1);
    path.copy(signal_path, size);
    signal_path[size] = '\0';
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// A new empty file beside path under a hidden name of its own
// (".NAME.nc.XXXXXXXX"), made with the mode a new file gets.
std::string temporary_beside(const std::string& path, bool watched) {
    thread_local std::mt19937_64 random(static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ (static_cast<long long>(::getpid()) << 32)));
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const std::string folder = folder_of(path);
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string suffix(8, 'x');
        for (char& letter : suffix) letter = letters[random() % (sizeof letters - 1)];
        const std::string candidate = folder + "/." + name + "." + suffix;
        if (watched) set_signal_path(candidate);
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return candidate;
        }
        const int why = errno;
        if (watched) set_signal_path("");
        errno = why;
        if (errno != EEXIST) break;
    }
    throw WriteFailure{"cannot make a temporary file in " + folder + ": " + std::strerror(errno)};
}

void sync(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) throw WriteFailure{"cannot open " + path + ": " + std::strerror(errno)};
    const bool ok = ::fsync(fd) == 0 || errno == EINVAL;  // a folder that cannot be synced is no failure
    const int why = errno;
    ::close(fd);
    if (!ok) throw WriteFailure{"cannot bring the file to the storage device: " + std::string(std::strerror(why))};
}

class Definer {
public:
    explicit Definer(int id) : id_(id) {}

    int dimension(const char* name, std::size_t length) {
        int dim = 0;
        check(nc_def_dim(id_, name, length, &dim), std::string("cannot define dimension ") + name);
        return dim;
    }

    // A variable, chunked as given when chunks is not empty, deflated at
    // level (with shuffling) when level > 0, filled with nothing or fill.
    int variable(const char* name, nc_type type, std::initializer_list<int> dims, const std::vector<std::size_t>& chunks,
                 int level, const void* fill = nullptr) {
        int var = 0;
        const std::string what = std::string("cannot define variable ") + name;
        check(nc_def_var(id_, name, type, static_cast<int>(dims.size()), std::data(dims), &var), what);
        if (!chunks.empty()) check(nc_def_var_chunking(id_, var, NC_CHUNKED, chunks.data()), what);
        // Texts keep the library's fill (empty texts) and are not deflated.
        if (type == NC_STRING) return var;
        if (level > 0) check(nc_def_var_deflate(id_, var, 1, 1, level), what);
        check(nc_def_var_fill(id_, var, fill ? NC_FILL : NC_NOFILL, fill), what);
        return var;
    }

    void text(int var, const char* name, std::string_view value) {
        if (value.empty()) return;
        check(nc_put_att_text(id_, var, name, value.size(), value.data()), std::string("cannot write attribute ") + name);
    }

    // units and long_name, as CF conventions have them.
    void describe(int var, const char* units, const char* long_name) {
        text(var, "units", units);
        text(var, "long_name", long_name);
    }

private:
    int id_;
};

}  // namespace

std::size_t dataset_chunk_replicates(const DatasetLayout& layout) {
    constexpr std::size_t chunk_bytes = std::size_t{1} << 20;
    const std::size_t row = std::max<std::size_t>(layout.points, 1) * sizeof(double);
    return std::clamp<std::size_t>(chunk_bytes / row, 1, std::max<std::size_t>(layout.replicates, 1));
}

std::string scenario_text(const Scenario& scenario) {
    nlohmann::ordered_json json;
    json["name"] = scenario.name;
    if (scenario.replicates) json["replicates"] = *scenario.replicates;
    json["rows"] = rows_json(scenario.rows);
    json["settings"] = settings_json(scenario.settings);
    if (scenario.detector) json["detector"] = detector_json(*scenario.detector);
    if (scenario.suite) json["suite"] = suite_json(*scenario.suite);
    return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

DatasetFile::~DatasetFile() {
    abandon();
    for (const int number : signals_) {
        struct sigaction plain {};
        plain.sa_handler = SIG_DFL;
        sigemptyset(&plain.sa_mask);
        ::sigaction(number, &plain, nullptr);
    }
}

void DatasetFile::remove_on_signal() {
    for (const int number : ending_signals) {
        struct sigaction handler {}, before {};
        handler.sa_handler = &remove_and_end;
        sigemptyset(&handler.sa_mask);
        if (::sigaction(number, nullptr, &before) != 0 || before.sa_handler != SIG_DFL) continue;
        if (::sigaction(number, &handler, nullptr) == 0) signals_.push_back(number);
    }
}

void DatasetFile::abandon() {
    if (id_ >= 0) {
        const std::lock_guard lock(netcdf_lock());
        nc_abort(id_);
        id_ = -1;
    }
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    if (!temporary_.empty() && !signals_.empty()) set_signal_path("");
    temporary_.clear();
}

bool DatasetFile::fail(const std::string& why) {
    if (error_.empty()) error_ = why;
    abandon();
    return false;
}

bool DatasetFile::create(const std::string& path, const DatasetLayout& layout, const double* time_min,
                         const Scenario& scenario, const std::string& source) {
    path_ = path;
    layout_ = layout;
    try {
        temporary_ = temporary_beside(path, !signals_.empty());
        const std::lock_guard lock(netcdf_lock());
        check(nc_create(temporary_.c_str(), NC_NETCDF4 | NC_CLOBBER, &id_), "cannot start the netCDF-4 file");
        Definer d(id_);
        const int replicate_dim = d.dimension("replicate", layout.replicates);
        const int point_dim = d.dimension("point", layout.points);
        const int peak_dim = d.dimension("peak", layout.peaks);
        const std::size_t rows = dataset_chunk_replicates(layout);
        const int level = std::clamp(layout.compress, 0, 9);
        const double nan = std::numeric_limits<double>::quiet_NaN();

        d.text(NC_GLOBAL, "Conventions", "CF-1.8");
        d.text(NC_GLOBAL, "title", "Synthetic chromatograms of the scenario \"" + scenario.name + "\"");
        d.text(NC_GLOBAL, "source", std::string("elutrix-generate ") + program_version);
        d.text(NC_GLOBAL, "program", "elutrix-generate");
        d.text(NC_GLOBAL, "version", program_version);
        d.text(NC_GLOBAL, "name", scenario.name);
        d.text(NC_GLOBAL, "scenario", scenario_text(scenario));
        d.text(NC_GLOBAL, "scenario_file", source);

        const int replicate = d.variable("replicate", NC_INT, {replicate_dim}, {}, 0);
        d.describe(replicate, "1", "replicate number");
        const int time = d.variable("time_min", NC_DOUBLE, {point_dim}, {}, 0);
        d.describe(time, "min", "time");
        seed_ = d.variable("seed", NC_DOUBLE, {replicate_dim}, {}, 0);
        d.describe(seed_, "1", "seed of the replicate's noise");
        const auto series = [&](const char* name, const char* long_name) {
            const int var = d.variable(name, NC_DOUBLE, {replicate_dim, point_dim}, {rows, layout.points}, level);
            check(nc_set_var_chunk_cache(id_, var, 0, 0, 0.0f), "cannot set the chunk cache");
            d.describe(var, "1", long_name);
            d.text(var, "coordinates", "time_min");
            return var;
        };
        response_ = series("response", "detector response");
        if (layout.components) {
            noise_free_ = series("noise_free", "noise-free signal");
            baseline_ = series("baseline", "baseline");
            if (layout.wander) wander_ = series("wander", "detector wander");
            const int component_dim = d.dimension("component", layout.component_rows.size());
            const int component = d.variable("component", NC_INT, {component_dim}, {}, 0);
            d.describe(component, "1", "component row (1-based)");
            components_ = d.variable("components", NC_DOUBLE, {replicate_dim, component_dim, point_dim},
                                     {rows, 1, layout.points}, level);
            d.describe(components_, "1", "each component's own term");
            d.text(components_, "coordinates", "time_min");
            check(nc_put_var_int(id_, component, layout.component_rows.data()), "cannot write component");
        }

        // The truth: replicates x peaks per column, in chunks of about
        // half a megabyte.
        const std::size_t peak_rows = std::clamp<std::size_t>(
            (std::size_t{1} << 16) / std::max<std::size_t>(layout.peaks, 1), 1, std::max<std::size_t>(layout.replicates, 1));
        const std::vector<std::size_t> peak_chunks = {peak_rows, std::max<std::size_t>(layout.peaks, 1)};
        static constexpr signed char flag_values[] = {0, 1};
        for (const PeakColumn& column : peak_columns()) {
            int var = -1;
            switch (column.kind) {
            case PeakColumnKind::row:
                var = d.variable(column.name, NC_INT, {replicate_dim, peak_dim}, peak_chunks, level);
                break;
            case PeakColumnKind::text:
                var = d.variable(column.name, NC_STRING, {peak_dim}, {}, 0);
                break;
            case PeakColumnKind::flag:
                var = d.variable(column.name, NC_BYTE, {replicate_dim, peak_dim}, peak_chunks, level);
                check(nc_put_att_schar(id_, var, "flag_values", NC_BYTE, 2, flag_values), "cannot write flag_values");
                d.text(var, "flag_meanings", "false true");
                d.text(var, "dtype", "bool");  // read as booleans by xarray
                break;
            case PeakColumnKind::number:
            case PeakColumnKind::figure:
                var = d.variable(column.name, NC_DOUBLE, {replicate_dim, peak_dim}, peak_chunks, level, &nan);
                break;
            }
            d.describe(var, column.units, column.long_name);
            peak_vars_.push_back(var);
        }
        check(nc_enddef(id_), "cannot end the netCDF definitions");

        std::vector<int> numbers(layout.replicates);
        for (std::size_t r = 0; r < numbers.size(); ++r) numbers[r] = layout.first_replicate + static_cast<int>(r);
        check(nc_put_var_int(id_, replicate, numbers.data()), "cannot write replicate");
        check(nc_put_var_double(id_, time, time_min), "cannot write time_min");
        const auto columns = peak_columns();
        for (std::size_t c = 0; c < columns.size() && layout.peaks > 0; ++c) {
            if (columns[c].kind != PeakColumnKind::text) continue;
            if (layout.first_peaks.size() != layout.peaks) throw WriteFailure{"replicate 1's peaks are not given"};
            std::vector<const char*> texts;
            for (const PeakTruth& p : layout.first_peaks) texts.push_back(peak_text(columns[c], p).data());
            check(nc_put_var_string(id_, peak_vars_[c], texts.data()), std::string("cannot write ") + columns[c].name);
        }
        return true;
    } catch (const WriteFailure& failure) {
        return fail(failure.reason);
    } catch (const std::bad_alloc&) {
        return fail("there is not enough memory for it");
    }
}

bool DatasetFile::write(const DatasetBlock& block) {
    if (id_ < 0) return fail("the file is not open");
    try {
        if (block.first + block.count > layout_.replicates) throw WriteFailure{"a block lies beyond the replicates"};
        const std::size_t n = layout_.points, m = layout_.peaks, count = block.count;
        // The truth and seeds first, laid out before the lock is taken.
        if (block.seeds.size() != count || !block.peaks) throw WriteFailure{"a block without its seeds or truth"};
        if (block.peaks->size() != m) {
            throw WriteFailure{"the replicates have " + std::to_string(block.peaks->size()) +
                               " peaks where the file has room for " + std::to_string(m)};
        }
        const std::vector<double>& seeds = block.seeds;
        std::vector<double> numbers(count * m);
        std::vector<int> whole(count * m);
        std::vector<signed char> flags(count * m);

        const std::lock_guard lock(netcdf_lock());
        const std::size_t start2[] = {block.first, 0}, count2[] = {count, n};
        const auto rows = [&](int var, const double* values, const char* name) {
            if (var >= 0 && values) check(nc_put_vara_double(id_, var, start2, count2, values), std::string("cannot write ") + name);
        };
        rows(response_, block.response, "response");
        rows(noise_free_, block.noise_free, "noise_free");
        rows(baseline_, block.baseline, "baseline");
        rows(wander_, block.wander, "wander");
        for (std::size_t j = 0; components_ >= 0 && j < block.components.size(); ++j) {
            const std::size_t start3[] = {block.first, j, 0}, count3[] = {count, 1, n};
            check(nc_put_vara_double(id_, components_, start3, count3, block.components[j]), "cannot write components");
        }
        const std::size_t start1[] = {block.first}, count1[] = {count};
        check(nc_put_vara_double(id_, seed_, start1, count1, seeds.data()), "cannot write seed");

        const std::size_t peak_count[] = {count, m};
        const auto columns = peak_columns();
        for (std::size_t c = 0; m > 0 && c < columns.size(); ++c) {
            const PeakColumn& column = columns[c];
            const std::string what = std::string("cannot write ") + column.name;
            std::size_t at = 0;
            for (std::size_t i = 0; i < count; ++i) {
                for (const PeakTruth& p : *block.peaks) {
                    switch (column.kind) {
                    case PeakColumnKind::row: whole[at] = static_cast<int>(peak_value(column, p)); break;
                    case PeakColumnKind::text:
                        if (peak_text(column, p) != peak_text(column, layout_.first_peaks[at % m])) {
                            throw WriteFailure{"replicate " + std::to_string(layout_.first_replicate + block.first + i) +
                                               " has another " + column.name + " than the first for row " +
                                               std::to_string(p.row + 1)};
                        }
                        break;
                    case PeakColumnKind::flag: flags[at] = peak_value(column, p) != 0.0 ? 1 : 0; break;
                    default: numbers[at] = peak_value(column, p); break;
                    }
                    ++at;
                }
            }
            const int var = peak_vars_[c];
            switch (column.kind) {
            case PeakColumnKind::row: check(nc_put_vara_int(id_, var, start2, peak_count, whole.data()), what); break;
            case PeakColumnKind::text: break;  // written with the file's definitions
            case PeakColumnKind::flag: check(nc_put_vara_schar(id_, var, start2, peak_count, flags.data()), what); break;
            default: check(nc_put_vara_double(id_, var, start2, peak_count, numbers.data()), what); break;
            }
        }
        return true;
    } catch (const WriteFailure& failure) {
        return fail(failure.reason);
    } catch (const std::bad_alloc&) {
        return fail("there is not enough memory for it");
    }
}

bool DatasetFile::finish() {
    if (id_ < 0) return fail("the file is not open");
    try {
        {
            const std::lock_guard lock(netcdf_lock());
            const int status = nc_close(id_);
            id_ = -1;
            check(status, "cannot finish the netCDF-4 file");
        }
        sync(temporary_, O_RDONLY);
        if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
            throw WriteFailure{"cannot give the file its name: " + std::string(std::strerror(errno))};
        }
        if (!signals_.empty()) set_signal_path("");
        temporary_.clear();
        try {
            sync(folder_of(path_), O_RDONLY | O_DIRECTORY);
        } catch (const WriteFailure&) {
            // The file is in place; a folder that cannot be synced keeps it.
        }
        return true;
    } catch (const WriteFailure& failure) {
        return fail(failure.reason);
    }
}

}  // namespace elutrix::generate
