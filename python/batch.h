// The replicates of one scenario as stacked arrays (see batch.cpp).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <vector>

#include "generate/run.h"
#include "generate/scenario.h"

namespace elutrix::generate {

struct BatchRun {
    BatchRun(Scenario s, std::string source);
    Scenario scenario;
    std::string source;
    int replicates = 0;
    int first = 1;  // the number of the batch's first replicate
    std::vector<std::string> seeds;  // seed text of each replicate
    std::vector<RunOutput> outs;     // each replicate's inputs, truth and figures
    int failed_replicate = 0;        // the first replicate that stopped, 0 when none did
    std::string message;             // and its message
    bool with_components = false;
    pybind11::array_t<double> time_min;  // the grid every replicate shares
    pybind11::array_t<double> response;  // replicates x points
    pybind11::array_t<double> noise_free, baseline, wander;  // the same, with the components
    std::vector<pybind11::array_t<double>> components;       // per component row
    std::vector<int> component_rows;                         // 1-based
    // Replicate k's record, as NAME.json holds it.
    std::string record(int k) const;
};

// Adds run_batch and BatchRun to the module.
void add_batch(pybind11::module_& m);

}  // namespace elutrix::generate
