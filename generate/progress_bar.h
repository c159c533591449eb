// The progress bar elutrix-generate shows on a terminal while a batch runs.
#pragma once

#include <cstddef>
#include <string>

namespace elutrix::generate {

// One line of the bar, without its line start: the bar, the runs done of
// the total, the rate and the time left, e.g.
// "[##########----------]  512/1000 runs  1.2k runs/s  0:03 left".
std::string progress_line(std::size_t done, std::size_t total, double seconds);

}  // namespace elutrix::generate
