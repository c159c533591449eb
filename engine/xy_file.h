// The text of the .xy data file: one line per point of the last trace, the
// time in minutes, a comma and the response, each line ended by CR LF, the
// numbers in the form the window writes them (value_text). Shared by every
// program that writes data files, with or without a window.
#pragma once

#include <cstddef>
#include <functional>

#include "engine/inputs.h"
#include "engine/synthesis.h"

namespace elutrix {

// The room one line can take: two numbers, the comma and CR LF.
inline constexpr std::size_t xy_line_room = 2 * number_text_room + 3;

// Writes the line of one export point at out (xy_line_room bytes of room)
// and returns its end.
char* put_xy_line(char* out, const TracePoint& point);

// Receives the file's bytes in order; returns false when they could not be
// written, which ends the writing.
using ByteSink = std::function<bool(const char* data, std::size_t size)>;

// Hands the lines of export points 1 .. point_count (none when it is 0 or
// negative) to sink, in blocks, in order. Returns false as soon as the sink
// fails.
bool write_xy_lines(const Trace& trace, const ByteSink& sink);

}  // namespace elutrix
