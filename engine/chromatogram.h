#pragma once

#include <string>
#include <vector>

#include "engine/inputs.h"
#include "engine/placement.h"
#include "engine/plot.h"
#include "engine/synthesis.h"

namespace elutrix {

struct RunResult {
    bool ok = true;
    std::string message;  // why the run stopped, in words for the user
    // What a completed run placed and drew, for programs that report on it.
    PeakPlacement placement;
    SynthesisResult synthesis;
};

// One simulation run, as "Update" starts it: the efficiency step, peak
// placement, trace synthesis and the plot. Writes derived values back into
// rows and settings. When the inputs have no defined result the run stops
// there and says why; the trace's point count, its export table and the
// picture then stay as the last good run left them.
// noise_free, when given, receives the signal before the noise (see
// synthesize).
RunResult chromatogram(ComponentTable& rows, SimulationSettings& settings, Trace& trace, PlotSurface* surface,
                       RandomGenerator& generator = random_generator(), std::vector<double>* noise_free = nullptr);

// One press of "Update": chromatogram, with a failure that escapes the run
// (no memory left, or any other error) reported in words as well, so that
// every program that runs it tells the user the same.
RunResult update_run(ComponentTable& rows, SimulationSettings& settings, Trace& trace, PlotSurface* surface,
                     RandomGenerator& generator = random_generator(), std::vector<double>* noise_free = nullptr);

}  // namespace elutrix
