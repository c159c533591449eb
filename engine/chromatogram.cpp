#include "engine/chromatogram.h"

#include "engine/placement.h"
#include "engine/run_error.h"
#include "engine/vector_state.h"

namespace elutrix {

RunResult chromatogram(ComponentTable& rows, SimulationSettings& settings, Trace& trace, PlotSurface* surface,
                       RandomGenerator& generator) {
    clear_vector_upper_state();
    try {
        apply_efficiency(rows, settings);
        const PeakPlacement placement = place_peaks(rows, settings);
        const SynthesisResult synthesis = synthesize(rows, settings, placement, trace, generator);
        plot(trace, synthesis, surface);
        return {};
    } catch (const RunError& error) {
        return {false, error.what()};
    }
}

}  // namespace elutrix
