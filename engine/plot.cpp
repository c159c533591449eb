#include "engine/plot.h"

#include <cmath>

#include "engine/run_error.h"

namespace elutrix {

void plot(Trace& trace, const SynthesisResult& synthesis, PlotSurface* surface) {
    const long long n = synthesis.point_count;
    // The picture spans r_min to 1.1 r_max: a trace so tall that this span is
    // no longer a number cannot be drawn, and the run stops before anything
    // of the last good one is replaced.
    if (n >= 1) {
        const double bottom = 1.1 * synthesis.r_max;
        if (!std::isfinite(bottom) || !std::isfinite(bottom - synthesis.r_min)) {
            stop_run("The simulated responses are too large to draw. "
                     "Enter smaller relative responses, a smaller baseline percentage or a smaller noise level.");
        }
    }
    trace.point_count = synthesis.point_count;
    if (n < 1) {
        if (surface) surface->cls();
        return;
    }
    // A trace that is 0 everywhere has no height of its own: it is drawn on
    // the scale of a unit peak, which puts it where a zero response lies
    // under a peak (1/11 of the height above the bottom edge).
    const double r_min = synthesis.r_min;
    const double r_max = synthesis.r_max == synthesis.r_min ? 1.0 : synthesis.r_max;
    const double offset = r_max + r_min;
    if (surface) {
        surface->cls();
        surface->scale(0.0, r_min, trace.times[n], 1.1 * r_max);
        surface->pset(trace.times[1], offset - 0.9 * trace.responses[1]);
    }
    for (long long i = 1; i <= n; ++i) {
        trace.export_points[i] = {trace.times[i], trace.responses[i]};
        if (surface) surface->line(trace.times[i], offset - 0.9 * trace.responses[i]);
    }
    if (surface) surface->finish();
}

}  // namespace elutrix
