#include "generate/progress_bar.h"

#include <sys/ioctl.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

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

std::string progress_line(std::size_t done, std::size_t total, double seconds, std::size_t columns) {
    constexpr std::size_t full_width = 30;
    constexpr std::size_t least_width = 5;  // a narrower bar is left out
    const double part = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
    char counts[64];
    std::snprintf(counts, sizeof counts, "%zu/%zu runs", done, total);
    std::string rate = "  -- runs/s";
    std::string left = "  --:-- left";
    if (done != 0 && seconds > 0.0) {
        const double per_second = static_cast<double>(done) / seconds;
        char rate_text[32];
        std::snprintf(rate_text, sizeof rate_text, per_second >= 100.0 ? "  %.0f runs/s" : "  %.1f runs/s", per_second);
        rate = rate_text;
        left = "  " + clock_text(static_cast<double>(total - done) / per_second) + " left";
    }
    const auto bar = [&](std::size_t width) {
        const auto filled = static_cast<std::size_t>(part * static_cast<double>(width));
        return "[" + std::string(filled, '#') + std::string(width - filled, '-') + "] ";
    };
    // The last column stays free: a line that reaches it wraps on some terminals.
    const std::size_t room = columns == 0 ? std::string::npos : columns - 1;
    const std::string tail = counts + rate + left;
    if (room == std::string::npos || tail.size() + 3 + full_width <= room) return bar(full_width) + tail;
    if (tail.size() + 3 + least_width <= room) return bar(room - 3 - tail.size()) + tail;
    for (const std::string& line : {tail, counts + rate, std::string(counts)}) {
        if (line.size() <= room) return line;
    }
    return std::string(counts).substr(0, room);
}

std::size_t terminal_columns(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    if (const char* text = std::getenv("COLUMNS")) {
        char* end = nullptr;
        const long columns = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && columns > 0 && columns <= 100000) return static_cast<std::size_t>(columns);
    }
    return 80;
}

}  // namespace elutrix::generate
