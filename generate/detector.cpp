#include "generate/detector.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <mutex>
#include <numbers>
#include <random>

#include "generate/scenario.h"

namespace elutrix::generate {

namespace {

using json = nlohmann::json;

[[noreturn]] void refuse(const std::string& message) { throw ScenarioError(message); }

std::string key_text(const std::string& key) { return "\"" + key + "\""; }

// A value as messages show it: its JSON text, valid UTF-8, escaped and cut
// short when long.
std::string shown(const json& value) {
    return readable_text(value.dump(-1, ' ', false, json::error_handler_t::replace), 40);
}

void check_keys(const json& object, std::initializer_list<const char*> known, const std::string& place) {
    for (const auto& item : object.items()) {
        if (std::any_of(known.begin(), known.end(), [&](const char* k) { return item.key() == k; })) continue;
        std::string names;
        for (const char* k : known) names += (names.empty() ? "" : ", ") + key_text(k);
        refuse("unknown key " + readable_text(item.key(), 40, true) + " in " + place + " (the keys are " + names + ")");
    }
}

const json& object_of(const json& value, const std::string& place) {
    if (!value.is_object()) refuse(key_text(place) + " must be an object, not " + shown(value));
    return value;
}

// A finite number of at least 0 (above 0 where zero has no meaning).
double number_of(const json& object, const char* key, const std::string& place, bool positive) {
    const json& v = object.at(key);
    if (!v.is_number()) refuse(key_text(key) + " in " + place + " must be a number, not " + shown(v));
    const double x = v.get<double>();
    if (!std::isfinite(x) || x < 0.0 || (positive && x == 0.0)) {
        refuse(key_text(key) + " in " + place + " must be a finite number " + (positive ? "above 0" : "of at least 0") +
               ", not " + shown(v));
    }
    return x;
}

std::optional<double> optional_number(const json& object, const char* key, const std::string& place, bool positive) {
    if (!object.contains(key)) return std::nullopt;
    return number_of(object, key, place, positive);
}

double required(const json& object, const char* key, const std::string& place, bool positive) {
    if (!object.contains(key)) refuse(key_text(key) + " is missing in " + place);
    return number_of(object, key, place, positive);
}

// Uniform doubles in (0, 1) from 53 random bits, Gaussian ones by
// Marsaglia's polar method: the same numbers from the same seed on every
// platform.
class Draws {
public:
    explicit Draws(std::uint64_t seed) : engine_(seed) {}
    double uniform() { return (static_cast<double>(engine_() >> 11) + 0.5) * 0x1p-53; }
    double gaussian() {
        if (spare_) {
            spare_ = false;
            return second_;
        }
        double u;
        double v;
        double s;
        do {
            u = 2.0 * uniform() - 1.0;
            v = 2.0 * uniform() - 1.0;
            s = u * u + v * v;
        } while (s >= 1.0 || s == 0.0);
        const double f = std::sqrt(-2.0 * std::log(s) / s);
        second_ = v * f;
        spare_ = true;
        return u * f;
    }

private:
    std::mt19937_64 engine_;
    bool spare_ = false;
    double second_ = 0.0;
};

// Sets values to zero mean and the standard deviation sd over the run.
void scale_to(std::vector<double>& values, double sd) {
    const std::size_t n = values.size();
    if (n == 0) return;
    double mean = 0.0;
    for (const double v : values) mean += v;
    mean /= static_cast<double>(n);
    double squares = 0.0;
    for (const double v : values) squares += (v - mean) * (v - mean);
    const double current = n > 1 ? std::sqrt(squares / static_cast<double>(n - 1)) : 0.0;
    const double factor = current > 0.0 ? sd / current : 0.0;
    for (double& v : values) v = (v - mean) * factor;
}

// White Gaussian noise shaped in frequency by gain(f), f in cycles per
// minute, through a real FFT. FFTW's planner is not thread-safe: plans are
// made and destroyed under one lock; executing them is safe.
std::mutex& planner_mutex() {
    static std::mutex m;
    return m;
}

// A transform pair planned for one size and one pair of arrays.
struct PlanPair {
    std::size_t n = 0;
    double* values = nullptr;
    fftw_complex* spectrum = nullptr;
    fftw_plan forward = nullptr;
    fftw_plan backward = nullptr;
};

// Room that a worker keeps from run to run: a run of a million points
// would otherwise map, fault in and clear fresh pages for every stage, and
// plan its transforms again.
struct Scratch {
    std::vector<double> values;
    fftw_complex* spectrum = nullptr;
    std::size_t bins = 0;
    std::vector<PlanPair> plans;  // the latest few, newest last

    ~Scratch() {
        drop_plans(0);
        fftw_free(spectrum);
    }
    void drop_plans(std::size_t keep) {
        if (plans.size() <= keep) return;
        const std::lock_guard lock(planner_mutex());
        const auto end = plans.end() - static_cast<std::ptrdiff_t>(keep);
        for (auto p = plans.begin(); p != end; ++p) {
            fftw_destroy_plan(p->forward);
            fftw_destroy_plan(p->backward);
        }
        plans.erase(plans.begin(), end);
    }
    fftw_complex* spectrum_of(std::size_t count) {
        if (count > bins) {
            drop_plans(0);  // they name the old array
            fftw_free(spectrum);
            spectrum = fftw_alloc_complex(count);
            if (!spectrum) {
                bins = 0;
                throw std::bad_alloc();
            }
            bins = count;
        }
        return spectrum;
    }
    // The plans of an n-point real transform from values to spectrum and
    // back. Planned with FFTW_ESTIMATE, whose choice depends only on the
    // size and the arrays' alignment, so a kept plan computes what a new
    // one would.
    const PlanPair& plans_for(std::size_t n, double* v, fftw_complex* s) {
        for (const PlanPair& p : plans) {
            if (p.n == n && p.values == v && p.spectrum == s) return p;
        }
        drop_plans(3);
        PlanPair p{n, v, s, nullptr, nullptr};
        {
            const std::lock_guard lock(planner_mutex());
            const int size = static_cast<int>(n);
            p.forward = fftw_plan_dft_r2c_1d(size, v, s, FFTW_ESTIMATE | FFTW_PRESERVE_INPUT);
            p.backward = fftw_plan_dft_c2r_1d(size, s, v, FFTW_ESTIMATE);
        }
        if (!p.forward || !p.backward) {
            const std::lock_guard lock(planner_mutex());
            if (p.forward) fftw_destroy_plan(p.forward);
            if (p.backward) fftw_destroy_plan(p.backward);
            throw std::bad_alloc();
        }
        plans.push_back(p);
        return plans.back();
    }
};

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

// Fills values (n of them) with white Gaussian noise shaped in frequency by
// gain(f), f in cycles per minute, through a real FFT.
template <class Gain>
void shaped_noise(Draws& draws, std::vector<double>& values, std::size_t n, double dt_min, const Gain& gain) {
    values.resize(n);
    for (double& v : values) v = draws.gaussian();
    if (n < 2) return;
    const std::size_t bins = n / 2 + 1;
    fftw_complex* spectrum = scratch().spectrum_of(bins);
    const PlanPair& plan = scratch().plans_for(n, values.data(), spectrum);
    fftw_execute(plan.forward);
    const double df = 1.0 / (static_cast<double>(n) * dt_min);
    spectrum[0][0] = spectrum[0][1] = 0.0;
    for (std::size_t k = 1; k < bins; ++k) {
        const double g = gain(static_cast<double>(k) * df);
        spectrum[k][0] *= g;
        spectrum[k][1] *= g;
    }
    fftw_execute(plan.backward);
}

constexpr std::uint64_t wander_stream = 0x77616e646572ULL;  // each stage its own stream
constexpr std::uint64_t noise_stream = 0x6e6f697365ULL;
constexpr std::uint64_t spike_stream = 0x7370696b65ULL;

}  // namespace

Detector detector_from_json(const json& value) {
    Detector d;
    const std::string place = "detector";
    object_of(value, place);
    check_keys(value, {"wander", "time_constant_s", "noise", "spikes", "saturation", "quantization", "seed"}, place);
    if (value.contains("wander")) {
        const std::string at = "detector.wander";
        const json& w = object_of(value.at("wander"), at);
        check_keys(w, {"sd", "period_min"}, at);
        d.wander = Detector::Wander{required(w, "sd", at, false), required(w, "period_min", at, true)};
    }
    d.time_constant_s = optional_number(value, "time_constant_s", place, false);
    if (value.contains("noise")) {
        const std::string at = "detector.noise";
        const json& n = object_of(value.at("noise"), at);
        check_keys(n, {"kind", "sd", "exponent"}, at);
        Detector::Noise noise;
        const json kind = n.value("kind", json("gaussian"));
        if (kind == "pink") {
            noise.pink = true;
        } else if (kind != "gaussian") {
            refuse("\"kind\" in " + at + " must be \"gaussian\" or \"pink\", not " + shown(kind));
        }
        noise.sd = required(n, "sd", at, false);
        if (n.contains("exponent")) {
            if (!noise.pink) refuse("\"exponent\" in " + at + " belongs to the \"pink\" kind");
            noise.exponent = number_of(n, "exponent", at, false);
            if (noise.exponent > 4.0) refuse("\"exponent\" in " + at + " must be at most 4, not " + shown(n.at("exponent")));
        }
        d.noise = noise;
    }
    if (value.contains("spikes")) {
        const std::string at = "detector.spikes";
        const json& s = object_of(value.at("spikes"), at);
        check_keys(s, {"rate_per_min", "height"}, at);
        d.spikes = Detector::Spikes{required(s, "rate_per_min", at, false), required(s, "height", at, false)};
    }
    if (value.contains("saturation")) {
        const std::string at = "detector.saturation";
        const json& s = object_of(value.at("saturation"), at);
        check_keys(s, {"low", "high"}, at);
        for (const char* key : {"low", "high"}) {
            if (!s.contains(key)) continue;
            const json& v = s.at(key);
            if (!v.is_number() || !std::isfinite(v.get<double>())) {
                refuse(key_text(key) + " in " + at + " must be a finite number, not " + shown(v));
            }
            (std::strcmp(key, "low") == 0 ? d.low : d.high) = v.get<double>();
        }
        if (d.low && d.high && *d.low > *d.high) {
            refuse("\"low\" in " + at + " (" + shown(s.at("low")) + ") lies above \"high\" (" + shown(s.at("high")) + ")");
        }
    }
    d.quantization = optional_number(value, "quantization", place, true);
    if (value.contains("seed")) {
        const json& s = value.at("seed");
        if (!s.is_number_unsigned() && !(s.is_number_integer() && s.get<long long>() >= 0)) {
            refuse("\"seed\" in detector must be a whole number of at least 0, not " + shown(s));
        }
        d.seed = s.get<std::uint64_t>();
    }
    return d;
}

nlohmann::ordered_json detector_json(const Detector& d) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    if (d.wander) out["wander"] = {{"sd", d.wander->sd}, {"period_min", d.wander->period_min}};
    if (d.time_constant_s) out["time_constant_s"] = *d.time_constant_s;
    if (d.noise) {
        nlohmann::ordered_json n = {{"kind", d.noise->pink ? "pink" : "gaussian"}, {"sd", d.noise->sd}};
        if (d.noise->pink) n["exponent"] = d.noise->exponent;
        out["noise"] = n;
    }
    if (d.spikes) out["spikes"] = {{"rate_per_min", d.spikes->rate_per_min}, {"height", d.spikes->height}};
    if (d.low || d.high) {
        nlohmann::ordered_json s = nlohmann::ordered_json::object();
        if (d.low) s["low"] = *d.low;
        if (d.high) s["high"] = *d.high;
        out["saturation"] = s;
    }
    if (d.quantization) out["quantization"] = *d.quantization;
    if (d.seed) out["seed"] = *d.seed;
    return out;
}

std::uint64_t detector_seed(const Detector& detector, double run_seed) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &run_seed, sizeof bits);
    const std::uint64_t own = detector.seed.value_or(0);
    std::seed_seq sequence{static_cast<std::uint32_t>(bits), static_cast<std::uint32_t>(bits >> 32),
                           static_cast<std::uint32_t>(own), static_cast<std::uint32_t>(own >> 32),
                           static_cast<std::uint32_t>(detector.seed.has_value())};
    std::uint32_t out[2];
    sequence.generate(out, out + 2);
    return (std::uint64_t{out[0]} << 32) | out[1];
}

double filter_weight(double time_constant_s, double dt_s) { return -std::expm1(-dt_s / time_constant_s); }

void first_order_response(double a, double* values, std::size_t n) {
    for (std::size_t k = 1; k < n; ++k) values[k] = values[k - 1] + a * (values[k] - values[k - 1]);
}

void detector_wander(const Detector& detector, std::uint64_t seed, std::size_t n, double dt_s, std::vector<double>& w) {
    w.clear();
    if (!detector.wander || n == 0) return;
    Draws draws(seed ^ wander_stream);
    const double period = detector.wander->period_min;
    const double dt_min = dt_s / 60.0;
    // Drawn on knots 1/32 of a period apart (every point when they are
    // closer), where the low pass leaves almost nothing above their Nyquist
    // frequency, and carried to the points by cubic interpolation.
    const double run_min = static_cast<double>(n) * dt_min;
    const double wanted = std::ceil(32.0 * run_min / period) + 4.0;  // infinite for a period near 0
    const std::size_t knots = wanted >= static_cast<double>(n) ? n : static_cast<std::size_t>(wanted);
    const double knot_min = knots == n ? dt_min : run_min / static_cast<double>(knots - 3);
    // A second-order low pass at 1 / period cycles per minute.
    std::vector<double> coarse;
    shaped_noise(draws, coarse, knots, knot_min, [period](double f) {
        const double r = f * period;
        return 1.0 / (1.0 + r * r);
    });
    w.resize(n);
    if (knots == n) {
        w = coarse;
    } else {
        // Catmull-Rom between knots k and k + 1; point i lies at knot 1 + i dt / knot.
        for (std::size_t i = 0; i < n; ++i) {
            const double at = 1.0 + static_cast<double>(i) * dt_min / knot_min;
            const std::size_t k = std::min(static_cast<std::size_t>(at), knots - 3);
            const double s = at - static_cast<double>(k);
            const double p0 = coarse[k - 1], p1 = coarse[k], p2 = coarse[k + 1], p3 = coarse[k + 2];
            w[i] = p1 + 0.5 * s * ((p2 - p0) + s * ((2.0 * p0 - 5.0 * p1 + 4.0 * p2 - p3) + s * (3.0 * (p1 - p2) + p3 - p0)));
        }
    }
    scale_to(w, detector.wander->sd);
}

DetectorRecord apply_detector(const Detector& detector, std::uint64_t seed, const std::vector<double>& wander,
                              double* y, std::size_t n, double dt_s) {
    DetectorRecord record;
    record.seed = seed;
    if (n == 0) return record;
    // 1. wander
    for (std::size_t i = 0; i < wander.size() && i < n; ++i) y[i] += wander[i];
    // 2. the detector's response
    if (detector.time_constant_s && *detector.time_constant_s > 0.0) {
        first_order_response(filter_weight(*detector.time_constant_s, dt_s), y, n);
    }
    // 3. noise
    if (detector.noise) {
        Draws draws(seed ^ noise_stream);
        std::vector<double>& noise = scratch().values;
        if (detector.noise->pink) {
            const double half = detector.noise->exponent / 2.0;
            shaped_noise(draws, noise, n, dt_s / 60.0, [half](double f) {
                return half == 0.5 ? 1.0 / std::sqrt(f) : std::exp(-half * std::log(f));
            });
            scale_to(noise, detector.noise->sd);
        } else {
            noise.resize(n);
            for (double& v : noise) v = detector.noise->sd * draws.gaussian();
        }
        record.noise = true;
        double sum = 0.0;
        record.noise_min = std::numeric_limits<double>::infinity();
        record.noise_max = -record.noise_min;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = noise[i];
            y[i] += v;
            record.noise_min = std::min(record.noise_min, v);
            record.noise_max = std::max(record.noise_max, v);
            sum += v;
        }
        const double mean = sum / static_cast<double>(n);
        double squares = 0.0;
        for (std::size_t i = 0; i < n; ++i) squares += (noise[i] - mean) * (noise[i] - mean);
        record.noise_sd = n > 1 ? std::sqrt(squares / static_cast<double>(n - 1)) : 0.0;
    }
    // 4. spikes: a Poisson process in time, each at its nearest point.
    if (detector.spikes && detector.spikes->rate_per_min > 0.0) {
        Draws draws(seed ^ spike_stream);
        const double dt_min = dt_s / 60.0;
        const double length = static_cast<double>(n) * dt_min;  // points 1 .. n at k dt
        for (double t = 0.0;;) {
            t += -std::log(draws.uniform()) / detector.spikes->rate_per_min;
            if (!(t <= length)) break;
            const double point = std::min(static_cast<double>(n), std::max(1.0, std::nearbyint(t / dt_min)));
            const double height = -std::log(draws.uniform()) * detector.spikes->height;
            y[static_cast<std::size_t>(point) - 1] += height;
            record.spike_points.push_back(static_cast<std::int32_t>(point));
        }
    }
    // 5. saturation, 6. the converter's steps (ties to even, the default rounding).
    if (!detector.low && !detector.high && !detector.quantization) return record;
    for (std::size_t i = 0; i < n; ++i) {
        if (detector.low && y[i] < *detector.low) {
            y[i] = *detector.low;
            ++record.clamped_low;
        }
        if (detector.high && y[i] > *detector.high) {
            y[i] = *detector.high;
            ++record.clamped_high;
        }
        if (detector.quantization) y[i] = std::nearbyint(y[i] / *detector.quantization) * *detector.quantization;
    }
    return record;
}

}  // namespace elutrix::generate
