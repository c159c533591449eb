// The text of the .xy data file: one line per point of the last trace, the
// time in minutes, a comma and the response, each line ended by CR LF, the
// numbers in the form the window writes them (value_text). Shared by every
// program that writes data files, with or without a window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/inputs.h"
#include "engine/synthesis.h"

namespace elutrix {

// The room one line can take: two numbers, the comma and CR LF.
inline constexpr std::size_t xy_line_room = 2 * number_text_room + 3;

// How lines end: CR LF in the data file, LF alone in its CSV form.
enum class LineEnd { crlf, lf };

// Writes the line of one export point at out (xy_line_room bytes of room)
// and returns its end.
char* put_xy_line(char* out, const TracePoint& point, LineEnd end_of_line = LineEnd::crlf);

// Receives the file's bytes in order; returns false when they could not be
// written, which ends the writing.
using ByteSink = std::function<bool(const char* data, std::size_t size)>;

// The lines are formatted in blocks of this many points; a trace of at least
// two blocks is formatted on every core, the blocks in parallel.
inline constexpr std::int32_t xy_block_points = 16384;

// The most memory the parallel formatting takes for its blocks.
std::size_t xy_writer_bytes();

// Hands the lines of export points 1 .. point_count (none when it is 0 or
// negative) to sink, in blocks, in order. Returns false as soon as the sink
// fails. The sink is only ever called on the calling thread. When memory or
// threads for the parallel formatting cannot be had, the lines are formatted
// on the calling thread alone into a buffer on its stack: the same bytes, and
// no allocation that could fail. An exception thrown by the sink passes on to
// the caller once the other threads have stopped.
bool write_xy_lines(const Trace& trace, const ByteSink& sink, LineEnd end_of_line = LineEnd::crlf);

// The time column of a grid as the lines write it, each time with its
// comma: made once for the runs that share the grid, whose lines then only
// format their responses.
class XyTimeColumn {
public:
    // Of export points 1 .. point_count of the trace.
    explicit XyTimeColumn(const Trace& trace);
    std::int32_t points() const { return static_cast<std::int32_t>(ends_.size()); }
    // "time," of point i (1-based).
    std::string_view field(std::int32_t i) const {
        const std::size_t begin = i == 1 ? 0 : ends_[static_cast<std::size_t>(i - 2)];
        return std::string_view(text_).substr(begin, ends_[static_cast<std::size_t>(i - 1)] - begin);
    }

private:
    std::string text_;
    std::vector<std::size_t> ends_;
};

// The same bytes as write_xy_lines, with the times taken from the column of
// the trace's grid.
bool write_xy_lines(const Trace& trace, const XyTimeColumn& times, const ByteSink& sink,
                    LineEnd end_of_line = LineEnd::crlf);

}  // namespace elutrix
