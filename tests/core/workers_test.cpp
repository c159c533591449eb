// The threads: a thread started by run_on_workers is a worker, and the work
// it splits in turn (a run's synthesis, its data file) runs on it alone,
// with the same result as split over the cores.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/chromatogram.h"
#include "engine/workers.h"
#include "engine/xy_file.h"

namespace elutrix {
namespace {

TEST(Workers, StartedThreadsAreWorkersAndSplitNothingFurther) {
    ASSERT_FALSE(on_worker());
    for (const unsigned threads : {1u, 2u, 5u}) {
        std::mutex mutex;
        std::set<std::thread::id> seen;
        std::atomic<int> calls{0};
        std::atomic<int> workers{0};
        std::atomic<int> nested_splits{0};
        run_on_workers(threads, [&] {
            ++calls;
            const std::lock_guard lock(mutex);
            seen.insert(std::this_thread::get_id());
            // The calling thread keeps its own rule; every other is a worker.
            if (!on_worker()) return;
            ++workers;
            if (worker_threads() != 1 || batch_threads(0) != 1 || batch_threads(7) != 1) ++nested_splits;
        });
        EXPECT_EQ(calls, static_cast<int>(threads));
        EXPECT_EQ(seen.size(), threads);
        EXPECT_EQ(workers, static_cast<int>(threads) - 1);
        EXPECT_EQ(nested_splits, 0);
        EXPECT_FALSE(on_worker());
    }
    EXPECT_GE(worker_threads(), 1u);
    EXPECT_EQ(batch_threads(3), 3u);
}

// A run long enough to be split over the cores, and its data file, made on
// a worker (on it alone) and on the calling thread: the same bits.
TEST(Workers, ARunOnAWorkerIsTheRunSplitOverTheCores) {
    const auto text_of = [](Trace& trace) {
        ComponentTable rows = factory_table();
        SimulationSettings settings;
        settings.sampling_rate = "400";  // 36,000 points
        settings.noise_kind = NoiseKind::random;
        settings.level_by_s_to_n = true;
        settings.s_to_n_percent = "50";
        settings.use_seed = true;
        settings.seed = "3";
        RandomGenerator generator;
        const RunResult result = chromatogram(rows, settings, trace, nullptr, generator);
        EXPECT_TRUE(result.ok) << result.message;
        std::string text;
        write_xy_lines(trace, [&](const char* data, std::size_t size) {
            text.append(data, size);
            return true;
        });
        return text;
    };
    Trace here(0);
    const std::string split = text_of(here);
    std::string alone;
    std::thread worker([&] {
        const WorkerScope scope;
        Trace trace(0);
        alone = text_of(trace);
    });
    worker.join();
    EXPECT_GT(here.point_count, 2 * xy_block_points);
    EXPECT_EQ(alone, split);
}

}  // namespace
}  // namespace elutrix
