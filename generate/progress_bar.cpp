#include "generate/progress_bar.h"

#include <cmath>
#include <cstdio>

namespace elutrix::generate {

namespace {

// 0:07, 12:34, 1:02:03.
std::string clock_text(double seconds) {
    const long long s = std::llround(std::max(0.0, seconds));
    char text[32];
    if (s >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    }
    return text;
}

}  // namespace

std::string progress_line(std::size_t done, std::size_t total, double seconds) {
    constexpr int width = 30;
    const double part = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
    const int filled = static_cast<int>(part * width);
    std::string line = "[" + std::string(filled, '#') + std::string(width - filled, '-') + "] ";
    char counts[64];
    std::snprintf(counts, sizeof counts, "%zu/%zu runs", done, total);
    line += counts;
    if (done == 0 || seconds <= 0.0) return line + "  -- runs/s  --:-- left";
    const double rate = static_cast<double>(done) / seconds;
    char rate_text[32];
    std::snprintf(rate_text, sizeof rate_text, rate >= 100.0 ? "  %.0f runs/s" : "  %.1f runs/s", rate);
    line += rate_text;
    return line + "  " + clock_text(static_cast<double>(total - done) / rate) + " left";
}

}  // namespace elutrix::generate
