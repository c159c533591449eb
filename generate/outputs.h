// The files of one run besides its .xy: the peak table (ground truth), the
// run's record, and the components table.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/xy_file.h"
#include "generate/run.h"

namespace elutrix::generate {

// The names a run's files begin with: NAME for a scenario of one run,
// NAME_0001, NAME_0002 ... for replicates.
std::string run_stem(const std::string& name, int replicate, int replicates);

// A number in the shortest form that reads back as the same double; "0" for
// both zeros and an empty text for infinities and NaN.
std::string number_text(double value);

// A CSV field, quoted when it holds a comma, a quote or a line break.
std::string csv_field(std::string_view text);

// The ground truth, one line per peak under a header, LF line ends.
std::string peaks_csv(const std::vector<PeakTruth>& peaks);

// The run's record as JSON: program and version, scenario name, replicate,
// the seed used, point count, time step, noise level and realised noise,
// and the inputs after the run's write-backs in the scenario form, and the
// scenario's suite label when it has one.
std::string record_json(const RunOutput& run, const std::string& name, int replicate, int replicates,
                        const SuiteLabel* suite = nullptr);

// Every component's own term and the baseline of a finished run, point by
// point.
class RunComponents {
public:
    explicit RunComponents(const RunOutput& run);
    // The run's components, in row order.
    const std::vector<RowTerm>& terms() const { return terms_; }
    // Whether the run has a detector's wander.
    bool has_wander() const { return !wander_.empty(); }
    // Point i of trace, for i = 1, 2, ... point_count in order: each term's
    // value into values[0 .. terms().size() - 1], the baseline into base and
    // the wander into wander (0 without one). Returns the noise-free signal:
    // the terms in row order and then the baseline summed as the run sums
    // them, plus the wander. With a detector's time constant every part is
    // the recorded one, passed through the same response as the data.
    double next(const Trace& trace, std::int32_t i, double* values, double& base, double& wander);

private:
    std::vector<RowTerm> terms_;
    RunBaseline baseline_;
    std::vector<double> wander_;
    bool filtered_ = false;
    double a_ = 1.0;
    std::vector<double> previous_;  // the terms', then baseline, wander and noise-free
};

// The components table of a finished run, point by point: time (min), the
// response, the noise-free signal, the baseline and each component's own
// term, handed to sink in blocks. Returns false when the sink fails.
bool write_components_csv(const RunOutput& run, const Trace& trace, const ByteSink& sink);

}  // namespace elutrix::generate
