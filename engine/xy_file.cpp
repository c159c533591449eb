#include "engine/xy_file.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/vector_state.h"
#include "engine/workers.h"

namespace elutrix {

namespace {

// The bytes one block of lines can take.
constexpr std::size_t block_room = static_cast<std::size_t>(xy_block_points) * xy_line_room;
// Two slots a thread: one being formatted, one formatted and waiting.
constexpr std::size_t slots_per_thread = 2;

// On the calling thread alone: lines gathered in a buffer on the stack.
bool write_in_sequence(const TracePoint* point, std::int32_t count, LineEnd end_of_line, const ByteSink& sink) {
    char buffer[64 * 1024];
    char* const end = buffer + sizeof buffer;
    char* out = buffer;
    for (const TracePoint* const last = point + count; point != last; ++point) {
        if (static_cast<std::size_t>(end - out) < xy_line_room) {
            if (!sink(buffer, static_cast<std::size_t>(out - buffer))) return false;
            out = buffer;
        }
        out = put_xy_line(out, *point, end_of_line);
    }
    return out == buffer || sink(buffer, static_cast<std::size_t>(out - buffer));
}

// Blocks of lines formatted by every thread, each into one slot of a ring of
// buffers, and handed to the sink by the calling thread in block order. A
// block is only taken while a slot is free, so memory stays at one ring
// whatever the length of the trace.
class ParallelWriter {
public:
    ParallelWriter(const TracePoint* points, std::int32_t count, LineEnd end_of_line, std::size_t slots)
        : points_(points),
          count_(count),
          end_of_line_(end_of_line),
          blocks_((count + xy_block_points - 1) / xy_block_points),
          slots_(slots) {
        buffers_.reserve(slots);
        for (std::size_t s = 0; s < slots; ++s) buffers_.emplace_back(new char[block_room]);
        sizes_.assign(slots, 0);
        formatted_.assign(slots, -1);
    }

    ParallelWriter(const ParallelWriter&) = delete;
    ParallelWriter& operator=(const ParallelWriter&) = delete;

    // Tells the helpers to stop once the calling thread is done (or gave
    // up).
    void stop() {
        {
            const std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
    }

    bool write(const ByteSink& sink) {
        clear_vector_upper_state();
        std::unique_lock lock(mutex_);
        while (next_written_ < blocks_) {
            const std::size_t slot = static_cast<std::size_t>(next_written_) % slots_;
            if (formatted_[slot] == next_written_) {
                lock.unlock();
                const bool written = sink(buffers_[slot].get(), sizes_[slot]);
                lock.lock();
                if (!written) return false;  // the caller stops the helpers
                formatted_[slot] = -1;
                ++next_written_;
                lock.unlock();
                changed_.notify_all();
                lock.lock();
            } else if (can_take()) {
                format_next(lock);
            } else {
                changed_.wait(lock);
            }
        }
        return true;
    }

    // A helper: formats blocks while there are free slots, until the blocks
    // are all taken or the writer stops.
    void help();

private:
    bool can_take() const {
        return next_taken_ < blocks_ && static_cast<std::size_t>(next_taken_ - next_written_) < slots_;
    }

    // Takes the next block, formats it with the lock released and marks it
    // done.
    void format_next(std::unique_lock<std::mutex>& lock) {
        const std::int32_t block = next_taken_++;
        const std::size_t slot = static_cast<std::size_t>(block) % slots_;
        lock.unlock();
        const std::int32_t first = block * xy_block_points;
        const std::int32_t last = std::min(count_, first + xy_block_points);
        char* const begin = buffers_[slot].get();
        char* out = begin;
        for (std::int32_t i = first; i < last; ++i) out = put_xy_line(out, points_[i], end_of_line_);
        lock.lock();
        sizes_[slot] = static_cast<std::size_t>(out - begin);
        formatted_[slot] = block;
        changed_.notify_all();
    }

    const TracePoint* const points_;
    const std::int32_t count_;
    const LineEnd end_of_line_;
    const std::int32_t blocks_;
    const std::size_t slots_;
    std::vector<std::unique_ptr<char[]>> buffers_;
    std::vector<std::size_t> sizes_;
    std::vector<std::int32_t> formatted_;  // the block each slot holds, -1 when free

    std::mutex mutex_;
    std::condition_variable changed_;
    std::int32_t next_taken_ = 0;
    std::int32_t next_written_ = 0;
    bool stopped_ = false;
};

void ParallelWriter::help() {
    clear_vector_upper_state();
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopped_ || next_taken_ >= blocks_ || can_take(); });
        if (stopped_ || next_taken_ >= blocks_) return;
        format_next(lock);
    }
}

// Sets up the parallel writer; nullopt when its memory cannot be had, before
// any byte has reached the sink.
std::optional<bool> write_in_parallel(const TracePoint* points, std::int32_t count, LineEnd end_of_line,
                                      const ByteSink& sink) {
    const unsigned threads = worker_threads();
    if (threads < 2) return std::nullopt;
    std::unique_ptr<ParallelWriter> writer;
    try {
        writer = std::make_unique<ParallelWriter>(points, count, end_of_line, slots_per_thread * threads);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    // The calling thread hands the blocks to the sink (and formats some);
    // the workers format.
    bool written = false;
    std::exception_ptr thrown;
    const std::thread::id caller = std::this_thread::get_id();
    run_on_workers(threads, [&] {
        if (std::this_thread::get_id() != caller) {
            writer->help();
            return;
        }
        try {
            written = writer->write(sink);
        } catch (...) {
            thrown = std::current_exception();
        }
        writer->stop();
    });
    if (thrown) std::rethrow_exception(thrown);
    return written;
}

}  // namespace

std::size_t xy_writer_bytes() { return slots_per_thread * worker_threads() * block_room; }

char* put_xy_line(char* out, const TracePoint& point, LineEnd end_of_line) {
    out = put_number(out, point.time / 60.0);
    *out++ = ',';
    out = put_number(out, point.response);
    if (end_of_line == LineEnd::crlf) *out++ = '\r';
    *out++ = '\n';
    return out;
}

bool write_xy_lines(const Trace& trace, const ByteSink& sink, LineEnd end_of_line) {
    const std::int32_t available = static_cast<std::int32_t>(trace.export_points.size()) - 1;
    const std::int32_t count = std::min(trace.point_count, available);
    if (count <= 0) return true;
    const TracePoint* const first = trace.export_points.data() + 1;
    if (count >= 2 * xy_block_points) {
        if (const std::optional<bool> written = write_in_parallel(first, count, end_of_line, sink)) return *written;
    }
    clear_vector_upper_state();
    return write_in_sequence(first, count, end_of_line, sink);
}

XyTimeColumn::XyTimeColumn(const Trace& trace) {
    const std::int32_t count = std::min(trace.point_count, static_cast<std::int32_t>(trace.export_points.size()) - 1);
    char buffer[number_text_room + 1];
    for (std::int32_t i = 1; i <= count; ++i) {
        char* end = put_number(buffer, trace.export_points[i].time / 60.0);
        *end++ = ',';
        text_.append(buffer, end);
        ends_.push_back(text_.size());
    }
}

bool write_xy_lines(const Trace& trace, const XyTimeColumn& times, const ByteSink& sink, LineEnd end_of_line) {
    const std::int32_t available = static_cast<std::int32_t>(trace.export_points.size()) - 1;
    const std::int32_t count = std::min(trace.point_count, available);
    if (count != times.points() || count >= 2 * xy_block_points) return write_xy_lines(trace, sink, end_of_line);
    clear_vector_upper_state();
    char buffer[64 * 1024];
    char* const end = buffer + sizeof buffer;
    char* out = buffer;
    for (std::int32_t i = 1; i <= count; ++i) {
        if (static_cast<std::size_t>(end - out) < xy_line_room) {
            if (!sink(buffer, static_cast<std::size_t>(out - buffer))) return false;
            out = buffer;
        }
        const std::string_view time = times.field(i);
        std::memcpy(out, time.data(), time.size());
        out = put_number(out + time.size(), trace.export_points[i].response);
        if (end_of_line == LineEnd::crlf) *out++ = '\r';
        *out++ = '\n';
    }
    return out == buffer || sink(buffer, static_cast<std::size_t>(out - buffer));
}

}  // namespace elutrix
