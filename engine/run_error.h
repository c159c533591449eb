// A run that meets an input without a defined result stops with a message in
// plain words for the user; the window shows it and keeps the last good trace.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace elutrix {

class RunError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void stop_run(const std::string& message) { throw RunError(message); }

// A cell's text as a message quotes it: in double quotes, without the blanks
// around it, and cut short after 30 characters. Messages quote what the user
// typed rather than the number it reads as, which may be beyond the doubles.
inline std::string quoted(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && blank(text[begin])) ++begin;
    while (end > begin && blank(text[end - 1])) --end;
    constexpr std::size_t longest = 30;
    std::string shown(text.substr(begin, end - begin));
    if (shown.size() > longest) shown = shown.substr(0, longest) + "...";
    return "\"" + shown + "\"";
}

}  // namespace elutrix
