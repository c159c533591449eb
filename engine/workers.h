// How many threads a run or an export uses at most: one per core, up to 8.
#pragma once

#include <algorithm>
#include <thread>

namespace elutrix {

inline unsigned worker_threads() { return std::clamp(std::thread::hardware_concurrency(), 1u, 8u); }

}  // namespace elutrix
