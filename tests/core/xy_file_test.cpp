// The data file's lines: formatted in parallel blocks, they must reach the
// sink as the same bytes, in order, on the calling thread, also when memory
// for the parallel formatting cannot be had or the sink fails.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "allocation_failure.h"
#include "engine/xy_file.h"

namespace elutrix {
namespace {

// One trace for the whole suite: doubles of every size and sign, with long
// and short digit strings, and zeros.
const Trace& varied_trace() {
    static const std::unique_ptr<Trace> trace = [] {
        auto made = std::make_unique<Trace>();
        std::mt19937_64 engine(77);
        for (std::int32_t i = 1; i <= Trace::capacity; ++i) {
            double response = std::bit_cast<double>(engine());
            if (!std::isfinite(response)) response = 0.0;
            if (i % 3 == 0) response = std::ldexp(static_cast<double>(engine() % 1000), -10);
            made->export_points[i] = {0.05 * i, response};
        }
        return made;
    }();
    return *trace;
}

// The lines one after the other, as a single thread writes them.
std::string expected_lines(const Trace& trace, std::int32_t count, LineEnd end_of_line = LineEnd::crlf) {
    std::string text;
    char line[xy_line_room];
    for (std::int32_t i = 1; i <= count; ++i) {
        text.append(line, put_xy_line(line, trace.export_points[i], end_of_line));
    }
    return text;
}

struct Received {
    std::string text;
    int calls = 0;
    bool on_other_thread = false;
};

ByteSink collecting(Received& received) {
    const std::thread::id caller = std::this_thread::get_id();
    return [&received, caller](const char* data, std::size_t size) {
        received.text.append(data, size);
        ++received.calls;
        if (std::this_thread::get_id() != caller) received.on_other_thread = true;
        return true;
    };
}

// Copies the suite's trace with another point count.
struct CountedTrace {
    explicit CountedTrace(std::int32_t count) : trace(std::make_unique<Trace>(varied_trace())) {
        trace->point_count = count;
    }
    std::unique_ptr<Trace> trace;
};

constexpr std::int32_t block = xy_block_points;

TEST(XyLines, SameBytesInOrderForEveryCount) {
    // Counts around the block edges and the edge of parallel formatting.
    const std::int32_t counts[] = {-2147483647, -1, 0, 1, 2, block - 1, block, block + 1, 2 * block - 1,
                                   2 * block, 2 * block + 1, 7 * block + 13, Trace::capacity};
    CountedTrace copy(0);
    for (const LineEnd end_of_line : {LineEnd::crlf, LineEnd::lf}) {
        for (const std::int32_t count : counts) {
            SCOPED_TRACE(count);
            copy.trace->point_count = count;
            Received received;
            EXPECT_TRUE(write_xy_lines(*copy.trace, collecting(received), end_of_line));
            EXPECT_FALSE(received.on_other_thread);
            const std::string expected = expected_lines(*copy.trace, std::max(count, 0), end_of_line);
            ASSERT_EQ(received.text.size(), expected.size());
            EXPECT_TRUE(received.text == expected);
            if (count <= 0) {
                EXPECT_EQ(received.calls, 0);
            }
        }
    }
}

TEST(XyLines, WithoutMemoryForParallelBlocksTheBytesStayTheSame) {
    // Allocations from the size of one block fail (the parallel buffers), or
    // every allocation fails (threads too).
    const std::size_t failing_sizes[] = {std::size_t{block} * xy_line_room, 1};
    CountedTrace copy(5 * block + 3);
    const std::string expected = expected_lines(*copy.trace, copy.trace->point_count);
    for (const std::size_t size : failing_sizes) {
        SCOPED_TRACE(size);
        Received received;
        const ByteSink sink = collecting(received);
        received.text.reserve(expected.size());
        bool written = false;
        {
            const testing::FailingAllocations failing(size);
            written = write_xy_lines(*copy.trace, sink);
        }
        EXPECT_TRUE(written);
        EXPECT_TRUE(received.text == expected);
    }
}

TEST(XyLines, AFailingSinkEndsTheWritingAtOnce) {
    struct Case {
        std::int32_t count;
        int failing_call;  // the sink's call that fails, counted from 1
    };
    const Case cases[] = {{100, 1}, {2 * block, 1}, {2 * block, 2}, {Trace::capacity, 1}, {Trace::capacity, 30}};
    CountedTrace copy(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.count << " points, call " << c.failing_call);
        copy.trace->point_count = c.count;
        int calls = 0;
        std::size_t bytes = 0;
        const bool written = write_xy_lines(*copy.trace, [&](const char*, std::size_t size) {
            ++calls;
            if (calls == c.failing_call) return false;
            bytes += size;
            return true;
        });
        EXPECT_FALSE(written);
        EXPECT_EQ(calls, c.failing_call);
        EXPECT_LT(bytes, expected_lines(*copy.trace, c.count).size());
    }
}

TEST(XyLines, AnExceptionFromTheSinkReachesTheCaller) {
    CountedTrace copy(Trace::capacity);
    for (const int throwing_call : {1, 3}) {
        int calls = 0;
        EXPECT_THROW(write_xy_lines(*copy.trace,
                                    [&](const char*, std::size_t) {
                                        if (++calls == throwing_call) throw std::runtime_error("disk gone");
                                        return true;
                                    }),
                     std::runtime_error);
        EXPECT_EQ(calls, throwing_call);
    }
}

}  // namespace
}  // namespace elutrix
