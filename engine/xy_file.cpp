#include "engine/xy_file.h"

#include <algorithm>
#include <cstdint>
#include <memory>

namespace elutrix {

namespace {
// Lines are gathered into blocks of this size before they reach the sink.
constexpr std::size_t block_size = std::size_t{1} << 20;
}  // namespace

char* put_xy_line(char* out, const TracePoint& point) {
    out = put_number(out, point.time / 60.0);
    *out++ = ',';
    out = put_number(out, point.response);
    *out++ = '\r';
    *out++ = '\n';
    return out;
}

bool write_xy_lines(const Trace& trace, const ByteSink& sink) {
    const std::int32_t available = static_cast<std::int32_t>(trace.export_points.size()) - 1;
    const std::int32_t count = std::min(trace.point_count, available);
    if (count <= 0) return true;

    const auto buffer = std::make_unique_for_overwrite<char[]>(block_size);
    char* const begin = buffer.get();
    char* const end = begin + block_size;
    char* out = begin;
    const TracePoint* point = trace.export_points.data() + 1;
    const TracePoint* const last = point + count;
    for (; point != last; ++point) {
        if (static_cast<std::size_t>(end - out) < xy_line_room) {
            if (!sink(begin, static_cast<std::size_t>(out - begin))) return false;
            out = begin;
        }
        out = put_xy_line(out, *point);
    }
    return out == begin || sink(begin, static_cast<std::size_t>(out - begin));
}

}  // namespace elutrix
