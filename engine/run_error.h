// A run that meets an input without a defined result stops with a message in
// plain words for the user; the window shows it and keeps the last good trace.
#pragma once

#include <stdexcept>
#include <string>

namespace elutrix {

class RunError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void stop_run(const std::string& message) { throw RunError(message); }

}  // namespace elutrix
