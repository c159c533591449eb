// The progress bar elutrix-generate shows on a terminal while a batch runs.
#pragma once

#include <cstddef>
#include <string>

namespace elutrix::generate {

// One line of the bar, without its line start: the bar, the runs done of
// the total, the rate and the time left, e.g.
// "[##########----------]  512/1000 runs  1.2k runs/s  0:03 left".
// With columns (the terminal's width) the line is shorter than that, so
// that it never wraps: the bar narrows, then the time left, the rate and the
// bar are left out, and what still does not fit is cut. 0: no limit.
std::string progress_line(std::size_t done, std::size_t total, double seconds, std::size_t columns = 0);

// The width of the terminal on file descriptor fd: what the terminal says,
// else COLUMNS, else 80.
std::size_t terminal_columns(int fd);

}  // namespace elutrix::generate
