#include "engine/workers.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

namespace elutrix {

namespace {

thread_local bool worker = false;

unsigned cores() { return std::max(1u, std::thread::hardware_concurrency()); }

}  // namespace

bool on_worker() { return worker; }

unsigned worker_threads() { return worker ? 1u : std::min(cores(), 8u); }

unsigned batch_threads(unsigned asked) {
    if (worker) return 1u;
    return asked ? asked : std::min(cores(), 16u);
}

WorkerScope::WorkerScope() : was_worker_(worker) { worker = true; }

WorkerScope::~WorkerScope() { worker = was_worker_; }

void run_on_workers(unsigned threads, const std::function<void()>& work) {
    std::vector<std::thread> workers;
    try {
        workers.reserve(threads > 1 ? threads - 1 : 0);
        for (unsigned w = 1; w < threads; ++w) {
            workers.emplace_back([&work] {
                const WorkerScope scope;
                work();
            });
        }
    } catch (const std::system_error&) {
        // The work goes to the threads that did start.
    } catch (const std::bad_alloc&) {
    }
    work();
    for (std::thread& t : workers) t.join();
}

}  // namespace elutrix
