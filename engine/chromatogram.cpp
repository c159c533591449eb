#include "engine/chromatogram.h"

#include <exception>
#include <new>

#include "engine/placement.h"
#include "engine/run_error.h"
#include "engine/vector_state.h"

namespace elutrix {

RunResult chromatogram(ComponentTable& rows, SimulationSettings& settings, Trace& trace, PlotSurface* surface,
                       RandomGenerator& generator, std::vector<double>* noise_free) {
    clear_vector_upper_state();
    try {
        apply_efficiency(rows, settings);
        const PeakPlacement placement = place_peaks(rows, settings);
        const SynthesisResult synthesis = synthesize(rows, settings, placement, trace, generator, noise_free);
        plot(trace, synthesis, surface);
        return {true, {}, placement, synthesis};
    } catch (const RunError& error) {
        return {false, error.what(), {}, {}};
    }
}

RunResult update_run(ComponentTable& rows, SimulationSettings& settings, Trace& trace, PlotSurface* surface,
                     RandomGenerator& generator, std::vector<double>* noise_free) {
    try {
        return chromatogram(rows, settings, trace, surface, generator, noise_free);
    } catch (const std::bad_alloc&) {
        return {false, "There is not enough memory for this run.", {}, {}};
    } catch (const std::exception& error) {
        return {false, std::string("The run stopped: ") + error.what(), {}, {}};
    } catch (...) {
        return {false, "The run stopped because of an unexpected error.", {}, {}};
    }
}

}  // namespace elutrix
