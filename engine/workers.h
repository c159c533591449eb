// The one place that decides how many threads work at once, for the
// synthesis of a run, the data file's writer and a batch of runs, and that
// starts them. A thread started here is a worker: work it splits in turn
// (a batch's run, its synthesis and its data file) runs on it alone instead
// of starting more threads, so that the workers never nest.
#pragma once

#include <functional>

namespace elutrix {

// How many threads one run or one data file is split over: one per core, up
// to 8; on a worker, 1 (the worker itself).
unsigned worker_threads();

// How many workers a batch of runs takes: asked, or one per core up to 16
// when asked is 0; on a worker, 1.
unsigned batch_threads(unsigned asked);

// Whether the calling thread is a worker.
bool on_worker();

// Calls work on threads - 1 workers and on the calling thread, and returns
// once every call has returned. Fewer workers start when the system has no
// more to give (the work then goes to those that did start). work must not
// throw.
void run_on_workers(unsigned threads, const std::function<void()>& work);

// Marks the calling thread as a worker while it lives.
class WorkerScope {
public:
    WorkerScope();
    ~WorkerScope();
    WorkerScope(const WorkerScope&) = delete;
    WorkerScope& operator=(const WorkerScope&) = delete;

private:
    bool was_worker_;
};

}  // namespace elutrix
